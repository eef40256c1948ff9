// The device table and the HID transport against simulated HID controllers.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "sim_fixture.h"

using namespace qztest;
using qzsim::Fault;
using qzsim::kForever;
using qzsim::Packet;

namespace {

using Report = std::vector<uint8_t>;

class BasicHid : public SimTest {
 protected:
  DeviceHandle find(char* name = nullptr) {
    char buffer[QZ_MODEL_NAME_SIZE] = {};
    DeviceHandle h = QZ_NO_DEVICE;
    EXPECT_EQ(FindHidDevice(&h, name ? name : buffer), 1);
    return keep(h);
  }
  static int32_t send(DeviceHandle h, Packet cmd, uint8_t* reply) { return SendCmd(h, cmd.data(), reply); }
};

struct ReportIdCase {
  uint16_t productId;
  Report identity;
};

void PrintTo(const ReportIdCase& c, std::ostream* os) { *os << std::hex << c.productId; }

class BasicHidReportId : public BasicHid, public ::testing::WithParamInterface<ReportIdCase> {};

TEST_P(BasicHidReportId, IdentityCommandCarriesTheReportIdOfTheProduct) {
  auto& dev = sim.addHid(Hid(GetParam().productId));
  find();
  auto sends = ofOp(dev, qzsim::kSendFeature);
  ASSERT_FALSE(sends.empty());
  EXPECT_EQ(sends.front().bytes, GetParam().identity);
  auto reads = ofOp(dev, qzsim::kGetFeature);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front().bytes[0], GetParam().identity[0]) << "a read names the same report";
}

INSTANTIATE_TEST_SUITE_P(Products, BasicHidReportId,
                         ::testing::Values(ReportIdCase{0x7413, {1, 0xEE, 0, 0, 0, 0}},
                                           ReportIdCase{0x7416, {1, 0xEE, 0, 0, 0, 0}},
                                           ReportIdCase{0x7480, {0, 0xEE, 0, 0, 0, 0}},
                                           ReportIdCase{0x7414, {0, 0xEE, 0, 0, 0, 0}},
                                           ReportIdCase{0x2150, {0, 0xEE, 0, 0, 0, 0}}));

// Interfaces whose path fields do not name a controller are skipped without being opened.
TEST_F(BasicHid, PathsWithoutVendorOrSupportedProductAreSkipped) {
  const char* names[] = {
      "hid#vid_7A3D&pid_7480#upper",  // vendor compared byte for byte, lower case only
      "hid#vid_046d&pid_7480#other",  // another vendor
      "hid#vid_7a3d&pid_5480#five",   // thousands digit 5
      "hid#vid_7a3d&pid_7x80#letter", // reads as 7, below 1000
      "hid#vid_7a3d&pid_0480#zero",
  };
  std::vector<qzsim::Device*> devs;
  for (const char* n : names) {
    qzsim::Controller c;
    c.socketName = n;
    devs.push_back(&sim.addHid(c));
  }
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE] = "untouched";
  EXPECT_EQ(FindHidDevice(&h, name), 0);
  EXPECT_EQ(h, QZ_NO_DEVICE);
  EXPECT_STREQ(name, "untouched");
  EXPECT_EQ(EnumerateHidDevices(nullptr), 0);
  for (auto* d : devs) EXPECT_TRUE(d->requests().empty()) << d->path();
}

TEST_F(BasicHid, FindTakesTheFirstInOrderAndLeavesTheSecondUnopened) {
  auto& second = sim.addHid(Hid(0x7480, "b"));
  auto& first = sim.addHid(Hid(0x7480, "a"));
  char name[QZ_MODEL_NAME_SIZE];
  DeviceHandle h = find(name);
  EXPECT_STREQ(name, "QZ4321A");
  EXPECT_FALSE(first.requests().empty());
  EXPECT_TRUE(second.requests().empty());
  EXPECT_EQ(second.connections(), 0u);
  int32_t type = 0;
  EXPECT_EQ(GetDeviceType(h, &type), 1);
  EXPECT_EQ(type, QZ_TYPE_HID);
}

std::vector<std::pair<std::string, std::string>> g_seen;
void Record(const char* path, const char* model) { g_seen.emplace_back(path, model); }

