// SendCmd of E0 (no wait of its own) against a simulated controller on each transport
// (virtual HID socket, vendor-driver device object, serial line on a pseudo-terminal),
// each next to a bare ping-pong of the same bytes on the same channel in the same run: the
// gap is the library's own cost. Allocations are counted on the calling thread.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <cstring>
#include <string>

#include "alloc_count.h"
#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace {

enum class Kind { Hid, Driver, Serial };

struct Rig {
  qzsim::Simulator sim;
  qzsim::Device* dev;
  explicit Rig(Kind kind = Kind::Hid) {
    if (kind == Kind::Hid) dev = &sim.addHid(qzsim::Controller{});
    if (kind == Kind::Driver) dev = &sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
    if (kind == Kind::Serial) {
      dev = &sim.addSerial(qzsim::Controller{});
      setenv("QZ_COM1", dev->path().c_str(), 1);
    }
    dev->setRecording(false);
    sim.start();
    sim.exportEnvironment();
    setenv("QZ_NO_REAL_HID", "1", 1);
  }
};

void BM_SendCmdE0(benchmark::State& state) {
  const Kind kind = Kind(state.range(0));
  Rig rig(kind);
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  const int32_t found = kind == Kind::Hid      ? FindHidDevice(&h, name)
                        : kind == Kind::Driver ? FindQZDevice(&h, name)
                                               : FindRSDevice(1, 115200, &h, name);
  if (!found) {
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

// A connection of the benchmark's own to a device's socket, or -1.
int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// The same two requests (send feature E0, read feature) written by hand on a socket.
void BM_BarePingPong(benchmark::State& state) {
  Rig rig;
  int fd = connectTo(rig.dev->endpoint());
  if (fd < 0) {
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

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A send request and a read request of the newer generation, by hand, on a connection of
// the benchmark's own.
void BM_BareDriverPingPong(benchmark::State& state) {
  Rig rig(Kind::Driver);
  int fd = connectTo(rig.dev->endpoint());
  if (fd < 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  uint8_t sendReq[12 + 5] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x00, 0xF0, 0, 0};
  uint8_t readReq[12] = {};
  putLe32(sendReq + 4, 0x223D88);
  putLe32(readReq + 4, 0x223D8C);
  putLe32(readReq + 8, 5);
  uint8_t answer[64];
  uint32_t tag = 0;
  for (auto _ : state) {
    putLe32(sendReq, ++tag);
    putLe32(readReq, ++tag);
    if (::send(fd, sendReq, sizeof sendReq, 0) != sizeof sendReq || recv(fd, answer, sizeof answer, 0) != 8 ||
        ::send(fd, readReq, sizeof readReq, 0) != sizeof readReq || recv(fd, answer, sizeof answer, 0) != 13) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  state.counters["exchanges/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  close(fd);
}

// One six-byte frame out and its six-byte reply back on the raw pseudo-terminal.
void BM_BareSerialPingPong(benchmark::State& state) {
  Rig rig(Kind::Serial);
  int fd = open(rig.dev->endpoint().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  const uint8_t frame[6] = {0xE0, 0x00, 0xF0, 0, 0, uint8_t(~(0xE0 + 0xF0))};
  uint8_t answer[6];
  for (auto _ : state) {
    if (write(fd, frame, 6) != 6) {
      state.SkipWithError("write failed");
      break;
    }
    size_t got = 0;
    while (got < 6) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) break;
      ssize_t n = read(fd, answer + got, 6 - got);
      if (n <= 0) break;
      got += size_t(n);
    }
    if (got != 6) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.counters["exchanges/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  close(fd);
}

}  // namespace

BENCHMARK(BM_BarePingPong)->Name("BM_BareHidPingPong")->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SendCmdE0)->Name("BM_SendCmdE0/hid")->Arg(int(Kind::Hid))->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BareDriverPingPong)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SendCmdE0)->Name("BM_SendCmdE0/driver")->Arg(int(Kind::Driver))->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BareSerialPingPong)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SendCmdE0)->Name("BM_SendCmdE0/serial")->Arg(int(Kind::Serial))->MinTime(2.0)->UseRealTime();
