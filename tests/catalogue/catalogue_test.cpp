// The command catalogue over virtual HID, for both families: a table of cases (call ->
// packets on the wire -> result and decoded outputs), run several ways, and the commands
// whose behaviour a single table row cannot show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "rig.h"

namespace {

using sim::Family;
using sim::Fault;

// Arguments with bits above the low byte: only 12, 34, C5 and 01 may reach the wire.
constexpr int32_t P = 0x112, Q = 0x234, V = 0x3C5;

struct Case {
  const char* name;
  // Calls the export with outputs preset to the unset patterns; returns them in order.
  int32_t (*call)(DeviceHandle, Values*);
  std::vector<std::array<uint8_t, 4>> replies;  // r1..r4 of each exchange
  std::vector<Packet> wire;                     // packets sent, KRXM
  Values out;                                   // outputs, KRXM
  std::vector<Packet> wire2K = {};              // when it differs for the 2K family
  std::optional<Values> out2K = {};
  // Whether a failure of the first exchange ends the call with 0 (SendFF ignores it).
  bool firstExchangeDecides = true;
};

template <size_t N>
Values Of(const uint8_t (&a)[N]) {
  return Values(a, a + N);
}
template <size_t N>
Values Of(const uint16_t (&a)[N]) {
  return Values(a, a + N);
}

#define CALL(...) [](DeviceHandle h, Values* o) -> int32_t { __VA_ARGS__ }

const std::vector<Case>& Catalogue() {
  static const std::vector<Case> cases = {
      {"E0", CALL(uint8_t b[4] = {kUnset8, kUnset8, kUnset8, kUnset8}; int32_t r = SendE0(h, P, Q, b);
                  *o = Of(b); return r;),
       {{1, 2, 3, 4}}, {{0xE0, 0x12, 0x34, 0, 0}}, {1, 2, 3, 4}},
      {"E1", CALL(*o = {}; return SendE1(h, P, Q, V);), {{9, 9, 9, 9}}, {{0xE1, 0x12, 0x34, 0, 0xC5}}, {}},
      {"E2", CALL(*o = {}; return SendE2(h);), {{9, 9, 9, 9}}, {{0xE2, 0, 0, 0, 0}}, {}},
      {"E3", CALL(uint8_t b[4] = {kUnset8, kUnset8, kUnset8, kUnset8}; int32_t r = SendE3(h, P, Q, V, b);
                  *o = Of(b); return r;),
       {{1, 2, 3, 4}}, {{0xE3, 0x12, 0x34, 0, 0xC5}}, {1, 2, 3, 4}},
      {"E5", CALL(uint8_t b[4] = {kUnset8, kUnset8, kUnset8, kUnset8}; int32_t r = SendE5(h, V, b);
                  *o = Of(b); return r;),
       {{1, 2, 3, 4}}, {{0xE5, 0, 0, 0, 0xC5}}, {1, 2, 3, 4}},
      {"E6", CALL(uint8_t b[3] = {kUnset8, kUnset8, kUnset8}; int32_t r = SendE6(h, P, Q, b); *o = Of(b);
                  return r;),
       {{1, 2, 3, 4}}, {{0xE6, 0x12, 0x34, 0, 0}}, {2, 3, 4}},
      {"E7 first reply byte most significant",
       CALL(int32_t v = kUnset32; int32_t r = SendE7(h, &v); *o = {v}; return r;), {{0x81, 2, 3, 4}},
       {{0xE7, 0, 0, 0, 0}}, {int32_t(0x81020304u)}},
      {"E8 one position", CALL(const uint8_t a[2] = {3, 0}; const uint8_t b[2] = {5, 0};
                               uint16_t v[2] = {kUnset16, kUnset16}; int32_t r = SendE8(h, a, b, v);
                               *o = Of(v); return r;),
       {{1, 2, 3, 4}}, {{0xE8, 3, 5, 0, 0}}, {0x0403, 0}},
      {"E8 two positions", CALL(const uint8_t a[2] = {3, 3}; const uint8_t b[2] = {5, 6};
                                uint16_t v[2] = {kUnset16, kUnset16}; int32_t r = SendE8(h, a, b, v);
                                *o = Of(v); return r;),
       {{1, 2, 3, 4}}, {{0xE8, 3, 5, 3, 6}}, {0x0201, 0x0403}},
      {"E8 two positions, second row 0", CALL(const uint8_t a[2] = {3, 0}; const uint8_t b[2] = {5, 6};
                                              uint16_t v[2] = {kUnset16, kUnset16};
                                              int32_t r = SendE8(h, a, b, v); *o = Of(v); return r;),
       {{1, 2, 3, 4}}, {{0xE8, 3, 5, 0, 6}}, {0x0201, 0x0403}},
      {"EA sends its reply back", CALL(*o = {}; return SendEA(h, V);), {{1, 2, 3, 4}, {5, 6, 7, 8}},
       {{0xEA, 0, 0xC5, 0, 0}, {0xEA, 1, 2, 3, 4}}, {}},
      {"EB (E7 to 2K)", CALL(uint8_t a = kUnset8, b = kUnset8, c = kUnset8, d = kUnset8;
                             int32_t r = SendEB(h, &a, &b, &c, &d); *o = {a, b, c, d}; return r;),
       {{1, 2, 3, 4}}, {{0xEB, 0, 0, 0, 0}}, {1, 2, 3, 4}, {{0xE7, 0, 0, 0, 0}}},
      {"EC", CALL(*o = {}; return SendEC(h, P, V);), {{9, 9, 9, 9}}, {{0xEC, 0, 0x12, 0, 0xC5}}, {}},
      {"ED", CALL(uint8_t a = kUnset8, b = kUnset8; uint16_t c = kUnset16; int32_t r = SendED(h, &a, &b, &c);
                  *o = {a, b, c}; return r;),
       {{0x11, 0x22, 0x33, 0x44}}, {{0xED, 0, 0, 0, 0}}, {0x11, 0x22, 0x4433}, {}, Values{0x22, 0, 0x3344}},
      {"EE", CALL(uint16_t a = kUnset16; uint8_t b = kUnset8, c = kUnset8; int32_t r = SendEE(h, &a, &b, &c);
                  *o = {a, b, c}; return r;),
       {{0x34, 0x12, 7, 2}}, {{0xEE, 0, 0, 0, 0}}, {0x1234, 7, 2}, {}, Values{0x3412, 2, 0}},
      {"EF", CALL(uint8_t a = kUnset8, b = kUnset8, c = kUnset8, d = kUnset8;
                  int32_t r = SendEF(h, &a, &b, &c, &d); *o = {a, b, c, d}; return r;),
       {{3, 4, 5, 6}}, {{0xEF, 0, 0, 0, 0}}, {3, 4, 5, 6}, {}, Values{1, 4, 5, 6}},
      {"NewSlvEB slave 0x12", CALL(uint8_t a = kUnset8, b = kUnset8, c = kUnset8, d = kUnset8;
                                   int32_t r = NewSlvEB(h, 0x12, &a, &b, &c, &d); *o = {a, b, c, d}; return r;),
       {{1, 2, 3, 4}}, {{0xEB, 0x02, 0, 0, 0}}, {1, 2, 3, 4}},
      {"NewSlvEB slave below 0x10 wraps", CALL(uint8_t a = kUnset8, b = kUnset8, c = kUnset8, d = kUnset8;
                                               int32_t r = NewSlvEB(h, 0x05, &a, &b, &c, &d);
                                               *o = {a, b, c, d}; return r;),
       {{1, 2, 3, 4}}, {{0xEB, 0xF5, 0, 0, 0}}, {1, 2, 3, 4}},
      {"NewSlvED low byte of slave", CALL(uint8_t a = kUnset8, b = kUnset8; uint16_t c = kUnset16;
                                          int32_t r = NewSlvED(h, 0x111, &a, &b, &c); *o = {a, b, c}; return r;),
       {{0x11, 0x22, 0x33, 0x44}}, {{0xED, 0x01, 0, 0, 0}}, {0x11, 0x22, 0x4433}},
      {"NewSlvEE", CALL(uint16_t a = kUnset16; uint8_t b = kUnset8, c = kUnset8;
                        int32_t r = NewSlvEE(h, 0x13, &a, &b, &c); *o = {a, b, c}; return r;),
       {{0x34, 0x12, 7, 2}}, {{0xEE, 0x03, 0, 0, 0}}, {0x1234, 7, 2}},
      {"F0", CALL(*o = {}; return SendF0(h, 0x101);), {{9, 9, 9, 9}}, {{0xF0, 0, 0, 0, 0x01}}, {}},
      {"F1", CALL(*o = {}; return SendF1(h, 0x100);), {{9, 9, 9, 9}}, {{0xF1, 0, 0, 0, 0}}, {}},
      {"F3", CALL(*o = {}; return SendF3(h, P, V);), {{9, 9, 9, 9}}, {{0xF3, 0, 0x12, 0, 0xC5}}, {}},
      {"F4", CALL(*o = {}; return SendF4(h, P, V);), {{9, 9, 9, 9}}, {{0xF4, 0, 0x12, 0, 0xC5}}, {}},
      {"F5", CALL(uint8_t b[4] = {kUnset8, kUnset8, kUnset8, kUnset8}; int32_t r = SendF5(h, P, b);
                  *o = Of(b); return r;),
       {{1, 2, 3, 4}}, {{0xF5, 0, 0x12, 0, 0}}, {1, 2, 3, 4}},
      {"F6", CALL(*o = {}; return SendF6(h, V);), {{9, 9, 9, 9}}, {{0xF6, 0, 0, 0, 0xC5}}, {}},
      {"F7", CALL(*o = {}; return SendF7(h, V);), {{9, 9, 9, 9}}, {{0xF7, 0, 0, 0, 0xC5}}, {}},
      {"F8", CALL(*o = {}; return SendF8(h, V);), {{9, 9, 9, 9}}, {{0xF8, 0, 0, 0, 0xC5}}, {}},
      {"F9", CALL(uint8_t a = kUnset8, b = kUnset8, c = kUnset8; int32_t r = SendF9(h, P, Q, V, &a, &b, &c);
                  *o = {a, b, c}; return r;),
       {{1, 2, 3, 4}}, {{0xF9, 0, 0x12, 0x34, 0xC5}}, {1, 2, 3}},
      {"FA", CALL(uint8_t a = kUnset8; int32_t r = SendFA(h, P, V, &a); *o = {a}; return r;), {{1, 2, 3, 4}},
       {{0xFA, 0, 0, 0x12, 0xC5}}, {1}},
      {"FB", CALL(uint8_t a = kUnset8; int32_t r = SendFB(h, &a); *o = {a}; return r;), {{1, 2, 3, 4}},
       {{0xFB, 0, 0, 0, 0}}, {4}},
      {"FC echoed", CALL(const uint8_t d[4] = {1, 2, 3, 4}; *o = {}; return SendFC(h, d);), {{1, 2, 3, 4}},
       {{0xFC, 1, 2, 3, 4}}, {}},
      {"FD", CALL(*o = {}; return SendFD(h, V);), {{9, 9, 9, 9}}, {{0xFD, 0, 0, 0, 0xC5}}, {}},
      {"FE sends its reply back", CALL(*o = {}; return SendFE(h);), {{1, 2, 3, 4}, {5, 6, 7, 8}},
       {{0xFE, 0, 0, 0, 0}, {0xFE, 1, 2, 3, 4}}, {}},
      {"FF (E8 to 2K)", CALL(*o = {}; return SendFF(h);), {{9, 9, 9, 9}, {9, 9, 9, 9}, {9, 9, 9, 9}},
       {{0xF0, 0, 0, 0, 0}, {0xFF, 0xAA, 0x55, 0xAA, 0x55}, {0xFF, 0x55, 0xAA, 0x55, 0xAA}}, {},
       {{0xF0, 0, 0, 0, 0}, {0xE8, 0xAA, 0x55, 0xAA, 0x55}, {0xE8, 0x55, 0xAA, 0x55, 0xAA}}, {}, false},
      {"D1 two bytes of m", CALL(uint16_t a = kUnset16; uint8_t b = kUnset8; int32_t r = SendD1(h, 0x10302, &a, &b);
                                 *o = {a, b}; return r;),
       {{0x34, 0x12, 9, 0x56}}, {{0xD1, 0, 0, 0x02, 0x03}}, {0x1234, 0x56}},
      {"D2", CALL(int32_t a = kUnset32; int32_t r = SendD2(h, &a); *o = {a}; return r;), {{0x40, 0, 0, 0}},
       {{0xD2, 0, 0, 0, 0}}, {0x40}},
      {"D3", CALL(uint16_t a = kUnset16; int32_t r = SendD3(h, &a); *o = {a}; return r;), {{0x40, 0x01, 9, 9}},
       {{0xD3, 0, 0, 0, 1}}, {0x0140}},
      {"D4 sends its reply back with AA", CALL(*o = {}; return SendD4(h);), {{1, 2, 3, 4}, {9, 9, 9, 9}},
       {{0xD4, 0, 0, 0, 0}, {0xD4, 1, 0xAA, 3, 4}}, {}},
      {"D5", CALL(uint8_t a = kUnset8; int32_t r = SendD5(h, P, &a); *o = {a}; return r;), {{1, 2, 3, 4}},
       {{0xD5, 0, 0x12, 0, 0}}, {4}},
      {"D6", CALL(uint8_t a = kUnset8; int32_t r = SendD6(h, P, V, &a); *o = {a}; return r;), {{1, 2, 3, 4}},
       {{0xD6, 0, 0x12, 0, 0xC5}}, {4}},
      {"D7", CALL(*o = {}; return SendD7(h, V);), {{9, 9, 9, 9}}, {{0xD7, 0, 0, 0, 0xC5}}, {}},
      {"D8", CALL(*o = {}; return SendD8(h);), {{9, 9, 9, 9}}, {{0xD8, 0, 0x55, 0, 0}}, {}},
      {"ChkFACmd", CALL(*o = {}; return ChkFACmd(h);), {{0, 0, 0x0F, 0}, {8, 0, 0, 0}},
       {{0xE0, 0, 0xF0, 0, 0}, {0xFA, 0, 0, 0, 0}}, {}},
  };
  return cases;
}

// One controller of the family under test, opened through the library.
class Commands : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    dev_ = &rig_.add(ControllerOf(GetParam()));
    h_ = rig_.connect().at(0);
  }
  void TearDown() override {
    // Back to the library's defaults: replies on, reported size 64, no D1 wait.
    dev_->clearFaults();
    uint16_t a;
    uint8_t b;
    SendD1(h_, 0, &a, &b);
    Answer(*dev_, 0xD2, {64, 0, 0, 0});
    int32_t size;
    SendD2(h_, &size);
  }
  bool twoK() const { return GetParam() == Family::TwoK; }
  const std::vector<Packet>& wireOf(const Case& c) const {
    return twoK() && !c.wire2K.empty() ? c.wire2K : c.wire;
  }
  const Values& outOf(const Case& c) const { return twoK() && c.out2K ? *c.out2K : c.out; }
  // Each exchange answered with its row's reply bytes, under the opcode it was sent with.
  void script(const Case& c) {
    const auto& wire = wireOf(c);
    for (size_t i = 0; i < c.replies.size() && i < wire.size(); ++i) Answer(*dev_, wire[i][0], c.replies[i]);
  }
  void reset() {
    dev_->clearFaults();
    dev_->clearRequests();
  }

  Rig rig_;
  sim::Device* dev_ = nullptr;
  DeviceHandle h_ = QZ_NO_DEVICE;
};

