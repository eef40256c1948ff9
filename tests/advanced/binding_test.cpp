// How the controller functions library finds the device access library: each case runs in
// a fresh process, because what is loaded is process-wide.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qz/advanced.h"
#include "qzsim/simulator.h"

namespace {

// Ends the fresh process: 0 when every check held, else 1 with the reason on stderr.
[[noreturn]] void finish(const char* failure) {
  if (failure) fprintf(stderr, "%s\n", failure);
  std::_Exit(failure ? 1 : 0);
}

template <typename F>
F symbol(void* module, const char* name) {
  return reinterpret_cast<F>(dlsym(module, name));
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Loaded first, the library loads libQZ_BASIC.so from its own directory.
void loadsBasicWhenAbsent() {
  if (dlopen("libQZ_BASIC.so", RTLD_NOW | RTLD_NOLOAD)) finish("libQZ_BASIC.so was loaded before the test");
  void* adv = dlopen(QZ_ADVANCED_FILE, RTLD_NOW);
  if (!adv) finish(dlerror());
  void* basic = dlopen("libQZ_BASIC.so", RTLD_NOW | RTLD_NOLOAD);
  if (!basic) finish("libQZ_BASIC.so was not loaded");
  auto getFW = symbol<int32_t (*)(DeviceHandle, FWVersionInfo*)>(adv, "GetFWVersion");
  FWVersionInfo info{};
  if (!getFW || getFW(QZ_NO_DEVICE, &info) != 0) finish("GetFWVersion on no device did not fail");
  finish(nullptr);
}

TEST_F(Binding, LoadsTheDeviceAccessLibraryWhenNoneIsLoaded) {
  EXPECT_EXIT(loadsBasicWhenAbsent(), ::testing::ExitedWithCode(0), "");
}

// The program loads libQZ_BASIC.so, finds a controller, then loads the controller
// functions: the handle it got is known to the commands they send (one device table).
void sharesTheLoadedInstance() {
  setenv("QZ_NO_REAL_HID", "1", 1);
  qzsim::Simulator sim;
  sim.addHid(qzsim::Controller{});
  sim.start();
  sim.exportEnvironment();

  void* basic = dlopen(QZ_BASIC_FILE, RTLD_NOW | RTLD_LOCAL);
  if (!basic) finish(dlerror());
  auto find = symbol<int32_t (*)(DeviceHandle*, char*)>(basic, "FindHidDevice");
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE] = {};
  if (!find || !find(&h, name)) finish("FindHidDevice found no controller");

  void* adv = dlopen(QZ_ADVANCED_FILE, RTLD_NOW | RTLD_LOCAL);
  if (!adv) finish(dlerror());
  if (dlopen("libQZ_BASIC.so", RTLD_NOW | RTLD_NOLOAD) != basic) finish("a second libQZ_BASIC.so is loaded");
  auto getFW = symbol<int32_t (*)(DeviceHandle, FWVersionInfo*)>(adv, "GetFWVersion");
  FWVersionInfo info{};
  if (!getFW || getFW(h, &info) != 1) finish("GetFWVersion failed with the program's handle");
  if (strcmp(info.masterVersion, "QZ4321A.D03.2.5.120 Boot : 1.0 ") != 0) finish(info.masterVersion);
  symbol<int32_t (*)(DeviceHandle)>(basic, "CloseDevice")(h);
  finish(nullptr);
}

TEST_F(Binding, UsesTheInstanceAlreadyLoaded) {
  EXPECT_EXIT(sharesTheLoadedInstance(), ::testing::ExitedWithCode(0), "");
}

// Against a device access library that lacks most command functions: the exports that
// need a missing one fail without calling anything; the others work through the names
// that were bound.
void missingFunctionsSendNothing() {
  void* stub = dlopen(QZ_STUB_FILE, RTLD_NOW | RTLD_LOCAL);
  if (!stub) finish(dlerror());
  void* adv = dlopen(QZ_ADVANCED_FILE, RTLD_NOW | RTLD_LOCAL);
  if (!adv) finish(dlerror());
  auto calls = symbol<int (*)()>(stub, "StubCalls");

  FWVersionInfo version{};
  if (symbol<int32_t (*)(DeviceHandle, FWVersionInfo*)>(adv, "GetFWVersion")(1, &version) != 0)
    finish("GetFWVersion succeeded without SendEF");
  FWInfo info{};
  if (symbol<int32_t (*)(DeviceHandle, FWInfo*)>(adv, "GetFWInfo")(1, &info) != 0)
    finish("GetFWInfo succeeded without SendE3");
  if (symbol<int32_t (*)(DeviceHandle)>(adv, "EnterBootMode")(1) != 0) finish("EnterBootMode succeeded without SendFF");
  if (calls() != 0) finish("a command was sent by an export missing a function");

  uint8_t v = 0;
  if (symbol<int32_t (*)(DeviceHandle, uint8_t*)>(adv, "GetParameterVersion")(1, &v) != 1 || v != 0x43)
    finish("GetParameterVersion did not go through the bound SendE0");
  if (calls() != 1) finish("GetParameterVersion did not send exactly one command");
  finish(nullptr);
}

TEST_F(Binding, ExportsNeedingAMissingFunctionFailAndSendNothing) {
  EXPECT_EXIT(missingFunctionsSendNothing(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
