// Every export of both device libraries against every fault of the controller, on each
// transport. A clean run of the export on a fresh simulated controller gives the commands it
// sends; then each fault is armed for one of those commands on another fresh controller and
// the export is called again with its outputs between guard bytes. Each case must end
// within the time the retry rules allow (with a margin), write nothing it must leave alone,
// and leave the library serving a clean controller right after.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "exports.h"
#include "faults.h"
#include "qz/advanced.h"
#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace qzfault {
namespace {

using qzsim::Packet;
using qzsim::Transport;

constexpr int kVictimPort = 7;
constexpr int kCleanPort = 8;
constexpr int kSpeed = 38400;
constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xE7;

// ---- Time the retry rules allow for one command (milliseconds)

constexpr double kRequestMs = 2;  // one request and its answer on a local socket
constexpr double kSerialReadMs = 30, kSerialWriteMs = 10, kReplyWaitMs = 5;

double waitBeforePoll(uint8_t op) { return (op == 0xE1 || op == 0xEA || op == 0xD1) ? kReplyWaitMs : 0; }

// Five attempts; per attempt the send, the opcode's wait and five polls each followed by
// 1 ms (HID, driver), or one write and five read calls each followed by the reply wait.
double exchangeMs(Transport t, uint8_t op) {
  switch (t) {
    case Transport::Hid: return 5 * (kRequestMs + waitBeforePoll(op) + 5 * (kRequestMs + 1));
    case Transport::Driver: return 5 * (kRequestMs + waitBeforePoll(op) + 5 * (kRequestMs + 1));
    case Transport::Serial: return 5 * (kSerialWriteMs + 5 * (kSerialReadMs + kReplyWaitMs));
  }
  return 0;
}

// ---- The controllers

qzsim::Controller victimController() {
  qzsim::Controller c;
  qzsim::Chip slave;
  slave.sensorLines = 4;  // the baseline pauses scanning for it
  c.chips.push_back(slave);
  return c;
}

// Clean controllers, one per transport, that must answer after every case.
struct Clean {
  qzsim::Simulator sim;
  DeviceHandle handle[3] = {QZ_NO_DEVICE, QZ_NO_DEVICE, QZ_NO_DEVICE};
};
Clean* g_clean = nullptr;

// A fresh controller for one call, in a simulator of its own whose directories the library
// is pointed at; the clean controllers live elsewhere.
struct Victim {
  std::unique_ptr<qzsim::Simulator> sim;
  qzsim::Device* dev = nullptr;
  DeviceHandle handle = QZ_NO_DEVICE;

  explicit Victim(Transport t) : sim(std::make_unique<qzsim::Simulator>()) {
    const qzsim::Controller c = victimController();
    switch (t) {
      case Transport::Hid: dev = &sim->addHid(c); break;
      case Transport::Driver: dev = &sim->addDriverObject(c, "QZUKRXM_API0"); break;
      case Transport::Serial: dev = &sim->addSerial(c, "com7"); break;
    }
    sim->start();
    sim->exportEnvironment();
    // No real serial port is ever opened for a transport without a line.
    const std::string com = t == Transport::Serial ? dev->path() : sim->dir() + "/no-line";
    setenv("QZ_COM7", com.c_str(), 1);
  }
  bool find(Transport t) {
    char name[QZ_MODEL_NAME_SIZE];
    switch (t) {
      case Transport::Hid: return FindHidDevice(&handle, name) != 0;
      case Transport::Driver: return FindQZDevice(&handle, name) != 0;
      case Transport::Serial:
        FindHidDevice(&handle, name);  // an empty scan: the serial slot then takes KRXM
        return FindRSDevice(kVictimPort, kSpeed, &handle, name) != 0;
    }
    return false;
  }
};

// ---- Outputs between guard bytes

struct Arena {
  std::vector<uint8_t> bytes;
  std::vector<size_t> offset, size;
  std::vector<uint8_t*> ptr;

