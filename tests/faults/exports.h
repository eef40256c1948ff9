// Every export of the two device libraries as data: how to call it with outputs of exactly
// their size, what it needs from the controller beforehand, and what a failed call looks
// like. The fault tests run each row against every fault of faults.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qz/advanced.h"
#include "qzsim/simulator.h"

namespace qzfault {

enum class Needs : uint8_t {
  Handle,  // a handle of the controller, found before the call
  Finds,   // nothing: the call finds the controller itself
  Closed,  // the controller's slot with its handle closed (the call reopens it)
};

// What a call works with besides its outputs; prepare() fills it from the controller
// before any fault is armed.
struct Args {
  qzsim::Transport transport = qzsim::Transport::Hid;
  int serialPort = 0;
  std::string path;                     // the controller's device path
  PinNumberInfo pins{};
  RawCountBuffer frame{};               // counts, flags and transfer choice
  ParaListInfo lists{};
  std::vector<uint8_t> image;           // a parameter image laid out by lists
  ParaUISetting ui{};
  std::vector<std::string> found;       // model names an enumeration reported
};

// Bytes of one output that a call never changes, success or failure.
struct Kept {
  int out;
  size_t offset, length;
};

struct Export {
  const char* name;
  bool advanced;
  Needs needs;
  std::vector<size_t> (*sizes)(const Args&);
  // Reads from the controller what the call takes as input; false when it cannot.
  bool (*prepare)(DeviceHandle, Args&);
  // Fills the outputs before the call when they are also inputs (changed in place).
  void (*init)(const Args&, uint8_t* const* out);
  int32_t (*call)(DeviceHandle, Args&, uint8_t* const* out);
  // Closes what a successful call opened.
  void (*cleanup)(const Args&, uint8_t* const* out);
  int32_t failure;          // the result of a failed call
  uint32_t untouched;       // bit k: a failed call leaves output k as it was
  uint32_t volatileOuts;    // bit k: output k differs from run to run (a handle)
  bool refusalByte0;        // a refusal writes 0xAA into byte 0 of output 0 (SendCmd)
  bool failedOutputZero;    // a failed command shows as output 0 (32 bits) = 0 (IsFreqHop)
  bool goneFails;           // talks to the device without commands (opens it, sends a
                            // report, queries the driver): fails when the device is gone
  int fixedMs;              // settling and polling sleeps the call may add at worst
  // A command whose failure the call takes as an answer (optional reads, ignored steps).
  bool (*tolerates)(const qzsim::Packet& command);
  bool core;                // a core exchange path: every fault at every command
  std::vector<Kept> kept;
};

const std::vector<Export>& exports();
// Paths the enumerations reported during the last call (their devices stay open).
std::vector<std::string>& enumeratedPaths();

}  // namespace qzfault