TEST_F(BasicHid, EnumerationReportsEveryControllerAndLeavesThemOpen) {
  auto& a = sim.addHid(Hid(0x7480, "a"));
  qzsim::Controller twoK = Hid(0x2150, "b");
  twoK.chips[0].modelNumber = 2150;
  auto& b = sim.addHid(twoK);
  g_seen.clear();
  ASSERT_EQ(EnumerateHidDevices(Record), 1);
  ASSERT_EQ(g_seen.size(), 2u);
  // Virtual devices come in byte order of their names: pid_2150 before pid_7480.
  EXPECT_EQ(g_seen[0], (std::pair<std::string, std::string>{b.path(), "QZ2150"}));
  EXPECT_EQ(g_seen[1], (std::pair<std::string, std::string>{a.path(), "QZ4321A"}));
  // Both stay open in their slots: OpenDevice hands out the open handle, no identity again.
  a.clearRequests();
  for (auto& [path, model] : g_seen) {
    DeviceHandle h = QZ_NO_DEVICE;
    ASSERT_EQ(OpenDevice(path.c_str(), &h), 1) << path;
    keep(h);
  }
  EXPECT_TRUE(a.requests().empty());
  EXPECT_EQ(a.connections(), 1u);
  EXPECT_EQ(b.connections(), 1u);
}

struct NameCase {
  bool twoK;
  uint16_t number;
  uint8_t letter;
  const char* name;
  bool sendsF4;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class BasicHidModelName : public BasicHid, public ::testing::WithParamInterface<NameCase> {};

TEST_P(BasicHidModelName, IsMadeFromTheIdentityReply) {
  const auto& p = GetParam();
  qzsim::Controller c = p.twoK ? qzsim::Controller::twoK() : qzsim::Controller{};
  c.chips[0].modelNumber = p.number;
  c.chips[0].modelLetter = p.letter;
  auto& dev = sim.addHid(c);
  char name[QZ_MODEL_NAME_SIZE];
  find(name);
  EXPECT_STREQ(name, p.name);
  auto cmds = dev.commands();
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds[0], (Packet{0xEE, 0, 0, 0, 0}));
  if (p.sendsF4) {
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1], (Packet{0xF4, 0, 0, 0, 0}));
  } else {
    EXPECT_EQ(cmds.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, BasicHidModelName,
                         ::testing::Values(NameCase{false, 1234, 1, "QZ1234A", false},
                                           NameCase{false, 1234, 2, "QZ1234B", false},
                                           NameCase{false, 1234, 0, "QZ1234", false},
                                           NameCase{false, 0x8000 | 1234, 0, "QZ1234", true},
                                           NameCase{true, 1234, 1, "QZ1234", false},
                                           NameCase{false, 65535 & 0x7FFF, 26, "QZ32767Z", false}));

TEST_F(BasicHid, StalePacketThenAnswerSucceedsInOneAttempt) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::stale(0xE0, 3));
  uint8_t reply[5] = {};
  EXPECT_EQ(send(h, {0xE0, 0x00, 0x01, 0, 0}, reply), 1);
  EXPECT_EQ(reply[0], 0xE0);
  EXPECT_EQ(ofOp(dev, qzsim::kSendFeature).size(), 1u);
  EXPECT_EQ(ofOp(dev, qzsim::kGetFeature).size(), 4u);
}

TEST_F(BasicHid, RefusalWritesOnlyByteZeroAndIsNotRetried) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::refuse(0xE1));
  uint8_t reply[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(send(h, {0xE1, 1, 2, 0, 3}, reply), 0);
  EXPECT_EQ(Report(reply, reply + 5), (Report{0xAA, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(ofOp(dev, qzsim::kSendFeature).size(), 1u);
}

TEST_F(BasicHid, CommandAndReplyMayShareOneBuffer) {
  sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  uint8_t packet[5] = {0xE0, 0x00, 0xF4, 0, 0};
  EXPECT_EQ(SendCmd(h, packet, packet), 1);
  EXPECT_EQ(packet[0], 0xE0);
}

TEST_F(BasicHid, SilentControllerCostsFiveAttemptsOfFivePollsAndLeavesTheReply) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::noAnswer(0xE0, kForever));
  uint8_t reply[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(send(h, {0xE0, 0, 0, 0, 0}, reply), 0);
  EXPECT_EQ(Report(reply, reply + 5), (Report{1, 2, 3, 4, 5}));
  EXPECT_EQ(ofOp(dev, qzsim::kSendFeature).size(), 5u);
  EXPECT_EQ(ofOp(dev, qzsim::kGetFeature).size(), 25u);
}

TEST_F(BasicHid, FailedSendIsRetriedAtOnce) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::sendFail(0xE0, 2));
  uint8_t reply[5] = {};
  EXPECT_EQ(send(h, {0xE0, 0, 0, 0, 0}, reply), 1);
  auto reqs = dev.requests();
  ASSERT_GE(reqs.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reqs[i].op, qzsim::kSendFeature) << "no poll after a failed send";
  EXPECT_EQ(reqs[3].op, qzsim::kGetFeature);
}