  explicit Arena(const std::vector<size_t>& sizes) {
    size_t at = 0;
    for (size_t n : sizes) {
      at = (at + kGuard + 7) & ~size_t(7);  // a guard, then an 8-aligned output
      offset.push_back(at);
      size.push_back(n);
      at += n;
    }
    bytes.assign(at + kGuard, kGuardByte);
    for (size_t k = 0; k < sizes.size(); ++k) {
      for (size_t i = 0; i < size[k]; ++i) bytes[offset[k] + i] = uint8_t(0x5A ^ (i * 7));
      ptr.push_back(bytes.data() + offset[k]);
    }
    ptr.push_back(nullptr);
  }
  std::vector<uint8_t> out(size_t k) const {
    return {bytes.begin() + long(offset[k]), bytes.begin() + long(offset[k] + size[k])};
  }
  // The first guard byte that changed, or -1.
  long brokenGuard() const {
    std::vector<bool> inside(bytes.size(), false);
    for (size_t k = 0; k < size.size(); ++k)
      for (size_t i = 0; i < size[k]; ++i) inside[offset[k] + i] = true;
    for (size_t i = 0; i < bytes.size(); ++i)
      if (!inside[i] && bytes[i] != kGuardByte) return long(i);
    return -1;
  }
};

struct Outcome {
  int32_t result = 0;
  std::vector<std::vector<uint8_t>> before, after;
  long brokenGuard = -1;
  double ms = 0;
  std::vector<Packet> commands;   // commands the call sent
  size_t requests = 0;            // every request, reads included
  size_t blockReads = 0;          // block reads after an FA
  Packet previous{};              // the last command before the call
  std::vector<std::string> found;
};

bool isBlockRead(const qzsim::Request& r) {
  if (r.transport == Transport::Hid) return r.op == qzsim::kGetFeature && r.length != 6;
  if (r.transport == Transport::Driver)
    return (r.op == qzsim::kReadOlder || r.op == qzsim::kReadNewer) && r.length != 5;
  return false;
}

// What the fault is and where: nothing (a clean run), the device taken away before the
// call, or faults armed for the call.
struct Arming {
  bool removeFirst = false;
  std::vector<qzsim::Fault> faults;
};

// One call of the export on a fresh controller.
Outcome run(const Export& e, Transport t, const Arming& arming) {
  Outcome o;
  Victim v(t);
  Args a;
  a.transport = t;
  a.serialPort = kVictimPort;
  a.path = v.dev->path();
  if (e.needs != Needs::Finds) {
    EXPECT_TRUE(v.find(t)) << "the controller is not found";
    if (e.prepare) {
      EXPECT_TRUE(e.prepare(v.handle, a)) << "the call's inputs cannot be read";
    }
    if (e.needs == Needs::Closed) CloseDevice(v.handle);
  }
  const auto sent = v.dev->commands();
  if (!sent.empty()) o.previous = sent.back();
  v.dev->clearRequests();

  Arena arena(e.sizes(a));
  if (e.init) e.init(a, arena.ptr.data());
  for (size_t k = 0; k < arena.size.size(); ++k) o.before.push_back(arena.out(k));

  if (arming.removeFirst) v.dev->remove();
  for (const auto& f : arming.faults) v.dev->addFault(f);
  enumeratedPaths().clear();
  const auto t0 = std::chrono::steady_clock::now();
  o.result = e.call(v.handle, a, arena.ptr.data());
  o.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

  for (size_t k = 0; k < arena.size.size(); ++k) o.after.push_back(arena.out(k));
  o.brokenGuard = arena.brokenGuard();
  o.commands = v.dev->commands();
  const auto requests = v.dev->requests();
  o.requests = requests.size();
  for (const auto& r : requests) o.blockReads += isBlockRead(r) ? 1 : 0;
  o.found = a.found;

  if (o.result && e.cleanup) e.cleanup(a, arena.ptr.data());
  for (const auto& path : enumeratedPaths()) {
    DeviceHandle h;
    if (OpenDevice(path.c_str(), &h)) CloseDevice(h);
  }
  if (v.handle != QZ_NO_DEVICE) CloseDevice(v.handle);
  v.dev->clearFaults();
  return o;
}

// The library serves the next controller: replies on and sizes back to their defaults
// (an export may have switched them, for every controller), then the identity.
void expectCleanAnswers(Transport t) {
  const DeviceHandle h = g_clean->handle[int(t)];
  uint16_t a = 0, d1a;
  uint8_t b = 0, c = 0, d1b;
  int32_t size;
  SendD1(h, 0, &d1a, &d1b);
  SendD2(h, &size);
  ASSERT_EQ(SendEE(h, &a, &b, &c), 1) << "the clean controller does not answer";
  EXPECT_EQ(a, 4321);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 1);
}

