// SendCmd of E0 (no wait of its own) against a simulated HID controller over the virtual
// HID socket, next to a bare ping-pong of the same two requests on the same socket kind in
// the same run: the gap is the library's own cost. Allocations are counted on the calling
// thread over the whole run.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "alloc_count.h"
#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace {

struct Rig {
  qzsim::Simulator sim;
  qzsim::Device* dev;
  Rig() {
    dev = &sim.addHid(qzsim::Controller{});
    dev->setRecording(false);
    sim.start();
    sim.exportEnvironment();
    setenv("QZ_NO_REAL_HID", "1", 1);
  }
};

void BM_SendCmdE0(benchmark::State& state) {
  Rig rig;
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  if (!FindHidDevice(&h, name)) {
    state.SkipWithError("no simulated controller");
    return;
  }
  const uint8_t cmd[5] = {0xE0, 0x00, 0xF0, 0, 0};
  uint8_t reply[5];
  const uint64_t before = qzbench::AllocationsOnThisThread();
  for (auto _ : state) {
    if (!SendCmd(h, cmd, reply)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.counters["exchanges/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs"] = double(qzbench::AllocationsOnThisThread() - before);
  CloseDevice(h);
}

// The same two requests (send feature E0, read feature) written by hand on a socket.
void BM_BarePingPong(benchmark::State& state) {
  Rig rig;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", rig.dev->endpoint().c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  const uint8_t send[8 + 6] = {1, 0, 0, 0, 6, 0, 0, 0, 0, 0xE0, 0x00, 0xF0, 0, 0};
  const uint8_t read[8 + 6] = {2, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t answer[64];
  for (auto _ : state) {
    if (::send(fd, send, sizeof send, 0) != sizeof send || recv(fd, answer, sizeof answer, 0) != 4 ||
        ::send(fd, read, sizeof read, 0) != sizeof read || recv(fd, answer, sizeof answer, 0) != 10) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  state.counters["exchanges/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  close(fd);
}

}  // namespace

BENCHMARK(BM_BarePingPong)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SendCmdE0)->MinTime(2.0)->UseRealTime();
