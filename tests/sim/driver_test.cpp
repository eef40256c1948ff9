// Vendor-driver device objects over their sockets: codes and generations, completions
// routed by tag, touch-state notifications, faults, bulk blocks, removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "qzsim/simulator.h"
#include "raw_client.h"

using namespace std::chrono_literals;
using qzsim::Controller;
using qzsim::Fault;
using rawsim::Bytes;
using rawsim::Completion;
using rawsim::Driver;

namespace {

class SimDriver : public ::testing::Test {
 protected:
  qzsim::Simulator sim;
  qzsim::Device& add(const Controller& c = {}, const std::string& name = "QZUKRXM_API0") {
    auto& d = sim.addDriverObject(c, name);
    sim.start();
    return d;
  }
};

TEST_F(SimDriver, VersionCodesAnswerFourBytes) {
  auto& dev = add();
  dev.setDriverVersion(2, 3, 17);
  Driver d(dev.endpoint());
  struct {
    uint32_t code;
    Bytes out;
  } cases[] = {{qzsim::kVersionMajor, {2, 0, 0, 0}}, {qzsim::kVersionMinor, {3, 0, 0, 0}}, {qzsim::kVersionThird, {17, 0, 0, 0}}};
  uint32_t tag = 10;
  for (const auto& k : cases) {
    Completion c = d.call(tag, k.code, 4);
    EXPECT_EQ(c.tag, tag);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, k.out);
    ++tag;
  }
  Completion small = d.call(99, qzsim::kVersionMajor, 2);
  EXPECT_EQ(small.tag, 99u);
  EXPECT_NE(small.status, 0);
  EXPECT_TRUE(small.out.empty()) << "no more than the capacity";
  struct stat st;
  ASSERT_EQ(stat(dev.endpoint().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(sim.driverDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SimDriver, SendAndReadInBothGenerations) {
  struct Case {
    bool twoK;
    uint32_t send, read;
    int generation;
  } cases[] = {{false, qzsim::kSendOlder, qzsim::kReadOlder, 1},
               {false, qzsim::kSendNewer, qzsim::kReadNewer, 2},
               {true, qzsim::kSendNewer, qzsim::kReadNewer, 2}};
  for (const Case& k : cases) {
    qzsim::Simulator s;
    Controller c = k.twoK ? Controller::twoK() : Controller{};
    auto& dev = s.addDriverObject(c, k.twoK ? "QZU2K_API3" : "QZUKRXM_API0");
    s.start();
    Driver d(dev.endpoint());
    Completion sent = d.call(1, k.send, k.twoK ? 5 : 0, {0xEE, 0, 0, 0, 0});
    EXPECT_EQ(sent.status, 0);
    Bytes identity = k.twoK ? Bytes{0xEE, 0x08, 0x66, 0, 2} : Bytes{0xEE, 0xE1, 0x10, 2, 1};
    EXPECT_EQ(sent.out, k.twoK ? identity : Bytes{}) << "the 2K family answers with the send";
    Completion read = d.call(2, k.read, 5);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out, identity);
    auto recs = dev.requests();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].generation(), k.generation);
    EXPECT_EQ(recs[1].generation(), k.generation);
    EXPECT_THAT(recs[0].bytes, ::testing::ElementsAre(0xEE, 0, 0, 0, 0));
    EXPECT_EQ(recs[1].length, 5u);
  }
}

TEST_F(SimDriver, ImmediateRequestsCompleteAtOnceInOrderBesideOutstandingNotifications) {
  auto& dev = add();
  Driver d(dev.endpoint());
  ASSERT_TRUE(d.send(500, qzsim::kNotifyFirst, 5));
  ASSERT_TRUE(d.send(501, qzsim::kNotifySecond, 5));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.send(1, qzsim::kSendNewer, 0, {0xFC, 1, 2, 3, 4}));
  ASSERT_TRUE(d.send(2, qzsim::kReadNewer, 5));
  ASSERT_TRUE(d.send(3, qzsim::kVersionMajor, 4));
  std::vector<uint32_t> tags;
  for (int i = 0; i < 3; ++i) tags.push_back(d.next().tag);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 250ms) << "well within the 500 ms a client allows";
  EXPECT_EQ(tags, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(dev.outstandingNotifications(), 2u);
  dev.raiseTouchState(0x8A);
  Completion n = d.next();
  EXPECT_EQ(n.tag, 500u) << "the oldest outstanding request completes";
  EXPECT_EQ(n.out, (Bytes{0x8A, 0, 0, 0, 0}));
  dev.raiseTouchState(0x0A);
  EXPECT_EQ(d.next().tag, 501u);
}