std::string hex(const Packet& p) {
  char buf[20];
  snprintf(buf, sizeof buf, "%02X %02X %02X %02X %02X", p[0], p[1], p[2], p[3], p[4]);
  return buf;
}

const char* transportName(Transport t) {
  switch (t) {
    case Transport::Hid: return "Hid";
    case Transport::Driver: return "Driver";
    case Transport::Serial: return "Serial";
  }
  return "?";
}


// Where the outputs of two calls differ, for the failure message.
std::string differences(const Outcome& a, const Outcome& b) {
  std::string d;
  for (size_t k = 0; k < a.after.size() && k < b.after.size(); ++k)
    for (size_t i = 0; i < a.after[k].size() && i < b.after[k].size(); ++i)
      if (a.after[k][i] != b.after[k][i]) {
        char buf[96];
        snprintf(buf, sizeof buf, "; output %zu byte %zu: %02X, clean %02X", k, i, unsigned(b.after[k][i]),
                 unsigned(a.after[k][i]));
        d += buf;
        break;
      }
  return d;
}

// Checks one faulted call against the clean one.
void check(const Export& e, const Outcome& clean, const Outcome& o, Expect expect, bool refusal,
           double boundMs) {
  const double limit = 2 * boundMs + 1000;
  EXPECT_LE(o.ms, limit) << "took " << o.ms << " ms, bound " << boundMs << " ms";
  EXPECT_EQ(o.brokenGuard, -1) << "guard byte " << o.brokenGuard << " overwritten";
  for (const Kept& k : e.kept)
    EXPECT_EQ(0, memcmp(o.after[size_t(k.out)].data() + k.offset, o.before[size_t(k.out)].data() + k.offset, k.length))
        << "output " << k.out << " changed at bytes it never writes";

  auto recovered = [&] {
    if (o.result != clean.result || o.found != clean.found) return false;
    for (size_t k = 0; k < o.after.size(); ++k)
      if (!(e.volatileOuts & (1u << k)) && o.after[k] != clean.after[k]) return false;
    return true;
  };
  // What a failed call shows: its failure result, its untouched outputs as they were.
  auto failedProperly = [&](std::string* why) {
    const int32_t failure = clean.result == 0 ? 0 : e.failure;
    if (o.result != failure) return *why = "result " + std::to_string(o.result), false;
    if (!o.found.empty()) return *why = "an enumeration reported a controller", false;
    for (size_t k = 0; k < o.after.size(); ++k) {
      if (!(e.untouched & (1u << k))) continue;
      if (e.refusalByte0 && k == 0) {
        if (memcmp(o.after[0].data() + 1, o.before[0].data() + 1, 4) != 0)
          return *why = "reply bytes 1 to 4 written", false;
        if (refusal ? o.after[0][0] != 0xAA : o.after[0][0] != o.before[0][0])
          return *why = "reply byte 0 is " + std::to_string(o.after[0][0]), false;
        continue;
      }
      if (o.after[k] != o.before[k]) return *why = "output " + std::to_string(k) + " written", false;
    }
    if (e.failedOutputZero && clean.result != 0) {
      int32_t v;
      memcpy(&v, o.after[0].data(), 4);
      if (v != 0) return *why = "output not 0", false;
    }
    return true;
  };

  std::string why;
  switch (expect) {
    case Expect::Recovers: EXPECT_TRUE(recovered()) << "result " << o.result << " against " << clean.result
                                                     << differences(clean, o); break;
    case Expect::Fails: EXPECT_TRUE(failedProperly(&why)) << why; break;
    case Expect::FailsOrRecovers: EXPECT_TRUE(recovered() || failedProperly(&why)) << why; break;
    case Expect::Either: break;
  }
}

