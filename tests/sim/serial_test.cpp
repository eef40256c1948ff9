// Serial controllers on pseudo-terminals: six-byte frames with their checksum, resync,
// serial faults, links, removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "qzsim/simulator.h"
#include "raw_client.h"

using namespace std::chrono_literals;
using qzsim::Controller;
using qzsim::Fault;
using rawsim::Bytes;
using rawsim::Serial;

namespace {

const Bytes kIdentity = Serial::frame({0xEE, 0, 0, 0, 0});
const Bytes kIdentityReply = Serial::frame({0xEE, 0xE1, 0x10, 2, 1});

class SimSerial : public ::testing::Test {
 protected:
  qzsim::Simulator sim;
  qzsim::Device& add(const std::string& link = {}) {
    auto& d = sim.addSerial(Controller{}, link);
    sim.start();
    return d;
  }
};

TEST_F(SimSerial, FramesCarryTheirChecksum) {
  EXPECT_EQ(kIdentity, (Bytes{0xEE, 0, 0, 0, 0, 0x11}));
  EXPECT_EQ(Serial::frame({0xF7, 0, 0, 0, 1}), (Bytes{0xF7, 0, 0, 0, 1, 0x07}));
  auto& dev = add();
  Serial s(dev.endpoint());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s.write(kIdentity));
  EXPECT_EQ(s.read(6, 1000), kIdentityReply);
  auto recs = dev.requests();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].op, qzsim::kSerialFrame);
  EXPECT_EQ(recs[0].bytes, kIdentity);
}

TEST_F(SimSerial, BadFramesAreDroppedAndTheLineResyncs) {
  auto& dev = add();
  Serial s(dev.endpoint());
  // A frame with a wrong checksum gets no answer.
  ASSERT_TRUE(s.write({0xEE, 0, 0, 0, 0, 0x12}));
  EXPECT_TRUE(s.read(6, 100).empty());
  // Two stray bytes, then a good frame: the frame is found after them.
  ASSERT_TRUE(s.write({0x01, 0x02}));
  ASSERT_TRUE(s.write(kIdentity));
  EXPECT_EQ(s.read(6, 1000), kIdentityReply);
  // A partial frame left alone is dropped, so the next frame starts clean.
  ASSERT_TRUE(s.write({0xEE, 0, 0}));
  std::this_thread::sleep_for(120ms);
  ASSERT_TRUE(s.write(kIdentity));
  EXPECT_EQ(s.read(6, 1000), kIdentityReply);
  EXPECT_EQ(dev.commands().size(), 2u);
}

TEST_F(SimSerial, ScriptedReplyFaults) {
  struct Case {
    const char* what;
    Fault fault;
    int firstWaitMs;      // read window for the first check
    size_t firstBytes;    // bytes expected within it
    Bytes whole;          // everything that arrives within a second
  };
  Bytes badSum = kIdentityReply;
  badSum[5] ^= 0xFF;
  Bytes garbage = {0x5A, uint8_t(0x5A + 37), uint8_t(0x5A + 74)};
  garbage.insert(garbage.end(), kIdentityReply.begin(), kIdentityReply.end());
  const Case cases[] = {
      {"split in three, 150 ms apart", Fault::splitReply(0xEE, 3, 150), 75, 2, kIdentityReply},
      {"wrong checksum", Fault::badChecksum(0xEE), 200, 6, badSum},
      {"garbage first", Fault::garbage(0xEE, 3), 200, 9, garbage},
      {"delay", Fault::delay(0xEE, 250), 100, 0, kIdentityReply},
      {"silence", Fault::noAnswer(0xEE), 100, 0, {}},
      {"refusal", Fault::refuse(0xEE), 200, 6, Serial::frame({0xAA, 0, 0, 0, 0})},
  };
  for (const Case& k : cases) {
    qzsim::Simulator sm;
    auto& dev = sm.addSerial(Controller{});
    sm.start();
    Serial s(dev.endpoint());
    dev.addFault(k.fault);
    ASSERT_TRUE(s.write(kIdentity));
    Bytes first = s.read(k.firstBytes ? k.firstBytes : 1, k.firstWaitMs);
    EXPECT_EQ(first.size(), k.firstBytes) << k.what;
    Bytes rest = s.read(k.whole.size() - first.size(), k.whole.empty() ? 150 : 1000);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, k.whole) << k.what;
  }
  // A stale frame first: another opcode with a good checksum, then the reply.
  qzsim::Simulator sm;
  auto& dev = sm.addSerial(Controller{});
  sm.start();
  Serial s(dev.endpoint());
  dev.addFault(Fault::stale(0xEE, 1));
  ASSERT_TRUE(s.write(kIdentity));
  Bytes both = s.read(12, 1000);
  ASSERT_EQ(both.size(), 12u);
  Bytes stale(both.begin(), both.begin() + 6);
  EXPECT_NE(stale[0], 0xEE);
  EXPECT_EQ(Serial::frame(Bytes(stale.begin(), stale.begin() + 5)), stale);
  EXPECT_EQ(Bytes(both.begin() + 6, both.end()), kIdentityReply);
}

TEST_F(SimSerial, RepliesOffSendsNothingUntilD1) {
  auto& dev = add();
  Serial s(dev.endpoint());
  ASSERT_TRUE(s.write(Serial::frame({0xD0, 0, 0, 0, 0})));
  EXPECT_EQ(s.read(6, 1000), Serial::frame({0xD0, 0, 0, 0, 0}));
  ASSERT_TRUE(s.write(kIdentity));
  EXPECT_TRUE(s.read(6, 100).empty());
  ASSERT_TRUE(s.write(Serial::frame({0xD1, 0, 0, 0, 0})));
  EXPECT_EQ(s.read(6, 1000), Serial::frame({0xD1, 1, 0, 0, 0xEE}));
  (void)dev;
}

TEST_F(SimSerial, LinkNamesTheLineAndGoesWithTheDevice) {
  auto& dev = add("com3");
  EXPECT_EQ(dev.link(), sim.dir() + "/com3");
  EXPECT_EQ(dev.path(), dev.link());
  char target[PATH_MAX] = {};
  ASSERT_GT(readlink(dev.link().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), dev.endpoint());
  {
    Serial s(dev.link());
    ASSERT_TRUE(s.write(kIdentity));
    EXPECT_EQ(s.read(6, 1000), kIdentityReply);
  }
  // A client that closed and opens again is served on the same line.
  Serial again(dev.link());
  ASSERT_TRUE(again.write(kIdentity));
  EXPECT_EQ(again.read(6, 1000), kIdentityReply);
  dev.remove();
  EXPECT_NE(access(dev.link().c_str(), F_OK), 0);
  EXPECT_FALSE(again.write(kIdentity) && again.read(6, 100).size() == 6);
}

}  // namespace
