// The tray program end to end on a throw-away X11 desktop (Xvfb, a session bus, trayer's
// XEmbed tray), driven with xdotool. Skips where no such desktop can be made.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "desktop_session.h"
#include "virtual_touch.h"
#ifdef QZ_HAVE_SIM
#include "qzsim/simulator.h"
#endif

namespace qz::toolkit::testing {
namespace {

const char* const kAbnormalTitle = "^QZToolKit : KRX Device Touch Disabled$";
const char* const kConfirmTitle = "^QZToolKit : Reset Touch Panel$";
const char* const kRefusedTitle = "^Application cannot start\\.$";

DesktopSession* g_desktop = nullptr;

class DesktopEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_desktop = new DesktopSession; }
  void TearDown() override {
    delete g_desktop;
    g_desktop = nullptr;
  }
};
[[maybe_unused]] const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

std::string screenshotDir() {
  const char* d = getenv("QZ_SCREENSHOT_DIR");
  return d && *d ? d : QZ_BUILD_DIR;
}

// The tray icon: the program's window docked in the panel at the top of the screen.
std::string trayIconWindow() {
  const std::string tree = shell("xwininfo -root -tree 2>/dev/null");
  std::istringstream lines(tree);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("\"QZToolKit\": (\"QZToolKit\" \"QZToolKit\")") == std::string::npos) continue;
    char id[32];
    int w, h, x, y, ax, ay;
    const char* at = strstr(line.c_str(), ")");
    if (sscanf(line.c_str(), " %31s", id) != 1 || !at ||
        sscanf(at + 1, " %dx%d+%d+%d +%d+%d", &w, &h, &x, &y, &ax, &ay) != 6)
      continue;
    if (ay < 40 && w > 1 && w <= 64 && DesktopSession::geometry(id).w > 1 &&
        shell(std::string("xwininfo -id ") + id + " | grep -c IsViewable") != "0\n")
      return id;
  }
  return {};
}

class ToolKitE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_desktop || !g_desktop->skipWhy.empty())
      GTEST_SKIP() << (g_desktop ? g_desktop->skipWhy : "no desktop");
    log_ = g_desktop->dir + "/toolkit.log";
  }
  void TearDown() override {
    for (Child* c : {&program_, &second_}) c->stop();
    shell("xdotool keyup ctrl shift r l 2>/dev/null");
  }

  void setNotification(bool on) {
    const std::string d = g_desktop->dir + "/config/Tarvanel";
    mkdir(d.c_str(), 0700);
    std::ofstream(d + "/ToolKit.conf") << "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window="
                                       << (on ? 1 : 0) << "\n";
  }

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{QZTOOLKIT_PATH};
    argv.insert(argv.end(), extra.begin(), extra.end());
    program_ = spawn(argv, false, log_);
    ASSERT_TRUE(eventually(10000, [] { return !trayIconWindow().empty(); }))
        << "no tray icon; log in " << log_;
  }

  // Opens the tray menu with a right click; returns the menu's window.
  std::string openMenu() {
    const std::string icon = trayIconWindow();
    auto before = DesktopSession::windows(".*");
    shell("xdotool mousemove --window " + icon + " 8 8 click 3");
    std::string menu;
    eventually(5000, [&] {
      for (const std::string& w : DesktopSession::windows(".*")) {
        if (std::find(before.begin(), before.end(), w) != before.end()) continue;
        DesktopSession::Geometry g = DesktopSession::geometry(w);
        if (g.w > 50 && g.h > 50) menu = w;
      }
      return !menu.empty();
    });
    return menu;
  }

  static void press(const std::string& window, const char* keys) {
    shell("xdotool windowfocus --sync " + window + " 2>/dev/null; xdotool key " + keys);
  }

  void expectWindowCycle(const std::function<void(uint8_t)>& raise, const char* screenshot);

  Child program_, second_;
  std::string log_;
};