double boundOf(const Export& e, Transport t, const Outcome& clean, int extraMs) {
  double ms = 4 * exchangeMs(t, 0xE1) + double(clean.requests) * kRequestMs + e.fixedMs + extraMs;
  for (const Packet& p : clean.commands) ms += exchangeMs(t, p[0]);
  return ms;
}

// Positions of the commands a fault is armed for: every one for a core export, else the
// first and the last, and the announcement of a bulk transfer.
std::vector<size_t> positionsOf(const Export& e, const Outcome& clean) {
  std::vector<size_t> at;
  const size_t n = clean.commands.size();
  if (n == 0) return at;
  auto add = [&](size_t k) {
    for (size_t x : at)
      if (x == k) return;
    at.push_back(k);
  };
  if (e.core) {
    // Every command of a short sequence; eight spread over a long one, both ends included.
    const size_t m = n < 8 ? n : 8;
    for (size_t i = 0; i < m; ++i) add(m == 1 ? 0 : i * (n - 1) / (m - 1));
  } else {
    add(0);
    add(n / 2);
    add(n - 1);
  }
  for (size_t k = 0; k < n; ++k)
    if (clean.commands[k][0] == 0xFA) add(k);
  return at;
}

class Faults : public ::testing::TestWithParam<std::tuple<Transport, size_t>> {
 public:
  static void SetUpTestSuite() {
    setenv("QZ_NO_REAL_HID", "1", 1);
    g_clean = new Clean;
    qzsim::Controller c;
    c.tail = "clean";
    g_clean->sim.addHid(c);
    g_clean->sim.addDriverObject(c, "QZUKRXM_API0");
    auto& serial = g_clean->sim.addSerial(c, "com8");
    g_clean->sim.start();
    g_clean->sim.exportEnvironment();
    setenv("QZ_COM8", serial.path().c_str(), 1);
    char name[QZ_MODEL_NAME_SIZE];
    FindHidDevice(&g_clean->handle[0], name);
    FindQZDevice(&g_clean->handle[1], name);
    if (!FindRSDevice(kCleanPort, kSpeed, &g_clean->handle[2], name)) g_clean->handle[2] = QZ_NO_DEVICE;
  }
  static void TearDownTestSuite() {
    for (DeviceHandle h : g_clean->handle) CloseDevice(h);
    delete g_clean;
    g_clean = nullptr;
  }
};

