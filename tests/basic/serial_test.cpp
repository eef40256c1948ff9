// The serial transport against simulated controllers on pseudo-terminals.
#include <chrono>
#include <cstdlib>
#include <string>

#include "sim_fixture.h"

using namespace qztest;
using qzsim::Fault;
using qzsim::kForever;
using qzsim::Packet;

namespace {

using Bytes = std::vector<uint8_t>;

class BasicSerial : public SimTest {
 protected:
  // A controller on port `port`, reached through QZ_COM<port>.
  qzsim::Device& line(int port, qzsim::Controller c = {}) {
    auto& dev = sim.addSerial(c, "com" + std::to_string(port));
    setenv(("QZ_COM" + std::to_string(port)).c_str(), dev.path().c_str(), 1);
    return dev;
  }
  static std::vector<Bytes> frames(const qzsim::Device& d) {
    std::vector<Bytes> out;
    for (auto& r : d.requests())
      if (r.op == qzsim::kSerialFrame) out.push_back(r.bytes);
    return out;
  }
  DeviceHandle find(int port, int speed = 38400) {
    DeviceHandle h = QZ_NO_DEVICE;
    char name[QZ_MODEL_NAME_SIZE];
    EXPECT_EQ(FindRSDevice(port, speed, &h, name), 1);
    return keep(h);
  }
};

TEST_F(BasicSerial, FindSendsTheFramedIdentityAndRemembersPortAndSpeed) {
  auto& dev = line(3);
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  ASSERT_EQ(FindRSDevice(3, 38400, &h, name), 1);
  keep(h);
  EXPECT_STREQ(name, "QZ4321A");
  ASSERT_EQ(frames(dev).size(), 1u);
  EXPECT_EQ(frames(dev)[0], (Bytes{0xEE, 0, 0, 0, 0, 0x11}));
  int32_t type = 0;
  ASSERT_EQ(GetDeviceType(h, &type), 1);
  EXPECT_EQ(type, QZ_TYPE_SERIAL);

  // FindPreDevice searches the same port at the same speed again.
  dev.clearRequests();
  DeviceHandle again = QZ_NO_DEVICE;
  CloseDevice(h);
  ASSERT_EQ(FindPreDevice(&again, name), 1);
  keep(again);
  EXPECT_EQ(frames(dev).size(), 1u);
}

TEST_F(BasicSerial, FramesCarryTheComplementOfTheSum) {
  auto& dev = line(1);
  DeviceHandle h = find(1);
  dev.clearRequests();
  uint8_t reply[5];
  ASSERT_EQ(SendCmd(h, Packet{0xF7, 0, 0, 0, 1}.data(), reply), 1);
  ASSERT_EQ(frames(dev).size(), 1u);
  EXPECT_EQ(frames(dev)[0], (Bytes{0xF7, 0, 0, 0, 1, 0x07}));
  EXPECT_EQ(reply[0], 0xF7);
}

struct FaultCase {
  const char* what;
  Fault fault;
  int32_t result;
  size_t frames;  // frames the controller received
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.what; }

class BasicSerialFaults : public BasicSerial, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BasicSerialFaults, AreHandledByTheAttempts) {
  const auto& p = GetParam();
  auto& dev = line(2);
  DeviceHandle h = find(2);
  dev.clearRequests();
  dev.addFault(p.fault);
  uint8_t reply[5] = {9, 9, 9, 9, 9};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(SendCmd(h, Packet{0xE0, 0, 0xF0, 0, 0}.data(), reply), p.result) << p.what;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << p.what;
  EXPECT_EQ(frames(dev).size(), p.frames) << p.what;
  if (p.result) {
    EXPECT_EQ(reply[0], 0xE0) << p.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Line, BasicSerialFaults,
    ::testing::Values(FaultCase{"reply in two halves", Fault::splitReply(0xE0, 2, 10), 1, 1},
                      FaultCase{"reply in six single bytes", Fault::splitReply(0xE0, 6, 3), 1, 1},
                      FaultCase{"wrong checksum is no answer", Fault::badChecksum(0xE0), 1, 2},
                      FaultCase{"garbage before the reply", Fault::garbage(0xE0, 3), 1, 2},
                      FaultCase{"silence costs five attempts", Fault::noAnswer(0xE0, kForever), 0, 5}),
    [](const auto& info) {
      std::string n = info.param.what;
      for (char& c : n) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return n;
    });

TEST_F(BasicSerial, RefusalEndsAfterOneAttempt) {
  auto& dev = line(4);
  DeviceHandle h = find(4);
  dev.clearRequests();
  dev.addFault(Fault::refuse(0xE0));
  uint8_t reply[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(SendCmd(h, Packet{0xE0, 0, 0, 0, 0}.data(), reply), 0);
  EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{0xAA, 2, 3, 4, 5}));
  EXPECT_EQ(frames(dev).size(), 1u);
}

TEST_F(BasicSerial, BadPortsAndSpeedsFindNothing) {
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  EXPECT_EQ(FindRSDevice(0, 38400, &h, name), 0);
  EXPECT_EQ(FindRSDevice(-2, 38400, &h, name), 0);
  setenv("QZ_COM7", "/nonexistent/tty", 1);
  EXPECT_EQ(FindRSDevice(7, 38400, &h, name), 0);
  line(8);
  EXPECT_EQ(FindRSDevice(8, 12345, &h, name), 0) << "a speed termios does not know";
  EXPECT_EQ(h, QZ_NO_DEVICE);
}

TEST_F(BasicSerial, PortIsOpenedExclusively) {
  line(5);
  find(5);
  DeviceHandle second = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  EXPECT_EQ(FindRSDevice(5, 38400, &second, name), 0);
}

TEST_F(BasicSerial, FindPreDeviceFollowsTheLastTransport) {
  // After a HID find it runs the HID search.
  auto& hid = sim.addHid(Hid(0x7480));
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  ASSERT_EQ(FindHidDevice(&h, name), 1);
  keep(h);
  hid.clearRequests();
  DeviceHandle again = QZ_NO_DEVICE;
  ASSERT_EQ(FindPreDevice(&again, name), 1);
  keep(again);
  EXPECT_FALSE(hid.requests().empty());

  // After a driver find that found nothing on USB it searches all four patterns again.
  auto& lineObject = sim.addDriverObject(qzsim::Controller{}, "QZSKRXM_API0");
  ASSERT_EQ(FindQZDevice(&h, name), 1);
  keep(h);
  lineObject.clearRequests();
  auto& usbObject = sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  ASSERT_EQ(FindPreDevice(&again, name), 1);
  keep(again);
  int32_t type = 0;
  ASSERT_EQ(GetDeviceType(again, &type), 1);
  EXPECT_EQ(type, QZ_TYPE_DRIVER_USB);
  EXPECT_FALSE(usbObject.requests().empty());

  // After a serial find at 19200 it searches that port at that speed.
  auto& dev = line(6);
  ASSERT_EQ(FindRSDevice(6, 19200, &h, name), 1);
  CloseDevice(h);
  dev.clearRequests();
  ASSERT_EQ(FindPreDevice(&again, name), 1);
  keep(again);
  EXPECT_EQ(frames(dev).size(), 1u);
}

}  // namespace