TEST_F(ToolKitE2e, IconMenuSecondInstanceKeysAndExit) {
  setNotification(false);
  start();
  EXPECT_TRUE(program_.running());

  // The menu opens on a click; Escape closes it and leaves the program running.
  std::string menu = openMenu();
  ASSERT_FALSE(menu.empty()) << "no menu window after a right click";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  DesktopSession::Geometry g = DesktopSession::geometry(menu);
  DesktopSession::screenshot(screenshotDir() + "/toolkit-menu.png", g);
  shell("xdotool key Escape");
  EXPECT_TRUE(eventually(3000, [&] {
    auto all = DesktopSession::windows(".*");
    return std::find(all.begin(), all.end(), menu) == all.end();
  }));
  EXPECT_TRUE(program_.running());

  // A second instance is refused with the warning box and ends when it is closed.
  second_ = spawn({QZTOOLKIT_PATH}, false, log_);
  std::string refused;
  ASSERT_TRUE(eventually(10000, [&] {
    auto w = DesktopSession::windows(kRefusedTitle);
    if (!w.empty()) refused = w[0];
    return !refused.empty();
  }));
  press(refused, "Return");
  EXPECT_EQ(second_.wait(5000), 0);
  EXPECT_TRUE(program_.running());

  // Ctrl+Shift+R from anywhere opens the confirmation; once only while it is open.
  shell("xdotool key ctrl+shift+r");
  std::string confirm;
  ASSERT_TRUE(eventually(5000, [&] {
    auto w = DesktopSession::windows(kConfirmTitle);
    if (!w.empty()) confirm = w[0];
    return !confirm.empty();
  })) << "Ctrl+Shift+R opened no confirmation";
  shell("xdotool key ctrl+shift+r");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(DesktopSession::windows(kConfirmTitle).size(), 1u);
  press(confirm, "Escape");  // No
  EXPECT_TRUE(eventually(3000, [] { return DesktopSession::windows(kConfirmTitle).empty(); }));

  // Shift pressed and released while Ctrl is held: R does nothing.
  shell("xdotool keydown ctrl key shift key r keyup ctrl");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(DesktopSession::windows(kConfirmTitle).empty());

  // "--reset" asks the running instance and ends at once.
  int status = -1;
  shell(std::string(QZTOOLKIT_PATH) + " --reset 2>>'" + log_ + "'", &status);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(eventually(5000, [] { return !DesktopSession::windows(kConfirmTitle).empty(); }));
  press(DesktopSession::windows(kConfirmTitle)[0], "Escape");
  EXPECT_TRUE(eventually(3000, [] { return DesktopSession::windows(kConfirmTitle).empty(); }));

  // The panel restarts: the icon comes back.
  g_desktop->tray.stop();
  EXPECT_TRUE(eventually(3000, [] { return trayIconWindow().empty(); }));
  g_desktop->startTray();
  EXPECT_TRUE(eventually(10000, [] { return !trayIconWindow().empty(); })) << "icon not back";

  // "&Exit" ends the program and removes the icon.
  menu = openMenu();
  ASSERT_FALSE(menu.empty());
  shell("xdotool key e");
  EXPECT_EQ(program_.wait(5000), 0);
  EXPECT_TRUE(eventually(3000, [] { return trayIconWindow().empty(); }));

  // With none running, "--log" says so and fails; a new start is accepted.
  std::string err = shell(std::string(QZTOOLKIT_PATH) + " --log 2>&1 >/dev/null", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("not running"), std::string::npos) << err;
  start();
  kill(program_.pid, SIGTERM);
  EXPECT_EQ(program_.wait(5000), 0);
  EXPECT_TRUE(eventually(3000, [] { return trayIconWindow().empty(); }));
}