TEST_F(BasicHid, ReplyWaitFollowsTheFamily) {
  auto& krxm = sim.addHid(Hid(0x7480, "a"));
  auto& twoK = sim.addHid(Hid(0x2150, "b"));
  g_seen.clear();
  ASSERT_EQ(EnumerateHidDevices(Record), 1);
  struct Case {
    qzsim::Device* dev;
    uint8_t opcode;
    uint64_t minWaitUs;
  } cases[] = {{&krxm, 0xE1, 5000}, {&krxm, 0xEA, 5000}, {&twoK, 0xE1, 30000}, {&twoK, 0xEA, 30000}};
  for (const auto& c : cases) {
    DeviceHandle h = QZ_NO_DEVICE;
    ASSERT_EQ(OpenDevice(c.dev->path().c_str(), &h), 1);
    keep(h);
    c.dev->clearRequests();
    c.dev->addFault(Fault::replyWith(c.opcode, Packet{c.opcode, 0, 0, 0, 0}));
    uint8_t reply[5];
    ASSERT_EQ(send(h, {c.opcode, 0, 0, 0, 0}, reply), 1);
    auto reqs = c.dev->requests();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_GE(reqs[1].timeUs - reqs[0].timeUs, c.minWaitUs) << c.dev->path() << " opcode " << int(c.opcode);
  }
}

TEST_F(BasicHid, ClosedHandleSendsNothing) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  ASSERT_EQ(FindHidDevice(&h, name), 1);
  EXPECT_EQ(CloseDevice(h), 1);
  dev.clearRequests();
  uint8_t reply[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(send(h, {0xE0, 0, 0, 0, 0}, reply), 0);
  int32_t out = 77;
  EXPECT_EQ(GetDeviceType(h, &out), 0);
  EXPECT_EQ(IsQZ2K(h, &out), 0);
  EXPECT_EQ(out, 77);
  EXPECT_EQ(reply[0], 9);
  EXPECT_TRUE(dev.requests().empty());
}

TEST_F(BasicHid, ReopenByPathKeepsTypeAndFamilyWithoutIdentity) {
  auto& dev = sim.addHid(Hid(0x2150));
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  ASSERT_EQ(FindHidDevice(&h, name), 1);
  ASSERT_EQ(CloseDevice(h), 1);
  dev.clearRequests();
  DeviceHandle again = QZ_NO_DEVICE;
  ASSERT_EQ(OpenDevice(dev.path().c_str(), &again), 1);
  keep(again);
  EXPECT_TRUE(dev.requests().empty()) << "no identity command on reopen";
  int32_t is2K = 0, type = 0;
  EXPECT_EQ(IsQZ2K(again, &is2K), 1);
  EXPECT_EQ(is2K, 1);
  EXPECT_EQ(GetDeviceType(again, &type), 1);
  EXPECT_EQ(type, QZ_TYPE_HID);
  uint8_t reply[5];
  EXPECT_EQ(send(again, {0xE0, 0, 0, 0, 0}, reply), 1);
  // A second OpenDevice of an open slot hands out the same handle.
  DeviceHandle same = QZ_NO_DEVICE;
  EXPECT_EQ(OpenDevice(dev.path().c_str(), &same), 1);
  EXPECT_EQ(same, again);
}