TEST_F(SimDriver, NotificationsAcrossConnectionsRoutedByTag) {
  auto& dev = add();
  Driver a(dev.endpoint()), b(dev.endpoint());
  // Reports with nothing outstanding: the latest is kept and completes the next request.
  dev.raiseTouchState(0x0A);
  dev.raiseTouchState(0x8A);
  Completion kept = a.call(7, qzsim::kNotifyFirst, 5);
  EXPECT_EQ(kept.tag, 7u);
  EXPECT_EQ(kept.out, (Bytes{0x8A, 0, 0, 0, 0}));
  ASSERT_TRUE(a.send(8, qzsim::kNotifyFirst, 5));
  EXPECT_FALSE(a.next(50).arrived) << "nothing kept any more";
  ASSERT_TRUE(b.send(9, qzsim::kNotifySecond, 5));
  ASSERT_TRUE(dev.waitForRequests(3, 1s));
  while (dev.outstandingNotifications() < 2) std::this_thread::sleep_for(1ms);
  // Closing a connection cancels what it has outstanding: the report goes to b.
  a.close();
  while (dev.outstandingNotifications() > 1) std::this_thread::sleep_for(1ms);
  dev.raiseTouchState(0x8A);
  Completion got = b.next();
  EXPECT_EQ(got.tag, 9u);
  EXPECT_EQ(got.out[0], 0x8A);
  // Scheduled reports complete requests later.
  ASSERT_TRUE(b.send(10, qzsim::kNotifyFirst, 5));
  dev.scheduleTouchState(250ms, 0x0A);
  EXPECT_FALSE(b.next(20).arrived);
  Completion later = b.next(1000);
  EXPECT_EQ(later.tag, 10u);
  EXPECT_EQ(later.out[0], 0x0A);
}

TEST_F(SimDriver, FailuresAndLateCompletions) {
  auto& dev = add();
  Driver d(dev.endpoint());
  dev.addFault(Fault::sendFail(0xEE));
  EXPECT_NE(d.call(1, qzsim::kSendNewer, 0, {0xEE, 0, 0, 0, 0}).status, 0);
  EXPECT_EQ(d.call(2, qzsim::kReadNewer, 5).out, Bytes(5, 0)) << "the failed send was not taken";
  dev.addFault(Fault::refuse(0xE1));
  d.call(3, qzsim::kSendNewer, 0, {0xE1, 0, 5, 0, 7});
  EXPECT_EQ(d.call(4, qzsim::kReadNewer, 5).out, (Bytes{0xAA, 0, 5, 0, 7}));
  // A late completion holds back what follows it on that connection.
  dev.addFault(Fault::lateCompletion(0xFC, 150));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.send(5, qzsim::kSendNewer, 0, {0xFC, 1, 2, 3, 4}));
  ASSERT_TRUE(d.send(6, qzsim::kReadNewer, 5));
  Completion late = d.next(1000);
  EXPECT_EQ(late.tag, 5u);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 140ms);
  EXPECT_EQ(d.next().tag, 6u);
  // Malformed or unknown requests fail without output; the object keeps serving.
  ASSERT_TRUE(rawsim::sendRaw(d.fd(), {11, 0, 0, 0, 0x48}));
  Completion shortOne = d.next();
  EXPECT_EQ(shortOne.tag, 11u);
  EXPECT_NE(shortOne.status, 0);
  EXPECT_NE(d.call(7, 0x222000, 16).status, 0);
  EXPECT_NE(d.call(8, qzsim::kSendNewer, 0, {0xEE, 0, 0}).status, 0);
  EXPECT_NE(d.call(9, qzsim::kReadNewer, 4).status, 0);
  EXPECT_EQ(d.call(10, qzsim::kVersionMinor, 4).status, 0);
}

TEST_F(SimDriver, BulkBlocksByDriverRead) {
  Controller c;
  c.blockSize = 8;
  auto& dev = add(c);
  dev.setBulkValues({1, 2, 3, 4, 5, 6});
  Driver d(dev.endpoint());
  d.call(1, qzsim::kSendOlder, 0, {0xFA, 0, 0, 0, 0});
  EXPECT_EQ(d.call(2, qzsim::kReadOlder, 5).out, (Bytes{0xFA, 8, 0, 0, 0}));
  EXPECT_NE(d.call(3, qzsim::kReadOlder, 4).status, 0) << "a block does not fit 4 bytes";
  EXPECT_EQ(d.call(4, qzsim::kReadOlder, 8).out, (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));
  EXPECT_EQ(d.call(5, qzsim::kReadOlder, 8).out, (Bytes{5, 0, 6, 0, 0, 0, 0, 0}));
  dev.addFault(Fault::readFail(0xFA, 1));
  d.call(6, qzsim::kSendOlder, 0, {0xFA, 0, 0, 0, 0});
  EXPECT_EQ(d.call(7, qzsim::kReadOlder, 5).status, 0);
  EXPECT_NE(d.call(8, qzsim::kReadOlder, 8).status, 0) << "scripted block read failure";
  d.call(9, qzsim::kSendOlder, 0, {0xEE, 0, 0, 0, 0});
  EXPECT_EQ(d.call(10, qzsim::kReadOlder, 5).out[0], 0xEE);
}

TEST_F(SimDriver, RemovalClosesConnectionsAndTheObjectGoes) {
  auto& dev = add();
  Driver d(dev.endpoint());
  ASSERT_TRUE(d.send(1, qzsim::kNotifyFirst, 5));
  ASSERT_TRUE(dev.waitForRequests(1, 1s));
  dev.remove();
  EXPECT_NE(access(dev.endpoint().c_str(), F_OK), 0);
  EXPECT_FALSE(d.next(200).arrived);
  EXPECT_EQ(dev.outstandingNotifications(), 0u);
}

}  // namespace