TEST_P(Commands, EachExportSendsItsPacketsAndDecodesTheReply) {
  for (const Case& c : Catalogue()) {
    SCOPED_TRACE(c.name);
    reset();
    script(c);
    Values out;
    EXPECT_EQ(c.call(h_, &out), 1);
    EXPECT_EQ(Wire(*dev_), wireOf(c));
    EXPECT_EQ(out, outOf(c));
  }
}

TEST_P(Commands, ARefusalFailsAndWritesNoOutput) {
  for (const Case& c : Catalogue()) {
    if (!c.firstExchangeDecides) continue;
    SCOPED_TRACE(c.name);
    reset();
    dev_->addFault(Fault::refuse());
    Values out;
    EXPECT_EQ(c.call(h_, &out), 0);
    EXPECT_TRUE(AllUnset(out));
    EXPECT_EQ(Wire(*dev_), std::vector<Packet>{wireOf(c).front()}) << "nothing after the refused packet";
  }
}

TEST_P(Commands, AnUnknownHandleSendsNothingAndWritesNoOutput) {
  const DeviceHandle closed = h_;
  ASSERT_EQ(CloseDevice(closed), 1);
  for (DeviceHandle bad : {QZ_NO_DEVICE, closed}) {
    for (const Case& c : Catalogue()) {
      SCOPED_TRACE(c.name);
      reset();
      Values out;
      EXPECT_EQ(c.call(bad, &out), 0);
      EXPECT_TRUE(AllUnset(out));
      EXPECT_TRUE(dev_->requests().empty());
    }
  }
  h_ = rig_.reopen(*dev_);
}