TEST_F(BasicHid, TwoControllersAlternateWithTheirOwnSettings) {
  auto& numbered = sim.addHid(Hid(0x7413, "a"));
  auto& twoK = sim.addHid(Hid(0x2150, "b"));
  g_seen.clear();
  ASSERT_EQ(EnumerateHidDevices(Record), 1);
  DeviceHandle h1 = QZ_NO_DEVICE, h2 = QZ_NO_DEVICE;
  ASSERT_EQ(OpenDevice(numbered.path().c_str(), &h1), 1);
  ASSERT_EQ(OpenDevice(twoK.path().c_str(), &h2), 1);
  keep(h1);
  keep(h2);
  numbered.clearRequests();
  twoK.clearRequests();
  for (int i = 0; i < 3; ++i) {
    uint8_t reply[5];
    ASSERT_EQ(send(h1, {0xFC, uint8_t(i), 0, 0, 0}, reply), 1);
    ASSERT_EQ(send(h2, {0xFC, uint8_t(0x10 + i), 0, 0, 0}, reply), 1);
  }
  auto a = ofOp(numbered, qzsim::kSendFeature);
  auto b = ofOp(twoK, qzsim::kSendFeature);
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a[i].bytes, (Report{1, 0xFC, uint8_t(i), 0, 0, 0}));
    EXPECT_EQ(b[i].bytes, (Report{0, 0xFC, uint8_t(0x10 + i), 0, 0, 0}));
  }
  int32_t f1 = -1, f2 = -1;
  EXPECT_EQ(IsQZ2K(h1, &f1), 1);
  EXPECT_EQ(IsQZ2K(h2, &f2), 1);
  EXPECT_EQ(f1, 0);
  EXPECT_EQ(f2, 1);
}

TEST_F(BasicHid, FreshLibraryKnowsNoDevice) {
  int32_t out = 5;
  EXPECT_EQ(GetDeviceType(QZ_NO_DEVICE, &out), 0);
  EXPECT_EQ(GetDeviceType(0x48440000, &out), 0);
  EXPECT_EQ(out, 5);
  DeviceHandle h = 42;
  EXPECT_EQ(OpenDevice("", &h), 0);
  EXPECT_EQ(OpenDevice("\\\\?\\hid#vid_7a3d&pid_7480#sim0", &h), 0);
  EXPECT_EQ(h, 42);
}

TEST_F(BasicHid, ForeignHandlesAreLeftAlone) {
  EXPECT_EQ(CloseDevice(QZ_NO_DEVICE), 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(CloseDevice(fds[0]), 1);
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "the library closed a descriptor it never opened";
  close(fds[0]);
  close(fds[1]);
}

TEST_F(BasicHid, OverlongPathsAreRefused) {
  std::string path(300, 'x');
  DeviceHandle h = 7;
  EXPECT_EQ(OpenDevice(path.c_str(), &h), 0);
  path.assign(259, 'y');  // fits the field but names no slot
  EXPECT_EQ(OpenDevice(path.c_str(), &h), 0);
  EXPECT_EQ(h, 7);
}

TEST_F(BasicHid, OutputReportCarriesTheReportIdAndTheLow16BitsOfTheLength) {
  auto& dev = sim.addHid(Hid(0x7413));
  DeviceHandle h = find();
  dev.clearRequests();
  const uint8_t bytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(SetOutputReport(h, 3, bytes), 1);
  EXPECT_EQ(SetOutputReport(h, 0x10002, bytes), 1);
  EXPECT_EQ(SetOutputReport(h, 0, nullptr), 1);
  auto outs = ofOp(dev, qzsim::kSendOutput);
  ASSERT_EQ(outs.size(), 3u);
  EXPECT_EQ(outs[0].bytes, (Report{1, 0xDE, 0xAD, 0xBE}));
  EXPECT_EQ(outs[1].bytes, (Report{1, 0xDE, 0xAD}));
  EXPECT_EQ(outs[2].bytes, (Report{1}));
}

TEST_F(BasicHid, RemovedDeviceFailsWithoutHanging) {
  auto& dev = sim.addHid(Hid(0x7480));
  DeviceHandle h = find();
  dev.remove();
  uint8_t reply[5] = {3, 3, 3, 3, 3};
  EXPECT_EQ(send(h, {0xE0, 0, 0, 0, 0}, reply), 0);
  EXPECT_EQ(reply[0], 3);
  DeviceHandle again = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  EXPECT_EQ(FindHidDevice(&again, name), 0);
}

}  // namespace