// A touch-disabled report held for 1.5 s shows the window with its texts; an enabled report
// hides it 0.5 s later.
void ToolKitE2e::expectWindowCycle(const std::function<void(uint8_t)>& raise, const char* screenshot) {
  raise(0x8A);
  const auto sent = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_TRUE(DesktopSession::windows(kAbnormalTitle).empty()) << "shown before 1.5 s";
  std::string window;
  ASSERT_TRUE(eventually(3000, [&] {
    auto w = DesktopSession::windows(kAbnormalTitle);
    if (!w.empty()) window = w[0];
    return !window.empty();
  })) << "the abnormal-state window did not appear";
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500));
  DesktopSession::Geometry g = DesktopSession::geometry(window);
  EXPECT_GT(g.w, 200);
  EXPECT_GT(g.h, 120);
  if (screenshot) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // let the hint move once
    DesktopSession::screenshot(screenshotDir() + "/" + screenshot, g);
  }
  raise(0x0A);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(DesktopSession::windows(kAbnormalTitle).empty()) << "hidden before 0.5 s";
  EXPECT_TRUE(eventually(3000, [] { return DesktopSession::windows(kAbnormalTitle).empty(); }));
}

TEST_F(ToolKitE2e, TouchReportsOfAVirtualTouchScreenShowAndHideTheWindow) {
  setNotification(true);
  const std::string hidDir = g_desktop->dir + "/hid";
  mkdir(hidDir.c_str(), 0700);
  setenv("QZ_VIRTUAL_HID_DIR", hidDir.c_str(), 1);
  VirtualTouch touch(hidDir, "hid#vid_7a3d&pid_7480#touch0");
  ASSERT_TRUE(touch.ok());
  start();
  ASSERT_TRUE(eventually(5000, [&] { return touch.readers() > 0; })) << "the program reads no input reports";
  expectWindowCycle([&](uint8_t b) { touch.send({0x00, b}); }, "toolkit-abnormal.png");
  kill(program_.pid, SIGTERM);
  EXPECT_EQ(program_.wait(5000), 0);
  unsetenv("QZ_VIRTUAL_HID_DIR");
}

#ifdef QZ_HAVE_SIM
class SimulatedController : public ToolKitE2e {
 protected:
  void TearDown() override {
    ToolKitE2e::TearDown();
    unsetenv("QZ_VIRTUAL_HID_DIR");
    unsetenv("QZ_DRIVER_DIR");
  }
};

TEST_F(SimulatedController, OnTheDriverTransport) {
  setNotification(true);
  qzsim::Simulator sim;
  qzsim::Device& dev = sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  sim.start();
  sim.exportEnvironment();
  start();
  // The monitor thread keeps one request of each notification kind outstanding.
  ASSERT_TRUE(eventually(5000, [&] { return dev.outstandingNotifications() == 2; }))
      << "the monitor thread does not wait on the controller";
  expectWindowCycle([&](uint8_t b) { dev.raiseTouchState(b); }, nullptr);
  EXPECT_TRUE(eventually(2000, [&] { return dev.outstandingNotifications() == 2; }));
  kill(program_.pid, SIGTERM);
  EXPECT_EQ(program_.wait(5000), 0);
  EXPECT_TRUE(eventually(2000, [&] { return dev.outstandingNotifications() == 0; }))
      << "requests left outstanding after the end";
}

TEST_F(SimulatedController, OnVirtualHid) {
  setNotification(true);
  qzsim::Simulator sim;
  qzsim::Device& dev = sim.addHid(qzsim::Controller{});
  sim.start();
  sim.exportEnvironment();
  start();
  ASSERT_TRUE(eventually(5000, [&] {
    for (const qzsim::Request& r : dev.requests())
      if (r.op == qzsim::kReadInput) return true;
    return false;
  })) << "the program reads no input reports";
  expectWindowCycle([&](uint8_t b) { dev.raiseTouchState(b); }, nullptr);
  kill(program_.pid, SIGTERM);
  EXPECT_EQ(program_.wait(5000), 0);
}
#else
TEST_F(ToolKitE2e, SimulatedControllers) { GTEST_SKIP() << "built without the simulator (qzsim_core)"; }
#endif

}  // namespace
}  // namespace qz::toolkit::testing
