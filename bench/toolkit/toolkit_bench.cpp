// Start-up and idle cost of the resident tray program, with a simulated controller on the
// driver transport (so the monitor thread waits on it) and the notification setting on.
//
//   toolkit_bench --benchmark_filter=StartToTrayIcon
//   QZ_BENCH_IDLE_S=60 toolkit_bench --benchmark_filter=Idle
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include "desktop_session.h"
#include "qzsim/simulator.h"

namespace {

using qz::toolkit::testing::Child;
using qz::toolkit::testing::DesktopSession;
using qz::toolkit::testing::shell;

bool trayIconPresent() {
  return shell("xwininfo -root -tree 2>/dev/null").find("\"QZToolKit\": (\"QZToolKit\" \"QZToolKit\")  22x") !=
         std::string::npos;
}

struct Setup {
  DesktopSession desktop;
  qzsim::Simulator sim;
  qzsim::Device* dev = nullptr;
  Setup() {
    if (!desktop.skipWhy.empty()) return;
    dev = &sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
    dev->setRecording(false);
    sim.start();
    sim.exportEnvironment();
    setenv("QZ_NO_REAL_HID", "1", 1);
    std::string conf = desktop.dir + "/config/Tarvanel";
    mkdir(conf.c_str(), 0700);
    std::ofstream(conf + "/ToolKit.conf") << "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=1\n";
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

// CPU time (user + system) of a process in milliseconds.
double cpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

double rssMb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

void StartToTrayIcon(benchmark::State& state) {
  Setup& s = setup();
  if (!s.desktop.skipWhy.empty()) {
    state.SkipWithError(s.desktop.skipWhy.c_str());
    return;
  }
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    Child c = qz::toolkit::testing::spawn({QZTOOLKIT_PATH}, false, s.desktop.dir + "/bench.log");
    while (!trayIconPresent()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    c.stop();
  }
}
BENCHMARK(StartToTrayIcon)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void Idle(benchmark::State& state) {
  Setup& s = setup();
  if (!s.desktop.skipWhy.empty()) {
    state.SkipWithError(s.desktop.skipWhy.c_str());
    return;
  }
  const char* env = getenv("QZ_BENCH_IDLE_S");
  const int seconds = env ? atoi(env) : 60;
  for (auto _ : state) {
    Child c = qz::toolkit::testing::spawn({QZTOOLKIT_PATH}, false, s.desktop.dir + "/bench.log");
    while (!trayIconPresent()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (s.dev->outstandingNotifications() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // start-up is over
    const double before = cpuMs(c.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    state.counters["idle_cpu_ms"] = cpuMs(c.pid) - before;
    state.counters["idle_s"] = seconds;
    state.counters["rss_mb"] = rssMb(c.pid);
    c.stop();
  }
}
BENCHMARK(Idle)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