// While replies are off nothing is read back, and every output is what the same call
// yields when the controller answers with the command's own bytes. Each row runs on two
// fresh controllers, one quiet and one answering: some rows (FF) leave a controller in its
// boot loader, where it answers nothing.
TEST_P(Commands, WithRepliesOffOutputsComeFromTheCommandBytes) {
  for (const Case& c : Catalogue()) {
    if (c.wire.front()[0] == 0xD1) continue;  // D1 switches replies on before it is sent
    SCOPED_TRACE(c.name);
    Rig rig;
    sim::Device& quietDev = rig.add(ControllerOf(GetParam(), "quiet"));
    sim::Device& echoDev = rig.add(ControllerOf(GetParam(), "echo"));
    const auto h = rig.connect();

    ASSERT_EQ(SendD0(h[0], 0, 0), 1);
    quietDev.clearRequests();
    Values quiet;
    EXPECT_EQ(c.call(h[0], &quiet), 1);
    const std::vector<Packet> quietWire = Wire(quietDev);
    EXPECT_TRUE(RequestsOf(quietDev, sim::kGetFeature).empty());
    uint16_t a;
    uint8_t b;
    SendD1(h[0], 0, &a, &b);  // replies on again, whether or not this controller answers

    for (const Packet& p : quietWire) echoDev.addFault(Fault::replyWith(p[0], p));
    Values echoed;
    EXPECT_EQ(c.call(h[1], &echoed), 1);
    EXPECT_EQ(quiet, echoed);
    EXPECT_EQ(quietWire, Wire(echoDev));
  }
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, Commands, ::testing::Values(Family::Krxm, Family::TwoK),
                         [](const auto& info) { return FamilyName(info.param); });

