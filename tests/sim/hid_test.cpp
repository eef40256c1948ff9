// Virtual HID devices over their sockets: request and answer framing, report ids, faults,
// bulk blocks, input reports, removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "qzsim/simulator.h"
#include "raw_client.h"

using namespace std::chrono_literals;
using qzsim::Controller;
using qzsim::Fault;
using qzsim::Packet;
using rawsim::Bytes;
using rawsim::Hid;
using ::testing::ElementsAre;

namespace {

Bytes report(uint8_t id, const Packet& p) { return {id, p[0], p[1], p[2], p[3], p[4]}; }

class SimHid : public ::testing::Test {
 protected:
  qzsim::Simulator sim;
  qzsim::Device& add(const Controller& c = {}) {
    auto& d = sim.addHid(c);
    sim.start();
    return d;
  }
};

TEST_F(SimHid, AnswersExactlyTheAskedLengthWithTheLastReply) {
  auto& dev = add();
  Hid h(dev.endpoint());
  ASSERT_TRUE(h.ok());
  auto before = h.getFeature(0, 6);
  EXPECT_EQ(before.status, 0);
  EXPECT_EQ(before.data, Bytes(6, 0)) << "a zero report before any command";

  EXPECT_EQ(h.sendFeature(report(0, {0xEE, 0, 0, 0, 0})), 0);
  struct {
    uint32_t length;
    Bytes want;
  } reads[] = {
      {6, {0, 0xEE, 0xE1, 0x10, 0x02, 0x01}},
      {9, {0, 0xEE, 0xE1, 0x10, 0x02, 0x01, 0, 0, 0}},
      {3, {0, 0xEE, 0xE1}},
      {1, {0}},
  };
  for (const auto& r : reads) {
    auto a = h.getFeature(0, r.length);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, r.want) << r.length;
  }
  auto recs = dev.requests();
  ASSERT_GE(recs.size(), 2u);
  EXPECT_EQ(recs[1].op, qzsim::kSendFeature);
  EXPECT_EQ(recs[1].length, 6u);
  EXPECT_THAT(recs[1].bytes, ElementsAre(0, 0xEE, 0, 0, 0, 0));
  EXPECT_EQ(recs[2].op, qzsim::kGetFeature);
  EXPECT_LE(recs[1].timeUs, recs[2].timeUs);
  EXPECT_EQ(dev.commands(), (std::vector<Packet>{{0xEE, 0, 0, 0, 0}}));
}

TEST_F(SimHid, ReportIdFollowsTheProductIdUnlessForced) {
  struct Case {
    uint16_t pid;
    int forced;
    uint8_t id;
  } cases[] = {{0x7413, -1, 1}, {0x7416, -1, 1}, {0x7480, -1, 0}, {0x2150, -1, 0}, {0x7480, 1, 1}, {0x7413, 0, 0}};
  for (const Case& k : cases) {
    qzsim::Simulator s;
    Controller c;
    c.productId = k.pid;
    c.reportId = k.forced;
    auto& dev = s.addHid(c);
    s.start();
    char want[40];
    snprintf(want, sizeof want, "hid#vid_7a3d&pid_%04x#sim0", k.pid);
    EXPECT_EQ(dev.path(), std::string("\\\\?\\") + want);
    Hid h(dev.endpoint());
    uint8_t other = uint8_t(1 - k.id);
    EXPECT_NE(h.sendFeature(report(other, {0xEE, 0, 0, 0, 0})), 0) << k.pid << " wrong id taken";
    EXPECT_EQ(h.sendFeature(report(k.id, {0xEE, 0, 0, 0, 0})), 0) << k.pid;
    EXPECT_NE(h.getFeature(other, 6).status, 0) << k.pid;
    auto a = h.getFeature(k.id, 6);
    EXPECT_EQ(a.data, (Bytes{k.id, 0xEE, 0xE1, 0x10, 2, 1})) << k.pid;
  }
}