TEST_P(Faults, BoundedAndClean) {
  const Transport t = std::get<0>(GetParam());
  const Export& e = exports()[std::get<1>(GetParam())];
  ASSERT_NE(g_clean->handle[int(t)], QZ_NO_DEVICE) << "the clean controller was not found";

  const Outcome clean = run(e, t, {});
  expectCleanAnswers(t);
  ASSERT_EQ(clean.brokenGuard, -1) << "a clean call overwrote guard byte " << clean.brokenGuard;
  int cases = 0;

  // The device taken away before the call.
  {
    SCOPED_TRACE("device removed before the call");
    Arming arming;
    arming.removeFirst = true;
    const Outcome o = run(e, t, arming);
    Expect expect = Expect::Fails;
    if (clean.commands.empty() && !e.goneFails) expect = Expect::Recovers;  // it talks to no device
    if (!clean.commands.empty() && e.tolerates && e.tolerates(clean.commands[0])) expect = Expect::Either;
    check(e, clean, o, expect, false, boundOf(e, t, clean, 0));
    expectCleanAnswers(t);
    ++cases;
  }

  for (size_t k : positionsOf(e, clean)) {
    const Packet cmd = clean.commands[k];
    const uint8_t op = cmd[0];
    int earlier = 0;  // commands of the same opcode before it, let through
    for (size_t j = 0; j < k; ++j) earlier += clean.commands[j][0] == op ? 1 : 0;
    const Packet previous = k == 0 ? clean.previous : clean.commands[k - 1];
    for (const FaultRow& row : faults()) {
      if (!(row.transports & bit(t))) continue;
      if (!e.core && !(row.representative & bit(t))) continue;
      if (row.bulkOnly && (op != 0xFA || clean.blockReads < 2)) continue;
      SCOPED_TRACE(std::string(row.name) + " at command " + std::to_string(k) + " (" + hex(cmd) + ")");
      Arming arming;
      if (earlier) arming.faults.push_back(qzsim::Fault::delay(op, 0, earlier));  // passes them
      for (const auto& f : row.arm(op, t)) arming.faults.push_back(f);
      Expect expect = row.expect;
      // A report or driver read that shows nothing new shows the previous command's reply,
      // which passes for this one's when it has the same opcode.
      if (row.silent && t != Transport::Serial && previous[0] == op) expect = Expect::Either;
      // A transfer's blocks start once the announcement's reply has been read; with the
      // reply late it is open which read that is.
      if (row.silent && op == 0xFA) expect = Expect::Either;
      // Once D0 is taken the line stays silent, so a resent D0 is never answered.
      if (t == Transport::Serial && op == 0xD0 && expect == Expect::Recovers) expect = Expect::FailsOrRecovers;
      if (expect == Expect::Fails && e.tolerates && e.tolerates(cmd)) expect = Expect::Either;
      const Outcome o = run(e, t, arming);
      check(e, clean, o, expect, row.refusal, boundOf(e, t, clean, row.extraMs));
      expectCleanAnswers(t);
      ++cases;
    }
  }
  printf("[faults] %s %s: %d cases\n", transportName(t), e.name, cases);
  RecordProperty("cases", cases);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Transport, size_t>>& info) {
  return std::string(transportName(std::get<0>(info.param))) + "_" + exports()[std::get<1>(info.param)].name;
}

std::vector<size_t> allExports() {
  std::vector<size_t> v;
  for (size_t i = 0; i < exports().size(); ++i) v.push_back(i);
  return v;
}

// ---- A simulator process killed in the middle of a call

extern "C" char** environ;

