// Client side of the vendor-driver device-object protocol. A device object is a
// SOCK_SEQPACKET Unix socket; one request is one packet (u32 tag, u32 control code,
// u32 output capacity, all little-endian, then the input bytes) and one completion is one
// packet (u32 tag, i32 status with 0 = completed, then the output bytes).
//
// Used by the device access library for its exchanges and by programs that watch the
// touch state on a connection of their own. Nothing here allocates or prints.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qz::driver {

// Request codes of the driver.
constexpr uint32_t kVersionMajor = 0x223C00;
constexpr uint32_t kVersionMinor = 0x223C04;
constexpr uint32_t kVersionThird = 0x223C80;
constexpr uint32_t kNotify1 = 0x223D44;
constexpr uint32_t kSendOld = 0x223D48;
constexpr uint32_t kReadOld = 0x223D4C;
constexpr uint32_t kNotify2 = 0x223D84;
constexpr uint32_t kSendNew = 0x223D88;
constexpr uint32_t kReadNew = 0x223D8C;

// How long a request that completes at once may take before it counts as failed.
constexpr int kRequestTimeoutMs = 500;
// Largest output a request may ask for (one bulk block).
constexpr size_t kMaxOutput = 65536;

// Connects to the device object at path; returns the descriptor or -1 (errno set).
int connectObject(const char* path);
// The path of the object a connected descriptor talks to (getpeername); false if unknown.
bool objectPath(int fd, char* out, size_t cap);
// A fresh tag, never 0, unique within the process.
uint32_t nextTag();

// Sends one request without waiting. False when the connection is broken or full (the
// daemon reads nothing) or the input too long.
bool sendRequest(int fd, uint32_t tag, uint32_t code, const void* input, size_t inputLen,
                 uint32_t capacity);

struct Completion {
  uint32_t tag;
  int32_t status;   // 0 = completed
  size_t returned;  // output bytes delivered into the caller's buffer
};

enum class Wait { kCompleted, kTimedOut, kBroken };

// Waits up to timeoutMs (-1 for ever) for the next completion on fd and reads it,
// output into out (capacity cap). A completion carrying more than cap bytes is read whole
// but reported with status -1 and returned 0, so nothing is written past cap.
Wait receiveCompletion(int fd, int timeoutMs, Completion* c, uint8_t* out, size_t cap);

// One request that completes at once: sends it and waits, within kRequestTimeoutMs in all,
// for the completion with its tag, dropping completions of other tags (late ones of earlier
// requests). True when it completed with status 0; *returned gets the output count.
bool call(int fd, uint32_t code, const void* input, size_t inputLen, void* out, size_t cap,
          size_t* returned);

}  // namespace qz::driver