// ---- Commands with more than one packet ---------------------------------------------------

// A row of the table whose exchange k is refused; the others are answered as in the row.
struct StopCase {
  const char* row;
  int refused;  // 0-based exchange
  int32_t result;
  size_t packetsSent;
};

const Case& Row(const char* name) {
  for (const Case& c : Catalogue())
    if (std::string(c.name) == name) return c;
  throw std::logic_error(name);
}

TEST_P(Commands, MultiPacketCommandsStopAtTheFirstFailureThatCounts) {
  const StopCase cases[] = {
      {"EA sends its reply back", 0, 0, 1},
      {"EA sends its reply back", 1, 0, 2},
      {"FE sends its reply back", 1, 0, 2},
      {"D4 sends its reply back with AA", 0, 0, 1},
      {"D4 sends its reply back with AA", 1, 0, 2},
      {"FF (E8 to 2K)", 0, 1, 3},  // F0's answer does not matter
      {"FF (E8 to 2K)", 1, 0, 2},  // the first pattern's does
      {"FF (E8 to 2K)", 2, 1, 3},  // the second's does not
      {"ChkFACmd", 0, 0, 1},
      {"ChkFACmd", 1, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.row) + ", exchange " + std::to_string(c.refused) + " refused");
    reset();
    const Case& row = Row(c.row);
    const auto& wire = wireOf(row);
    for (size_t i = 0; i < wire.size(); ++i) {
      if (int(i) == c.refused)
        dev_->addFault(Fault::refuse());
      else
        Answer(*dev_, wire[i][0], row.replies[i]);
    }
    Values out;
    EXPECT_EQ(row.call(h_, &out), c.result);
    EXPECT_EQ(Wire(*dev_), std::vector<Packet>(wire.begin(), wire.begin() + long(c.packetsSent)));
  }
}