TEST_F(SimHid, SocketNameMayBeGivenVerbatim) {
  Controller c;
  c.socketName = "hid#vid_7A3D&pid_74x0#odd";
  auto& dev = add(c);
  struct stat st;
  ASSERT_EQ(stat((sim.hidDir() + "/" + c.socketName).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(sim.hidDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  Hid h(dev.endpoint());
  EXPECT_EQ(h.sendFeature(report(0, {0xFC, 1, 2, 3, 4})), 0);
}

TEST_F(SimHid, MalformedRequestsGetAFailureStatusAndServingGoesOn) {
  auto& dev = add();
  Hid h(dev.endpoint());
  const Bytes bad[] = {
      {1, 0, 0},                                           // shorter than the header
      {1, 1, 0, 0, 6, 0, 0, 0, 0, 0xEE, 0, 0, 0, 0},       // non-zero padding
      {1, 0, 0, 0, 7, 0, 0, 0, 0, 0xEE, 0, 0, 0, 0},       // length field says 7, 6 follow
      {1, 0, 0, 0, 5, 0, 0, 0, 0, 0xEE, 0, 0, 0},          // a five-byte feature report
      {2, 0, 0, 0, 0, 0, 0, 0},                            // read of length 0
      {4, 0, 0, 0, 8, 0, 0, 0, 1},                         // input read carrying data
      {9, 0, 0, 0, 0, 0, 0, 0},                            // unknown op
      {2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0},             // absurd length
  };
  for (const Bytes& b : bad) {
    ASSERT_TRUE(rawsim::sendRaw(h.fd(), b));
    Bytes in;
    ASSERT_TRUE(rawsim::receive(h.fd(), &in)) << "no answer";
    ASSERT_EQ(in.size(), 4u) << "bytes after a failure status";
    EXPECT_NE(in[0] | in[1] | in[2] | in[3], 0);
  }
  EXPECT_EQ(h.sendFeature(report(0, {0xEE, 0, 0, 0, 0})), 0);
  EXPECT_EQ(h.getFeature(0, 6).data[1], 0xEE);
  EXPECT_EQ(dev.commands().size(), 1u) << "no malformed request was taken as a command";
}

// What successive reads after one command show.
enum Shows { kPrevious, kReply, kStale, kRefusal, kFails };

struct FaultCase {
  const char* what;
  Fault fault;
  Packet cmd;
  std::vector<std::pair<int, Shows>> reads;  // wait before the read (ms), what it shows
  int32_t sendStatus = 0;
};

TEST_F(SimHid, ScriptedFaultsShapeWhatReadsShow) {
  const Packet ee{0xEE, 0, 0, 0, 0};
  const FaultCase cases[] = {
      {"no answer", Fault::noAnswer(0xEE), ee, {{0, kPrevious}, {0, kPrevious}, {20, kPrevious}}},
      {"stale twice", Fault::stale(0xEE, 2), ee, {{0, kStale}, {0, kStale}, {0, kReply}, {0, kReply}}},
      {"refusal", Fault::refuse(0xEE), ee, {{0, kRefusal}, {0, kRefusal}}},
      {"failed send", Fault::sendFail(0xEE), ee, {{0, kPrevious}}, -1},
      {"delay", Fault::delay(0xEE, 250), ee, {{0, kPrevious}, {0, kPrevious}, {350, kReply}}},
      {"read failure after one good read", Fault::readFail(0xEE, 1), ee, {{0, kReply}, {0, kFails}, {0, kReply}}},
      {"other opcode untouched", Fault::refuse(0xE1), ee, {{0, kReply}}},
      {"any opcode", Fault::refuse(), ee, {{0, kRefusal}}},
  };
  for (const FaultCase& fc : cases) {
    qzsim::Simulator s;
    auto& dev = s.addHid(Controller{});
    s.start();
    Hid h(dev.endpoint());
    // A previous report of another opcode, so "previous" and "stale" can be told apart.
    ASSERT_EQ(h.sendFeature(report(0, {0xFC, 9, 9, 9, 9})), 0);
    const Bytes previous{0, 0xFC, 9, 9, 9, 9};
    dev.addFault(fc.fault);
    int32_t st = h.sendFeature(report(0, fc.cmd));
    if (fc.sendStatus) EXPECT_NE(st, 0) << fc.what;
    else EXPECT_EQ(st, 0) << fc.what;
    for (size_t i = 0; i < fc.reads.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(fc.reads[i].first));
      auto a = h.getFeature(0, 6);
      std::string at = std::string(fc.what) + " read " + std::to_string(i);
      switch (fc.reads[i].second) {
        case kPrevious: EXPECT_EQ(a.data, previous) << at; break;
        case kReply: EXPECT_EQ(a.data, (Bytes{0, 0xEE, 0xE1, 0x10, 2, 1})) << at; break;
        case kRefusal: EXPECT_EQ(a.data, (Bytes{0, 0xAA, 0, 0, 0, 0})) << at; break;
        case kStale:
          ASSERT_EQ(a.data.size(), 6u) << at;
          EXPECT_NE(a.data[1], 0xEE) << at;
          EXPECT_NE(a.data[1], 0xAA) << at;
          break;
        case kFails: EXPECT_NE(a.status, 0) << at; EXPECT_TRUE(a.data.empty()) << at; break;
      }
    }
  }
}

TEST_F(SimHid, FaultsCountTheirUsesPerCommand) {
  auto& dev = add();
  Hid h(dev.endpoint());
  dev.addFault(Fault::refuse(qzsim::kAnyOpcode, 2));
  dev.addFault(Fault::sendFail(0xE2, qzsim::kForever));
  std::vector<uint8_t> seen;
  for (int i = 0; i < 3; ++i) {
    h.sendFeature(report(0, {0xFC, uint8_t(i), 0, 0, 0}));
    seen.push_back(h.getFeature(0, 6).data[1]);
  }
  EXPECT_THAT(seen, ElementsAre(0xAA, 0xAA, 0xFC));
  for (int i = 0; i < 4; ++i) EXPECT_NE(h.sendFeature(report(0, {0xE2, 0, 0, 0, 0})), 0);
  dev.clearFaults();
  EXPECT_EQ(h.sendFeature(report(0, {0xE2, 0, 0, 0, 0})), 0);
  // A scripted reply replaces the answer but the command is still carried out.
  dev.addFault(Fault::replyWith(0xF0, {0xF0, 0x20, 0, 0, 0}));
  h.sendFeature(report(0, {0xF0, 0, 0, 0, 0}));
  EXPECT_EQ(h.getFeature(0, 6).data, (Bytes{0, 0xF0, 0x20, 0, 0, 0}));
  EXPECT_FALSE(dev.state().scanning);
}

TEST_F(SimHid, BulkBlocksFollowTheAnnouncementUntilTheNextCommand) {
  for (uint16_t pid : {uint16_t(0x7480), uint16_t(0x7413)}) {
    qzsim::Simulator s;
    Controller c;
    c.productId = pid;
    c.blockSize = 7;
    auto& dev = s.addHid(c);
    s.start();
    dev.setBulkValues({0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C});
    uint8_t id = pid == 0x7413 ? 1 : 0;
    Hid h(dev.endpoint());
    dev.addFault(Fault::delay(0xFA, 200));
    ASSERT_EQ(h.sendFeature(report(id, {0xFA, 0, 0, 0, 0})), 0);
    EXPECT_EQ(h.getFeature(id, 6).data, (Bytes{id, 0, 0, 0, 0, 0})) << "not yet: no block taken";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(h.getFeature(id, 6).data, (Bytes{id, 0xFA, 7, 0, 0, 0}));
    EXPECT_EQ(h.getFeature(id, 8).data, (Bytes{id, 2, 1, 4, 3, 6, 5, 0}));
    EXPECT_EQ(h.getFeature(id, 8).data, (Bytes{id, 8, 7, 0xA, 9, 0xC, 0xB, 0}));
    EXPECT_EQ(h.getFeature(id, 8).data, (Bytes{id, 0, 0, 0, 0, 0, 0, 0})) << "past the data";
    ASSERT_EQ(h.sendFeature(report(id, {0xEE, 0, 0, 0, 0})), 0);
    EXPECT_EQ(h.getFeature(id, 6).data, (Bytes{id, 0xEE, 0xE1, 0x10, 2, 1}));
    EXPECT_FALSE(dev.state().bulkActive);
  }
}

TEST_F(SimHid, InputReportsReachEveryConnection) {
  auto& dev = add();
  Hid a(dev.endpoint()), b(dev.endpoint());
  ASSERT_TRUE(a.sendReadInput(64));
  ASSERT_TRUE(b.sendReadInput(3));
  ASSERT_TRUE(dev.waitForRequests(2, 1s));
  Bytes in;
  EXPECT_FALSE(rawsim::receive(a.fd(), &in, 50)) << "answered before a report exists";
  dev.raiseTouchState(0x8A);
  ASSERT_TRUE(rawsim::receive(a.fd(), &in));
  EXPECT_EQ(in, (Bytes{0, 0, 0, 0, 0, 0x8A, 0, 0, 0, 0}));
  ASSERT_TRUE(rawsim::receive(b.fd(), &in));
  EXPECT_EQ(in, (Bytes{0, 0, 0, 0, 0, 0x8A, 0})) << "cut to the size the request accepts";
  // Reports raised with no read out wait for the next read; the timeline raises later ones.
  dev.queueInput({0x0A, 1, 2});
  dev.scheduleTouchState(250ms, 0x8A);
  ASSERT_TRUE(a.sendReadInput(64));
  ASSERT_TRUE(rawsim::receive(a.fd(), &in, 100));
  EXPECT_EQ(in, (Bytes{0, 0, 0, 0, 0, 0x0A, 1, 2}));
  ASSERT_TRUE(a.sendReadInput(64));
  EXPECT_FALSE(rawsim::receive(a.fd(), &in, 20));
  ASSERT_TRUE(rawsim::receive(a.fd(), &in, 1000));
  EXPECT_EQ(in[5], 0x8A);
  // Feature exchanges on a connection with a read out are answered at once.
  ASSERT_TRUE(a.sendReadInput(64));
  EXPECT_EQ(a.sendFeature(report(0, {0xEE, 0, 0, 0, 0})), 0);
}

TEST_F(SimHid, ConnectionsAreServedIndependently) {
  auto& dev = add();
  Hid a(dev.endpoint()), b(dev.endpoint());
  std::thread t([&] {
    for (int i = 0; i < 200; ++i) {
      a.sendFeature(report(0, {0xFC, uint8_t(i), 0, 0, 0}));
      a.getFeature(0, 6);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(b.sendFeature(report(0, {0xE0, 0, 0xF2, 0, 0})), 0);
    EXPECT_EQ(b.getFeature(0, 6).status, 0);
  }
  t.join();
  std::set<uint32_t> ids;
  for (const auto& r : dev.requests()) ids.insert(r.connection);
  EXPECT_EQ(ids, (std::set<uint32_t>{1, 2}));
}

TEST_F(SimHid, RemovedDeviceClosesItsConnectionsAndItsSocketGoes) {
  auto& dev = add();
  Hid h(dev.endpoint());
  ASSERT_EQ(h.sendFeature(report(0, {0xEE, 0, 0, 0, 0})), 0);
  dev.remove();
  EXPECT_TRUE(dev.removed());
  EXPECT_TRUE(rawsim::peerClosed(h.fd()));
  EXPECT_NE(access(dev.endpoint().c_str(), F_OK), 0);
  EXPECT_EQ(rawsim::connectSeqpacket(dev.endpoint()), -1);
}

TEST(SimDirectory, PrivateDirectoryIsMadeAndRemoved) {
  std::string dir, hid;
  {
    qzsim::Simulator s;
    dir = s.dir();
    hid = s.hidDir();
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    s.addHid(Controller{});
    s.addDriverObject(Controller{}, "QZUKRXM_API0");
    s.start();
    s.exportEnvironment();
    EXPECT_EQ(std::string(getenv("QZ_VIRTUAL_HID_DIR")), hid);
    EXPECT_EQ(std::string(getenv("QZ_DRIVER_DIR")), s.driverDir());
  }
  EXPECT_NE(access(hid.c_str(), F_OK), 0);
  EXPECT_NE(access(dir.c_str(), F_OK), 0);
}

}  // namespace
