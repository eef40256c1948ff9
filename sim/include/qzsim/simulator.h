// qzsim: simulated KRX touch controllers served in-process on the transports the device
// access library talks to:
//   - virtual HID devices: SOCK_SEQPACKET sockets "hid#vid_%04x&pid_%04x#<tail>" in
//     hidDir() (point QZ_VIRTUAL_HID_DIR there);
//   - vendor-driver device objects: SOCK_SEQPACKET sockets QZUKRXM_API<n>, QZU2K_API<n>,
//     QZSKRXM_API<n>, QZS2K_API<n> in driverDir() (point QZ_DRIVER_DIR there);
//   - serial controllers on pseudo-terminals in raw mode (point QZ_COM<N> at path()).
// Each device wraps one ControllerModel (model.h). The simulator serves on threads of its
// own; every accessor below is thread-safe and may be called from the test thread while
// clients talk to the devices. Replies come with no added latency unless a fault says so.
//
// What a client reads: a HID read-feature request (op 2) and a driver read answer the reply
// to the last command taken (a zero packet before any command). While replies are switched
// off (D0 until D1) commands are carried out but change nothing a read shows, so reads keep
// showing the D0 reply and a serial line stays silent. After an FA has been answered and
// its reply read once, every read takes the next bulk block instead, until the next command.
// Failed requests carry a negative errno value as status (-22 malformed, -5 refused by a
// fault or a wrong report id, -90 output capacity too small, -95 unknown op or code) and no
// bytes.
//
//   qzsim::Simulator sim;                       // private 0700 directory under $TMPDIR
//   auto& dev = sim.addHid(qzsim::Controller{});
//   sim.start();
//   sim.exportEnvironment();                    // QZ_VIRTUAL_HID_DIR, QZ_DRIVER_DIR
//   dev.addFault(qzsim::Fault::refuse(0xE1));   // the next E1 is refused
//   ... drive the library ...
//   EXPECT_EQ(dev.commands().front(), (qzsim::Packet{0xEE, 0, 0, 0, 0}));
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qzsim/model.h"

namespace qzsim {

enum class Transport : uint8_t { Hid, Driver, Serial };

// HID request ops.
enum HidOp : uint32_t { kSendFeature = 1, kGetFeature = 2, kSendOutput = 3, kReadInput = 4 };

// Driver request codes.
constexpr uint32_t kVersionMajor = 0x223C00;
constexpr uint32_t kVersionMinor = 0x223C04;
constexpr uint32_t kVersionThird = 0x223C80;
constexpr uint32_t kNotifyFirst = 0x223D44;
constexpr uint32_t kSendOlder = 0x223D48;
constexpr uint32_t kReadOlder = 0x223D4C;
constexpr uint32_t kNotifySecond = 0x223D84;
constexpr uint32_t kSendNewer = 0x223D88;
constexpr uint32_t kReadNewer = 0x223D8C;

// Serial record ops.
enum SerialOp : uint32_t { kSerialFrame = 1, kSerialDiscarded = 2 };

// One request a device received, recorded before it is served.
struct Request {
  Transport transport = Transport::Hid;
  uint32_t op = 0;          // HID op (HidOp), driver control code, or SerialOp
  uint32_t length = 0;      // HID length field, driver output capacity, serial byte count
  uint32_t tag = 0;         // driver requests: the client's tag
  uint32_t connection = 0;  // 1, 2, ... per device in order of connection (serial: 1)
  uint64_t timeUs = 0;      // CLOCK_MONOTONIC, microseconds
  // HID: the data after the 8-byte header (report id first); driver: the input bytes;
  // serial: the frame as received (six bytes), or the bytes discarded. At most 4096 kept.
  std::vector<uint8_t> bytes;
  bool wellFormed = true;   // false: the header was malformed and the request refused

  // Driver requests: 1 for the older send/read codes, 2 for the newer ones, else 0.
  int generation() const;
  // The command packet this request carried (HID send feature, driver send, serial
  // frame), or false.
  bool packet(Packet* out) const;
};

constexpr int kAnyOpcode = -1;
constexpr int kForever = -1;

enum class FaultKind : uint8_t {
  NoAnswer,        // the command is ignored: not carried out, no reply (reads keep the
                   // previous report; serial sends nothing)
  Stale,           // carried out, but the first `value` reads (serial: frames sent) show a
                   // stale packet of another opcode before the reply
  Refuse,          // not carried out; answered AA and bytes 1..4 of the command
  SendFail,        // HID send feature / driver send completes with a non-zero status;
                   // the command is not taken (serial: same as NoAnswer)
  Delay,           // carried out; the reply becomes readable `value` ms after the send
                   // (earlier reads see the previous report); serial: sent after `value` ms
  ReadFail,        // after `value` good reads the next HID read feature / driver read of
                   // this command (its reply or a bulk block) fails with a non-zero status
  LateCompletion,  // driver: the send's completion is held back `value` ms (later
                   // completions on that connection wait behind it)
  SplitReply,      // serial: the reply frame goes out in `value` parts, `value2` ms apart
  BadChecksum,     // serial: the reply frame carries a wrong checksum
  Garbage,         // serial: `value` garbage bytes go out before the reply frame
  Reply,           // carried out, but answered with `reply` instead
  Vanish,          // the device goes away as removed: with `value` < 0 at the send (not
                   // carried out, the send never completes); else the command is carried
                   // out and answered, and the device goes away before the read after
                   // `value` reads of it (HID, driver) or after `value` bytes of the reply
                   // frame (serial, 0 to 5)
  Silence = NoAnswer,
};

// A scripted fault: applies to the next `times` commands with the opcode (or any opcode),
// kForever for every one. Faults are tried in the order they were added; the first one that
// matches and has uses left applies to a command, and only that one.
struct Fault {
  FaultKind kind = FaultKind::NoAnswer;
  int opcode = kAnyOpcode;
  int times = 1;
  int value = 0;
  int value2 = 0;
  Packet reply{};