TEST_P(Commands, FCFailsWhenAnyEchoedByteDiffers) {
  const uint8_t d[4] = {0x10, 0x20, 0x30, 0x40};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    reset();
    std::array<uint8_t, 4> echo = {0x10, 0x20, 0x30, 0x40};
    echo[i] ^= 0x01;
    Answer(*dev_, 0xFC, echo);
    EXPECT_EQ(SendFC(h_, d), 0);
    EXPECT_EQ(Wire(*dev_), (std::vector<Packet>{{0xFC, 0x10, 0x20, 0x30, 0x40}}));
  }
}

TEST_P(Commands, ChkFACmdRefusesWhenTheProbeSetsBit4Or5OfR3) {
  const struct {
    uint8_t r3;
    int32_t result;
  } cases[] = {{0x10, 0}, {0x20, 0}, {0x30, 0}, {0x0F, 1}, {0xC0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.r3));
    reset();
    Answer(*dev_, 0xE0, {0xFF, 0xFF, c.r3, 0xFF});
    EXPECT_EQ(ChkFACmd(h_), c.result);
    std::vector<Packet> wire = {{0xE0, 0, 0xF0, 0, 0}};
    if (c.result) wire.push_back({0xFA, 0, 0, 0, 0});
    EXPECT_EQ(Wire(*dev_), wire);
  }
}

