// Cost of one command exchange through the simulator, as a client sees it, and the heap
// allocations serving it takes (every thread of the process is counted).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qzsim/simulator.h"

namespace {
std::atomic<uint64_t> g_allocs{0};
}

// The replaced new and delete pair up; g++ cannot see that once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

int connectTo(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) abort();
  return fd;
}

void roundTrip(int fd, const uint8_t* req, size_t n, uint8_t* buf, size_t cap) {
  if (send(fd, req, n, 0) != ssize_t(n) || recv(fd, buf, cap, 0) < 4) abort();
}

void HidExchange(benchmark::State& state) {
  qzsim::Simulator sim;
  auto& dev = sim.addHid(qzsim::Controller{});
  dev.setRecording(state.range(0) != 0);
  sim.start();
  int fd = connectTo(dev.endpoint());
  const uint8_t set[] = {1, 0, 0, 0, 6, 0, 0, 0, 0, 0xE0, 0, 0xF0, 0, 0};
  const uint8_t get[] = {2, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t buf[64];
  roundTrip(fd, set, sizeof set, buf, sizeof buf);  // warm up
  roundTrip(fd, get, sizeof get, buf, sizeof buf);
  uint64_t before = g_allocs.load();
  for (auto _ : state) {
    roundTrip(fd, set, sizeof set, buf, sizeof buf);
    roundTrip(fd, get, sizeof get, buf, sizeof buf);
  }
  state.counters["allocs/exchange"] =
      benchmark::Counter(double(g_allocs.load() - before) / double(state.iterations()));
  close(fd);
}
BENCHMARK(HidExchange)->Arg(0)->Arg(1)->ArgName("recording");

void DriverExchange(benchmark::State& state) {
  qzsim::Simulator sim;
  auto& dev = sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  dev.setRecording(false);
  sim.start();
  int fd = connectTo(dev.endpoint());
  uint8_t sendReq[17] = {1, 0, 0, 0, 0x88, 0x3D, 0x22, 0, 0, 0, 0, 0, 0xE0, 0, 0xF0, 0, 0};
  uint8_t readReq[12] = {2, 0, 0, 0, 0x8C, 0x3D, 0x22, 0, 5, 0, 0, 0};
  uint8_t buf[64];
  roundTrip(fd, sendReq, sizeof sendReq, buf, sizeof buf);
  roundTrip(fd, readReq, sizeof readReq, buf, sizeof buf);
  uint64_t before = g_allocs.load();
  for (auto _ : state) {
    roundTrip(fd, sendReq, sizeof sendReq, buf, sizeof buf);
    roundTrip(fd, readReq, sizeof readReq, buf, sizeof buf);
  }
  state.counters["allocs/exchange"] =
      benchmark::Counter(double(g_allocs.load() - before) / double(state.iterations()));
  close(fd);
}
BENCHMARK(DriverExchange);

// A whole bulk frame over HID: FA, the blocks of a 40 x 31 frame, EE.
void HidBulkFrame(benchmark::State& state) {
  qzsim::Simulator sim;
  qzsim::Controller c;
  c.sensor.sensorLines = 40;
  c.sensor.driverLines = 30;
  c.sensor.sectors = 0;
  c.blockSize = 64;
  auto& dev = sim.addHid(c);
  dev.setRecording(false);
  sim.start();
  int fd = connectTo(dev.endpoint());
  const uint8_t fa[] = {1, 0, 0, 0, 6, 0, 0, 0, 0, 0xFA, 0, 0, 0, 0};
  const uint8_t ee[] = {1, 0, 0, 0, 6, 0, 0, 0, 0, 0xEE, 0, 0, 0, 0};
  const uint8_t get6[] = {2, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t get65[8 + 65] = {2, 0, 0, 0, 65, 0, 0, 0};
  uint8_t buf[128];
  const int blocks = (40 * 31 + 31) / 32;
  for (auto _ : state) {
    roundTrip(fd, fa, sizeof fa, buf, sizeof buf);
    roundTrip(fd, get6, sizeof get6, buf, sizeof buf);
    for (int b = 0; b < blocks; ++b) roundTrip(fd, get65, sizeof get65, buf, sizeof buf);
    roundTrip(fd, ee, sizeof ee, buf, sizeof buf);
    roundTrip(fd, get6, sizeof get6, buf, sizeof buf);
  }
  close(fd);
}
BENCHMARK(HidBulkFrame);

}  // namespace

BENCHMARK_MAIN();
