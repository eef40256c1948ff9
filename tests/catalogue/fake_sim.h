// A stand-in for the parts of the controller simulator these tests use, with the same
// names and meanings (Simulator, Device, Controller, Fault, Request), serving virtual HID
// controllers only. Its model answers every command with the command itself except the few
// whose reply the description fixes, and a scripted answer (Fault::answer) gives any reply.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace catfake {

using Packet = std::array<uint8_t, 5>;

enum class Family : uint8_t { Krxm = 0, TwoK = 1 };
enum HidOp : uint32_t { kSendFeature = 1, kGetFeature = 2, kSendOutput = 3, kReadInput = 4 };

struct Chip {
  uint16_t modelNumber = 4321;
  uint8_t modelLetter = 1;
};

struct Controller {
  Family family = Family::Krxm;
  uint16_t vendorId = 0x7a3d;
  uint16_t productId = 0x7480;
  std::string tail = "sim0";
  int reportId = -1;  // -1: 1 for 7413 and 7416, else 0
  std::vector<Chip> chips = std::vector<Chip>(1);
  uint32_t e7Value = 0x01020304;
  uint32_t d2Size = 64;
  uint8_t d2Wait = 0;
  uint16_t d3Size = 64;
  std::array<uint8_t, 4> d4Reply = {0, 0, 0, 0};
  uint16_t blockSize = 64;

  static Controller twoK();
  int effectiveReportId() const;
  std::string hidSocketName() const;
};

struct Request {
  uint32_t op = 0;
  uint32_t length = 0;
  uint64_t timeUs = 0;         // CLOCK_MONOTONIC, microseconds
  std::vector<uint8_t> bytes;  // data after the header, report id first
  bool packet(Packet* out) const;
};

constexpr int kAnyOpcode = -1;
constexpr int kForever = -1;

enum class FaultKind : uint8_t { NoAnswer, Refuse, ReadFail, Answer };

struct Fault {
  FaultKind kind = FaultKind::NoAnswer;
  int opcode = kAnyOpcode;
  int times = 1;
  int value = 0;
  std::array<uint8_t, 4> bytes{};

  static Fault noAnswer(int opcode = kAnyOpcode, int times = 1);
  static Fault refuse(int opcode = kAnyOpcode, int times = 1);
  static Fault readFail(int opcode, int goodReads = 0, int times = 1);
  // Not carried out; answered with the opcode and these four bytes.
  static Fault answer(int opcode, std::array<uint8_t, 4> bytes, int times = 1);
};

class Device {
 public:
  explicit Device(Controller c) : desc_(std::move(c)) {}
  std::string path() const { return "\\\\?\\" + desc_.hidSocketName(); }
  std::vector<Request> requests() const;
  std::vector<Packet> commands() const;
  void clearRequests();
  void setRecording(bool on);
  void addFault(const Fault& f);
  void clearFaults();
  void setD2(uint32_t size, uint8_t waitMs);
  void setBlockSize(uint16_t size);
  void setBulkValues(std::vector<uint16_t> values);

  // Serves one request; returns the answer (status, data).
  std::vector<uint8_t> serve(const uint8_t* req, size_t len);

 private:
  Fault* matchFault(uint8_t opcode);
  Packet replyTo(const Packet& cmd, bool* answered);

  mutable std::mutex mutex_;
  Controller desc_;
  std::vector<Fault> faults_;
  std::vector<Request> requests_;
  bool recording_ = true;
  std::vector<uint16_t> bulk_;
  size_t bulkPos_ = 0;
  bool bulkActive_ = false;  // an FA was answered and its reply read
  bool faAnswered_ = false;  // an FA reply waits to be read
  std::array<uint8_t, 6> report_{};  // what a reply read returns
  int goodReadsLeft_ = 0;
  bool readFaultArmed_ = false;
};

class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  Device& addHid(const Controller& c);
  void start();
  void exportEnvironment() const;
  const std::string& hidDir() const { return dir_; }

 private:
  void serveLoop();
  std::string dir_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<int> listeners_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
};

}  // namespace catfake