TEST_P(Commands, D4SleepsTheWaitOfItsFirstReplyAfterTheSecondIsAnswered) {
  Answer(*dev_, 0xD4, {0x01, 0x02, 0x03, 0x14});
  EXPECT_EQ(SendD4(h_), 1);
  const auto done = std::chrono::steady_clock::now();
  EXPECT_EQ(Wire(*dev_), (std::vector<Packet>{{0xD4, 0, 0, 0, 0}, {0xD4, 0x01, 0xAA, 0x03, 0x14}}));
  const auto reads = RequestsOf(*dev_, sim::kGetFeature);
  ASSERT_FALSE(reads.empty());
  const auto lastRead = std::chrono::steady_clock::time_point(std::chrono::microseconds(reads.back().timeUs));
  const double sleptMs = std::chrono::duration<double, std::milli>(done - lastRead).count();
  EXPECT_GE(sleptMs, 20.0);
}

// ---- Reply mode and waits, process-wide ---------------------------------------------------

TEST(RepliesOff, D0SilencesEveryControllerUntilD1) {
  Rig rig;
  sim::Device& krxm = rig.add(ControllerOf(Family::Krxm, "a"));
  sim::Device& twoK = rig.add(ControllerOf(Family::TwoK, "b"));
  const auto h = rig.connect();

  ASSERT_EQ(SendD0(h[0], 258, 772), 1);
  EXPECT_EQ(Wire(krxm), (std::vector<Packet>{{0xD0, 0x02, 0x01, 0x04, 0x03}}));

  uint8_t out[4] = {};
  EXPECT_EQ(SendE0(h[1], 0x12, 0x34, out), 1);
  EXPECT_THAT(out, ::testing::ElementsAre(0x12, 0x34, 0, 0)) << "its own argument bytes";
  EXPECT_TRUE(RequestsOf(twoK, sim::kGetFeature).empty()) << "nothing is read back";

  uint16_t a;
  uint8_t b;
  Answer(twoK, 0xD1, {0x34, 0x12, 0, 0x56});
  ASSERT_EQ(SendD1(h[1], 0, &a, &b), 1);
  EXPECT_EQ(a, 0x1234);

  // The first controller was never sent D1 and stays silent, but the library reads again.
  krxm.clearRequests();
  SendE0(h[0], 0x12, 0x34, out);
  EXPECT_FALSE(RequestsOf(krxm, sim::kGetFeature).empty()) << "replies are read from every controller again";
}

TEST(RepliesOff, ARefusedD0LeavesRepliesOn) {
  Rig rig;
  sim::Device& dev = rig.add(ControllerOf(Family::Krxm));
  const DeviceHandle h = rig.connect().at(0);
  dev.addFault(Fault::refuse(0xD0));
  EXPECT_EQ(SendD0(h, 1, 2), 0);
  Answer(dev, 0xE0, {1, 2, 3, 4});
  uint8_t out[4] = {};
  EXPECT_EQ(SendE0(h, 0, 0, out), 1);
  EXPECT_THAT(out, ::testing::ElementsAre(1, 2, 3, 4));
}