  static Fault noAnswer(int opcode = kAnyOpcode, int times = 1);
  static Fault stale(int opcode, int reads, int times = 1);
  static Fault refuse(int opcode = kAnyOpcode, int times = 1);
  static Fault sendFail(int opcode = kAnyOpcode, int times = 1);
  static Fault delay(int opcode, int ms, int times = 1);
  static Fault readFail(int opcode, int goodReads = 0, int times = 1);
  static Fault lateCompletion(int opcode, int ms, int times = 1);
  static Fault splitReply(int opcode, int parts, int gapMs, int times = 1);
  static Fault badChecksum(int opcode = kAnyOpcode, int times = 1);
  static Fault garbage(int opcode, int bytes, int times = 1);
  static Fault replyWith(int opcode, const Packet& reply, int times = 1);
  static Fault vanish(int opcode = kAnyOpcode, int reads = -1);
};

class Simulator;

// One served controller. Owned by its Simulator; the reference stays valid until the
// Simulator is destroyed, also after remove().
class Device {
 public:
  Transport transport() const;
  // The name a client uses: "\\?\hid#..." for HID, the socket's full path for a device
  // object, the symlink (or the pty slave path) for serial.
  std::string path() const;
  // The socket path, or for serial the pty slave path.
  const std::string& endpoint() const;
  // Serial: the symlink made to the slave, or empty.
  const std::string& link() const;

  // Every request received so far, oldest first.
  std::vector<Request> requests() const;
  // The command packets received (see Request::packet), oldest first.
  std::vector<Packet> commands() const;
  void clearRequests();
  // Recording is on by default; off, requests are not kept. Recording allocates only when
  // its storage grows (clearRequests keeps the storage).
  void setRecording(bool on);
  // Waits until at least n requests have been recorded; false on time-out.
  bool waitForRequests(size_t n, std::chrono::milliseconds timeout) const;

  // Scripted faults (see Fault). clearFaults drops every fault, used up or not.
  void addFault(const Fault& fault);
  void clearFaults();

  // Runs fn on the live model under the device lock: change the description (D2 reply,
  // block size, versions, status registers, ...), read the state, or send a command past
  // the transports. fn must not call back into this Device.
  void modify(const std::function<void(ControllerModel&)>& fn);
  ModelState state() const;
  // Shorthands for modify().
  void setD2(uint32_t size, uint8_t waitMs);
  void setBlockSize(uint16_t size);
  void setBulkValues(std::vector<uint16_t> values);
  void setDriverVersion(int32_t major, int32_t minor, int32_t third);

  // Touch state report (0x0A enabled, 0x8A disabled): completes the oldest outstanding
  // notification request of a device object (none: kept, the latest one completing the
  // next request at once); on a HID device an input report of that byte and four zeros.
  void raiseTouchState(uint8_t state);
  // HID: an input report (data after the report id), answered to a pending or the next
  // read-input request of every connection.
  void queueInput(std::vector<uint8_t> data);
  // raiseTouchState / queueInput after a delay, on the simulator's timeline thread.
  void scheduleTouchState(std::chrono::milliseconds after, uint8_t state);
  void scheduleInput(std::chrono::milliseconds after, std::vector<uint8_t> data);
  // Notification requests waiting for a report, over all connections.
  size_t outstandingNotifications() const;
  // Open client connections.
  size_t connections() const;

  // Takes the device away while running: the socket (or pty link) disappears and every
  // connection is closed (serial: the pty master is closed, so reads end).
  void remove();
  bool removed() const;

  struct Impl;
  explicit Device(std::unique_ptr<Impl> impl);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct SimulatorOptions {
  // Root directory. Empty: a fresh private directory "qzsim-XXXXXX" under $TMPDIR (or
  // /tmp), removed again by the destructor. Given: created 0700 when missing, kept.
  std::string dir;
  // HID and driver directories; empty: <dir>/hid and <dir>/driver (both 0700).
  std::string hidDir;
  std::string driverDir;
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  // Stops serving and removes every socket and link it made (and its private directory).
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Serves the controller as a virtual HID device (socket hidSocketName() in hidDir(),
  // mode 0600). Throws std::runtime_error when the socket cannot be made.
  Device& addHid(const Controller& controller);
  // Serves the controller as a device object `name` (e.g. "QZUKRXM_API0") in driverDir().
  Device& addDriverObject(const Controller& controller, const std::string& name);
  // Serves the controller on a new pseudo-terminal; with `link` not empty, a symlink of
  // that path (relative paths under dir()) is made to the slave.
  Device& addSerial(const Controller& controller, const std::string& link = {});

  // Starts serving on the simulator's threads (devices added later serve at once).
  void start();
  // Stops serving: closes every connection; sockets stay until the destructor.
  void stop();
  bool running() const;

  const std::string& dir() const;
  const std::string& hidDir() const;
  const std::string& driverDir() const;
  // Sets QZ_VIRTUAL_HID_DIR and QZ_DRIVER_DIR of this process to hidDir() and driverDir().
  void exportEnvironment() const;

  std::vector<Device*> devices();

  // Adds the controllers a scenario file describes (format in sim/scenarios/README.md).
  // Throws std::runtime_error with the line number on a malformed file.
  std::vector<Device*> loadScenario(const std::string& path);
  std::vector<Device*> loadScenarioText(const std::string& text);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qzsim
