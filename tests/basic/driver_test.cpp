// The vendor-driver transport against simulated device objects.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "sim_fixture.h"

using namespace qztest;
using qzsim::Fault;
using qzsim::kForever;
using qzsim::Packet;

namespace {

class BasicDriver : public SimTest {
 protected:
  qzsim::Device& object(const char* name, bool twoK = false, int major = 2, int minor = 4) {
    qzsim::Controller c = twoK ? qzsim::Controller::twoK() : qzsim::Controller{};
    c.driverVersion = {major, minor, 7};
    return sim.addDriverObject(c, name);
  }
  DeviceHandle find(char* name = nullptr) {
    char buffer[QZ_MODEL_NAME_SIZE] = {};
    DeviceHandle h = QZ_NO_DEVICE;
    EXPECT_EQ(FindQZDevice(&h, name ? name : buffer), 1);
    return keep(h);
  }
  // Generations of the send and read requests the device saw (1 older, 2 newer).
  static std::vector<int> generations(const qzsim::Device& d) {
    std::vector<int> g;
    for (auto& r : d.requests())
      if (r.generation()) g.push_back(r.generation());
    return g;
  }
};

struct GenerationCase {
  const char* object;
  int major, minor;
  int generation;
};

void PrintTo(const GenerationCase& c, std::ostream* os) {
  *os << c.object << " driver " << c.major << "." << c.minor;
}

class BasicDriverGeneration : public BasicDriver, public ::testing::WithParamInterface<GenerationCase> {};

// The choice is process-wide and made once; CTest runs each case in a fresh process.
TEST_P(BasicDriverGeneration, FollowsTheFirstDriverVersionAndTheLine) {
  const auto& p = GetParam();
  auto& dev = object(p.object, false, p.major, p.minor);
  DeviceHandle h = find();
  uint8_t reply[5];
  ASSERT_EQ(SendCmd(h, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 1);
  auto g = generations(dev);
  ASSERT_FALSE(g.empty());
  for (int x : g) EXPECT_EQ(x, p.generation);
}

INSTANTIATE_TEST_SUITE_P(Versions, BasicDriverGeneration,
                         ::testing::Values(GenerationCase{"QZUKRXM_API0", 2, 4, 2}, GenerationCase{"QZUKRXM_API0", 2, 3, 1},
                                           GenerationCase{"QZUKRXM_API0", 3, 0, 2}, GenerationCase{"QZUKRXM_API0", 1, 99, 1},
                                           GenerationCase{"QZSKRXM_API0", 2, 3, 2}, GenerationCase{"QZS2K_API1", 2, 3, 2}));

TEST_F(BasicDriver, FirstObjectOpenedDecidesForLaterOnes) {
  auto& old = object("QZUKRXM_API0", false, 2, 3);
  DeviceHandle h = find();
  CloseDevice(h);
  old.remove();
  auto& newer = object("QZUKRXM_API1", false, 2, 10);
  DeviceHandle h2 = find();
  uint8_t reply[5];
  ASSERT_EQ(SendCmd(h2, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 1);
  for (auto& r : newer.requests()) {
    EXPECT_NE(r.op, qzsim::kVersionMajor) << "the version is asked once per process";
    if (r.generation()) {
      EXPECT_EQ(r.generation(), 1);
    }
  }
}

TEST_F(BasicDriver, FamilyAndPathComeFromTheObjectName) {
  auto& dev = object("QZU2K_API3", true);
  dev.modify([](qzsim::ControllerModel& m) { m.desc().chips[0].modelNumber = 1234; });
  char name[QZ_MODEL_NAME_SIZE];
  DeviceHandle h = find(name);
  int32_t is2K = 0, type = 0;
  ASSERT_EQ(IsQZ2K(h, &is2K), 1);
  ASSERT_EQ(GetDeviceType(h, &type), 1);
  EXPECT_EQ(is2K, 1);
  EXPECT_EQ(type, QZ_TYPE_DRIVER_USB);
  EXPECT_EQ(dev.path(), sim.driverDir() + "/QZU2K_API3");
  EXPECT_STREQ(name, "QZ1234");
  DeviceHandle same = QZ_NO_DEVICE;
  EXPECT_EQ(OpenDevice(dev.path().c_str(), &same), 1);
  EXPECT_EQ(same, h);
}

TEST_F(BasicDriver, UsbIsPreferredAndTheSerialLineObjectStaysUnopened) {
  auto& line = object("QZSKRXM_API0");
  auto& usb = object("QZUKRXM_API0");
  DeviceHandle h = find();
  int32_t type = 0;
  ASSERT_EQ(GetDeviceType(h, &type), 1);
  EXPECT_EQ(type, QZ_TYPE_DRIVER_USB);
  EXPECT_FALSE(usb.requests().empty());
  EXPECT_EQ(line.connections(), 0u);
  EXPECT_TRUE(line.requests().empty());
}

std::vector<std::string> g_paths;
void Record(const char* path, const char*) { g_paths.emplace_back(path); }

TEST_F(BasicDriver, EnumerationRunsAllFourPatternsInOrder) {
  object("QZS2K_API0", true);
  object("QZUKRXM_API5");
  object("QZSKRXM_API2");
  object("QZU2K_API0", true);
  g_paths.clear();
  ASSERT_EQ(EnumerateQZDevices(Record), 1);
  const std::string d = sim.driverDir() + "/";
  EXPECT_EQ(g_paths, (std::vector<std::string>{d + "QZUKRXM_API5", d + "QZU2K_API0", d + "QZSKRXM_API2", d + "QZS2K_API0"}));
}

TEST_F(BasicDriver, NoObjectsFindsNothing) {
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE] = "keep";
  EXPECT_EQ(FindQZDevice(&h, name), 0);
  EXPECT_EQ(EnumerateQZDevices(Record), 0);
  EXPECT_STREQ(name, "keep");
}

TEST_F(BasicDriver, AnObjectThatDoesNotAnswerIsClosedAndSkipped) {
  auto& mute = object("QZUKRXM_API0");
  mute.addFault(Fault::noAnswer(0xEE, kForever));
  auto& good = object("QZUKRXM_API1");
  DeviceHandle h = find();
  EXPECT_FALSE(good.requests().empty());
  ASSERT_TRUE(mute.waitForRequests(1, std::chrono::milliseconds(100)));
  // The mute object was connected once and then closed again.
  for (int i = 0; i < 50 && mute.connections() != 0; ++i) usleep(2000);
  EXPECT_EQ(mute.connections(), 0u);
  (void)h;
}

TEST_F(BasicDriver, FailedSendOfD1StillPolls) {
  auto& dev = object("QZUKRXM_API0");
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::sendFail(0xD1, 1));
  uint8_t reply[5];
  SendCmd(h, Packet{0xD1, 0, 0, 0, 0}.data(), reply);
  auto reqs = dev.requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].op, qzsim::kSendNewer);
  EXPECT_EQ(reqs[1].op, qzsim::kReadNewer) << "a failed D1 send goes on to the polls";

  dev.clearRequests();
  dev.addFault(Fault::sendFail(0xE0, 1));
  ASSERT_EQ(SendCmd(h, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 1);
  reqs = dev.requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].op, qzsim::kSendNewer) << "any other failed send is sent again at once";
}