struct WaitCase {
  const char* name;
  Family family;
  std::optional<std::array<uint8_t, 4>> d2Reply;  // none: D2 refused
  uint8_t opcode;                                 // E1, EA or D1 after it
  int32_t reported;                               // SendD2's output (when answered)
  double atLeastMs, belowMs;
};

std::ostream& operator<<(std::ostream& os, const WaitCase& c) { return os << c.name; }

class Waits : public ::testing::TestWithParam<WaitCase> {};

// The wait between a command's send and its first reply poll follows the last D2 reply.
TEST_P(Waits, FollowTheLastD2Reply) {
  const WaitCase& c = GetParam();
  Rig rig;
  sim::Device& dev = rig.add(ControllerOf(c.family));
  const DeviceHandle h = rig.connect().at(0);

  // A D2 that leaves a long wait behind, so the one under test must reset it.
  Answer(dev, 0xD2, {0x00, 0x00, 0x01, 0x50});
  int32_t size = 0;
  ASSERT_EQ(SendD2(h, &size), 1);
  ASSERT_EQ(size, 65536);

  if (c.d2Reply) {
    Answer(dev, 0xD2, *c.d2Reply);
    ASSERT_EQ(SendD2(h, &size), 1);
    EXPECT_EQ(size, c.reported);
  } else {
    dev.addFault(Fault::refuse(0xD2));
    size = kUnset32;
    ASSERT_EQ(SendD2(h, &size), 0);
    EXPECT_EQ(size, kUnset32);
  }
  dev.clearRequests();
  Answer(dev, c.opcode, {0, 0, 0, 0});
  Answer(dev, c.opcode, {0, 0, 0, 0});  // EA's second exchange
  uint16_t a;
  uint8_t b;
  switch (c.opcode) {
    case 0xE1: EXPECT_EQ(SendE1(h, 0, 0, 0), 1); break;
    case 0xEA: EXPECT_EQ(SendEA(h, 0), 1); break;
    case 0xD1: EXPECT_EQ(SendD1(h, 0, &a, &b), 1); break;
  }
  const double waited = WaitBeforeFirstPoll(dev, c.opcode);
  EXPECT_GE(waited, c.atLeastMs);
  EXPECT_LT(waited, c.belowMs);

  Answer(dev, 0xD2, {64, 0, 0, 0});
  SendD2(h, &size);
}

INSTANTIATE_TEST_SUITE_P(
    AfterD2, Waits,
    ::testing::Values(
        WaitCase{"KrxmE1After300", Family::Krxm, {{0x2C, 0x01, 0x00, 0x00}}, 0xE1, 300, 50, 1000},
        WaitCase{"KrxmEAAfter300", Family::Krxm, {{0x2C, 0x01, 0x00, 0x00}}, 0xEA, 300, 50, 1000},
        WaitCase{"KrxmE1After256", Family::Krxm, {{0x00, 0x01, 0x00, 0x00}}, 0xE1, 256, 5, 50},
        WaitCase{"KrxmD1WaitsD2Byte4", Family::Krxm, {{0x00, 0x01, 0x00, 0x3C}}, 0xD1, 256, 60, 1000},
        WaitCase{"KrxmD1WithoutWaitByteAfter300", Family::Krxm, {{0x2C, 0x01, 0x00, 0x00}}, 0xD1, 300, 50, 1000},
        WaitCase{"KrxmE1AfterRefusedD2", Family::Krxm, std::nullopt, 0xE1, 0, 5, 50},
        WaitCase{"KrxmD1AfterRefusedD2", Family::Krxm, std::nullopt, 0xD1, 0, 5, 50},
        WaitCase{"TwoKE1After300", Family::TwoK, {{0x2C, 0x01, 0x00, 0x00}}, 0xE1, 300, 30, 50},
        WaitCase{"TwoKE1After256", Family::TwoK, {{0x00, 0x01, 0x00, 0x00}}, 0xE1, 256, 30, 50}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