// qzsim serving one controller (with a slave, so the calls below pause for it) from a
// scenario, in a directory of its own.
class SimProcess {
 public:
  explicit SimProcess(Transport t) {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qzfault-XXXXXX";
    if (!mkdtemp(tmpl.data())) return;
    dir_ = tmpl;
    const std::string link = dir_ + "/com7";
    std::string section = t == Transport::Hid      ? "[hid]"
                          : t == Transport::Driver ? "[driver QZUKRXM_API0]"
                                                   : "[serial " + link + "]";
    std::ofstream(dir_ + "/one.scenario") << section << "\n[slave]\nsensor-lines = 4\n";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string simDir = dir_ + "/sim", scenario = dir_ + "/one.scenario";
    const char* argv[] = {QZSIM_PROGRAM, "--dir", simDir.c_str(), "--scenario", scenario.c_str(), nullptr};
    const int rc = posix_spawn(&pid_, QZSIM_PROGRAM, &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
      pid_ = -1;
      close(out[0]);
      return;
    }
    // Serving once it prints its export line.
    std::string text;
    char buf[512];
    pollfd p{out[0], POLLIN, 0};
    while (text.find("export") == std::string::npos && poll(&p, 1, 5000) > 0) {
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, size_t(n));
    }
    close(out[0]);
    ready_ = text.find("export") != std::string::npos;
    setenv("QZ_VIRTUAL_HID_DIR", (simDir + "/hid").c_str(), 1);
    setenv("QZ_DRIVER_DIR", (simDir + "/driver").c_str(), 1);
    setenv("QZ_COM7", t == Transport::Serial ? link.c_str() : (dir_ + "/no-line").c_str(), 1);
  }
  ~SimProcess() {
    kill();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ready() const { return ready_; }
  // Stops the process without ending it: its sockets stay, nothing answers any more.
  void freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

bool findOn(Transport t, DeviceHandle* h) {
  char name[QZ_MODEL_NAME_SIZE];
  switch (t) {
    case Transport::Hid: return FindHidDevice(h, name) != 0;
    case Transport::Driver: return FindQZDevice(h, name) != 0;
    case Transport::Serial:
      FindHidDevice(h, name);
      return FindRSDevice(kVictimPort, kSpeed, h, name) != 0;
  }
  return false;
}

const Export& exportNamed(const char* name) {
  for (const Export& e : exports())
    if (strcmp(e.name, name) == 0) return e;
  abort();
}

class Crash : public Faults {};

const char* const kCrashCalls[] = {"GetRawCount", "GetBaseLine", "GetParaList"};

// Each call pauses (a frame's status polls, scanning stopped for the slave's lines) long
// after its first commands, so the kill, or the stop, lands in the middle of it.
void interrupt(Transport t, const Export& e, bool hang) {
  ASSERT_NE(g_clean->handle[int(t)], QZ_NO_DEVICE) << "the clean controller was not found";
  const Outcome clean = run(e, t, {});
  ASSERT_NE(clean.result, 0);

  SimProcess sim(t);
  ASSERT_TRUE(sim.ready()) << "qzsim did not start";
  DeviceHandle h = QZ_NO_DEVICE;
  ASSERT_TRUE(findOn(t, &h));
  Args a;
  a.transport = t;
  a.serialPort = kVictimPort;
  if (e.prepare) {
    ASSERT_TRUE(e.prepare(h, a));
  }
  Arena arena(e.sizes(a));

  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hang ? sim.freeze() : sim.kill();
  });
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t result = e.call(h, a, arena.ptr.data());
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  killer.join();
  CloseDevice(h);
  sim.kill();

  // A device that never answers costs each request its time-out: the virtual HID layer
  // waits 2 s once and then gives the device up; a device-object request waits 500 ms, five
  // attempts per command (the call stops at its first failing command, plus its clean-up).
  double bound = boundOf(e, t, clean, 0);
  if (hang && t == Transport::Hid) bound += 2000;
  if (hang && t == Transport::Driver) bound += double(clean.commands.size() + 4) * 5 * 500;
  EXPECT_EQ(result, 0);
  EXPECT_LE(ms, 2 * bound + 1000) << "bound " << bound << " ms";
  EXPECT_EQ(arena.brokenGuard(), -1);
  expectCleanAnswers(t);
}

TEST_P(Crash, FailsBoundedAndClean) {
  interrupt(std::get<0>(GetParam()), exportNamed(kCrashCalls[std::get<1>(GetParam())]), false);
}

class Hang : public Faults {};

TEST_P(Hang, FailsBoundedAndClean) {
  interrupt(std::get<0>(GetParam()), exportNamed(kCrashCalls[std::get<1>(GetParam())]), true);
}

std::string crashName(const ::testing::TestParamInfo<std::tuple<Transport, size_t>>& info) {
  return std::string(transportName(std::get<0>(info.param))) + "_" + kCrashCalls[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Killed, Crash,
                         ::testing::Combine(::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                                            ::testing::Values(size_t(0), size_t(1), size_t(2))),
                         crashName);

INSTANTIATE_TEST_SUITE_P(Stopped, Hang,
                         ::testing::Combine(::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                                            ::testing::Values(size_t(2))),
                         crashName);

INSTANTIATE_TEST_SUITE_P(All, Faults,
                         ::testing::Combine(::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                                            ::testing::ValuesIn(allExports())),
                         caseName);

}  // namespace
}  // namespace qzfault
