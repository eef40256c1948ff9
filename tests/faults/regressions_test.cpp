// Faults the fault injection found, one test each.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace {

// A find that found nothing used to leave the current device's handle in the record with
// the search's transport: the next call with that handle skipped reloading its slot and went
// out on the wrong transport, so a working controller stopped answering.
TEST(FailedFind, KeepsTheCurrentControllerWorking) {
  setenv("QZ_NO_REAL_HID", "1", 1);
  qzsim::Simulator served, empty;
  served.addHid(qzsim::Controller{});
  served.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  served.start();
  served.exportEnvironment();
  char name[QZ_MODEL_NAME_SIZE];
  DeviceHandle hid = QZ_NO_DEVICE, object = QZ_NO_DEVICE, none = QZ_NO_DEVICE;
  ASSERT_EQ(FindHidDevice(&hid, name), 1);
  ASSERT_EQ(FindQZDevice(&object, name), 1);
  empty.exportEnvironment();  // nothing to find on any transport from here on
  setenv("QZ_COM3", (empty.dir() + "/no-line").c_str(), 1);

  struct Case {
    const char* find;
    DeviceHandle current;
  } cases[] = {{"hid", object}, {"driver", hid}, {"serial", object}, {"serial port 0", hid}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.find);
    int32_t type;
    ASSERT_EQ(GetDeviceType(c.current, &type), 1);  // makes it the current device
    const std::string f = c.find;
    const int32_t found = f == "hid"      ? FindHidDevice(&none, name)
                          : f == "driver" ? FindQZDevice(&none, name)
                          : f == "serial" ? FindRSDevice(3, 38400, &none, name)
                                          : FindRSDevice(0, 38400, &none, name);
    EXPECT_EQ(found, 0);
    uint16_t model = 0;
    uint8_t major = 0, letter = 0;
    EXPECT_EQ(SendEE(c.current, &model, &major, &letter), 1);
    EXPECT_EQ(model, 4321);
  }
  CloseDevice(hid);
  CloseDevice(object);
}

}  // namespace

namespace {

// A device object that stops taking requests (its daemon hung) used to block the caller
// for ever once the connection's buffer was full: every request then waited for room.
TEST(HungDeviceObject, RequestsFailInsteadOfBlocking) {
  setenv("QZ_NO_REAL_HID", "1", 1);
  qzsim::Simulator sim;
  auto& dev = sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  sim.start();
  sim.exportEnvironment();
  char name[QZ_MODEL_NAME_SIZE];
  DeviceHandle h = QZ_NO_DEVICE;
  ASSERT_EQ(FindQZDevice(&h, name), 1);
  // The daemon holds the next completion back and reads nothing more meanwhile.
  dev.addFault(qzsim::Fault::lateCompletion(0xE1, 60000));
  EXPECT_EQ(SendE1(h, 0, 0x20, 1), 0);
  // Whatever else the connection holds fills it up (the handle is the connection).
  const uint8_t junk[12] = {};
  while (send(int(h), junk, sizeof junk, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
  alarm(20);  // a call that blocks ends the test program instead of hanging it
  const auto t0 = std::chrono::steady_clock::now();
  uint8_t out[4];
  EXPECT_EQ(SendE0(h, 0, 0x3A, out), 0);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  alarm(0);
  EXPECT_LE(ms, 2 * 5 * 500.0 + 1000);  // five attempts of at most one request time-out
  CloseDevice(h);
}

}  // namespace