TEST_F(BasicDriver, RefusalEndsAfterOneAttempt) {
  auto& dev = object("QZUKRXM_API0");
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::refuse(0xE0));
  uint8_t reply[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(SendCmd(h, Packet{0xE0, 7, 7, 7, 7}.data(), reply), 0);
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + 5), (std::vector<uint8_t>{0xAA, 2, 3, 4, 5}));
  int sends = 0;
  for (auto& r : dev.requests()) sends += r.op == qzsim::kSendNewer;
  EXPECT_EQ(sends, 1);
}

TEST_F(BasicDriver, TwoKFamilySendAsksForTheReplyInItsOutput) {
  auto& dev = object("QZU2K_API0", true);
  DeviceHandle h = find();
  dev.clearRequests();
  uint8_t reply[5];
  ASSERT_EQ(SendCmd(h, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 1);
  auto reqs = dev.requests();
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(reqs[0].length, 5u) << "2K send carries a 5-byte output buffer";
  EXPECT_EQ(reqs[0].bytes, (std::vector<uint8_t>{0xE0, 0, 0, 0, 0}));
}

TEST_F(BasicDriver, LateCompletionIsDroppedAndTheExchangeGoesOn) {
  auto& dev = object("QZUKRXM_API0");
  DeviceHandle h = find();
  dev.clearRequests();
  dev.addFault(Fault::lateCompletion(0xE0, 700));
  uint8_t reply[5] = {};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(SendCmd(h, Packet{0xE0, 0, 1, 0, 0}.data(), reply), 1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 500) << "a request is given 500 ms";
  EXPECT_EQ(reply[0], 0xE0);
}

TEST_F(BasicDriver, DriverVersionOnlyForDriverHandles) {
  object("QZUKRXM_API0", false, 2, 4);
  DeviceHandle h = find();
  int32_t v[3] = {-1, -1, -1};
  ASSERT_EQ(GetQZDriverVersion(h, v), 1);
  EXPECT_EQ(v[0], 2);
  EXPECT_EQ(v[1], 4);
  EXPECT_EQ(v[2], 7);

  auto& hid = sim.addHid(Hid(0x7480));
  DeviceHandle hh = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  ASSERT_EQ(FindHidDevice(&hh, name), 1);
  keep(hh);
  hid.clearRequests();
  int32_t w[3] = {-1, -1, -1};
  EXPECT_EQ(GetQZDriverVersion(hh, w), 0);
  EXPECT_EQ(w[0], -1);
  EXPECT_TRUE(hid.requests().empty());
}

TEST_F(BasicDriver, HandleIsTheConnectedSocketOfTheObject) {
  auto& dev = object("QZUKRXM_API0");
  DeviceHandle h = find();
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(getpeername(int(h), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(std::string(addr.sun_path), dev.path());
}

TEST_F(BasicDriver, RemovedObjectFailsWithoutHanging) {
  auto& dev = object("QZUKRXM_API0");
  DeviceHandle h = find();
  dev.remove();
  uint8_t reply[5] = {4, 4, 4, 4, 4};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(SendCmd(h, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(reply[0], 4);
}

TEST_F(BasicDriver, NonSocketInTheDirectoryIsNoDevice) {
  std::string fake = sim.driverDir() + "/QZUKRXM_API0";
  FILE* f = fopen(fake.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  EXPECT_EQ(FindQZDevice(&h, name), 0);
  unlink(fake.c_str());
}

}  // namespace
