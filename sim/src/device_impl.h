// Internals shared by the transports of the simulator.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzsim/simulator.h"

namespace qzsim {

uint64_t nowUs();

// Status values of failed HID requests and driver completions (negative errno values).
constexpr int32_t kStatusMalformed = -22;    // EINVAL
constexpr int32_t kStatusFailed = -5;        // EIO: scripted failure, wrong report id
constexpr int32_t kStatusTooSmall = -90;     // EMSGSIZE: output capacity too small
constexpr int32_t kStatusUnsupported = -95;  // EOPNOTSUPP: unknown op or code
constexpr int32_t kStatusCancelled = -125;   // ECANCELED

// Largest request and answer payloads.
constexpr size_t kMaxFeature = 65537;  // feature report with report id
constexpr size_t kMaxDriverOutput = 65536;
constexpr size_t kKeptRequestBytes = 4096;  // recorded bytes per request

struct Connection {
  int fd = -1;
  uint32_t id = 0;
  std::thread thread;
  bool done = false;  // the serving thread has left (under the device lock)
  // HID input reports waiting for a read-input request, and read-input requests waiting
  // for a report.
  std::deque<std::vector<uint8_t>> inputQueue;
  unsigned pendingInputReads = 0;
  uint32_t inputCapacity = 0;
};

struct Outstanding {
  Connection* conn;
  uint32_t tag;
};

struct Device::Impl {
  Simulator::Impl* sim = nullptr;
  Transport transport = Transport::Hid;
  std::string endpoint;  // socket path or pty slave path
  std::string link;      // serial symlink
  std::string name;      // socket name
  int listenFd = -1;
  int stopFd = -1;       // eventfd that ends the accept or serial thread
  int ptyMaster = -1;
  int ptySlave = -1;     // kept open so the line keeps its settings between clients
  std::thread server;    // accept thread, or the serial thread

  mutable std::mutex mu;
  mutable std::condition_variable recorded;
  ControllerModel model;
  uint8_t reportId = 0;

  // What a read shows: the last reply, a reply that becomes visible later, stale packets.
  Packet visible{};
  bool replyCurrent = false;  // visible is the reply to the last command taken
  Packet pending{};
  bool hasPending = false;
  uint64_t pendingAtUs = 0;
  int staleReads = 0;
  Packet stalePacket{};
  int readFailAfter = -1;  // good reads left before a scripted read failure; -1 none
  bool bulkReplySeen = false;  // the FA reply has been read: reads now take blocks
  int vanishAfterReads = -1;   // reads left before a scripted vanish; -1 none
  bool vanishing = false;      // gone: nothing is answered any more, removal under way

  std::vector<Fault> faults;
  bool recording = true;
  // Records without their bytes, which live back to back in one arena: both only grow, so
  // recording does not allocate once their capacity suffices.
  struct Entry {
    Transport transport;
    bool wellFormed;
    uint32_t op, length, tag, connection;
    uint64_t timeUs;
    size_t offset, size;
  };
  std::vector<Entry> records;
  std::vector<uint8_t> arena;
  Request expand(const Entry& e) const;
  void markMalformed() {
    if (recording && !records.empty()) records.back().wellFormed = false;
  }

  std::vector<std::unique_ptr<Connection>> conns;
  uint32_t nextConn = 1;
  std::deque<Outstanding> outstanding;  // notification requests, oldest first
  bool haveLatest = false;
  uint8_t latest = 0;
  std::deque<std::vector<uint8_t>> inputBacklog;  // reports raised with no connection
  bool removed = false;
  bool serving = false;
  std::condition_variable stopCv;  // wakes pauses when serving stops

  explicit Impl(const Controller& c) : model(c), reportId(uint8_t(c.effectiveReportId())) {}

  // Under mu.
  void record(Transport t, uint32_t op, uint32_t length, uint32_t tag, uint32_t conn,
              const uint8_t* data, size_t n);
  // Under mu: the first usable fault for the opcode, used up by one; false when none.
  bool takeFault(uint8_t opcode, Fault* out);
  // Under mu: a command arrives. Returns false when it is not taken (send failure).
  // *reply / *answered: what the controller answers at once (serial uses it).
  struct Outcome {
    bool accepted = true;   // the send itself succeeded
    bool answered = false;  // a reply was produced
    Packet reply{};
    Fault fault{};
    bool faulted = false;
  };
  Outcome takeCommand(const Packet& cmd);
  // Under mu: what a read of the reply shows now (consumes stale reads). *current is true
  // when it is the reply to the last command.
  Packet readReply(bool* current);
  // Under mu: what a read would show without consuming anything.
  Packet peekReply() const;
  // Under mu: a scripted read failure applies to this read.
  bool readFails();
  // Under mu: a scripted vanish applies to this read (the device is then going away).
  bool readVanishes();
  // Under mu: the device goes away now: every connection is shut down at once, and the
  // removal itself finishes on the simulator's timeline thread.
  void vanishLocked();

  void startServing();
  void stopServing();
  void removeNow();
  void serveConnection(Connection* c);
  void acceptLoop();
  void serialLoop();
  void hidRequest(Connection* c, const uint8_t* buf, size_t n, bool truncated, uint8_t* answer);
  void driverRequest(Connection* c, const uint8_t* buf, size_t n, bool truncated, uint8_t* answer);
  void queueInputLocked(const std::vector<uint8_t>& data);
  void raiseLocked(uint8_t state);
  void reap();  // joins the threads of connections that have ended
};

}  // namespace qzsim
