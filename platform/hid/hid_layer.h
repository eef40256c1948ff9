// The HID layer: HID device interfaces of the machine (hidraw through hidapi) and virtual
// devices (Unix sockets of a simulator) behind one interface, with Windows-shaped paths
// "\\?\hid#vid_%04x&pid_%04x#<node>" so that the vendor id sits at characters 12-15 and
// the product id at 21-24.
//
// Handles are the layer's own values (never file descriptors) and are never reused within
// a process, so a stale handle can only fail. Nothing here allocates per report.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qz::hid {

constexpr intptr_t kNoHandle = -1;
constexpr size_t kPathSize = 260;          // Windows MAX_PATH, terminator included
constexpr size_t kMaxReport = 65536 + 1;   // largest feature report, report id included

// One back end (hidapi, virtual sockets): a table of operations. Every operation returns
// at once or after a bounded wait; none prints.
struct Backend {
  const char* name;
  // Lists this back end's device interfaces in a stable order, calling add for each with
  // its Windows-shaped path. Returns false when the list cannot be had.
  bool (*enumerate)(void* ctx, void (*add)(void* ctx, const char* path));
  // True when the path names one of this back end's devices (by its shape only).
  bool (*claims)(const char* path);
  // Opens the device; nullptr on failure with *err set to an errno value.
  void* (*open)(const char* path, int* err);
  void (*close)(void* dev);
  // Feature report, report id in data[0]. True when the device accepted it.
  bool (*sendFeature)(void* dev, const uint8_t* data, size_t len);
  // Reads a feature report of exactly len bytes into data (data[0] names the report).
  // True when len bytes arrived; data may be partly written on failure.
  bool (*getFeature)(void* dev, uint8_t* data, size_t len);
  // Output report, report id in data[0]. True when accepted.
  bool (*writeOutput)(void* dev, const uint8_t* data, size_t len);
  // Reads one input report (report id first, 0 when unnumbered) waiting up to timeoutMs
  // (-1 for ever). Returns its length, 0 on time-out, -1 when the device is gone.
  int (*readInput)(void* dev, uint8_t* data, size_t cap, int timeoutMs);
};

extern const Backend kHidapiBackend;
extern const Backend kVirtualBackend;

// Lists every HID device interface: real devices first (unless QZ_NO_REAL_HID=1), then
// virtual ones from QZ_VIRTUAL_HID_DIR. visit returns false to stop. Returns false when no
// list could be had at all.
bool enumerate(void* ctx, bool (*visit)(void* ctx, const char* path));

// Opens a path from enumerate. Returns kNoHandle on failure; lastOpenError() tells why.
intptr_t open(const char* path);
int lastOpenError();
// Closes a handle of this layer; false (and nothing done) for a handle it does not know.
bool close(intptr_t handle);
bool isOpen(intptr_t handle);

bool sendFeature(intptr_t handle, const uint8_t* data, size_t len);
bool getFeature(intptr_t handle, uint8_t* data, size_t len);
bool writeOutput(intptr_t handle, const uint8_t* data, size_t len);
int readInput(intptr_t handle, uint8_t* data, size_t cap, int timeoutMs);

// Parses "\\?\hid#vid_XXXX&pid_YYYY#..." into vendor and product id; false if malformed.
bool parsePath(const char* path, uint16_t* vendor, uint16_t* product);

}  // namespace qz::hid
