// Device arrival and removal on Linux: a watch is a thread of its own that polls its
// sources (inotify on a directory of device sockets, a udev monitor of hidraw devices) and
// reports every change with the Windows-shaped interface name of the device.
#pragma once
#include <cstddef>

namespace qz::notify {

enum class Change { kArrival, kRemoval };

// Called on the watch's thread for each change; name is valid only during the call.
using Sink = void (*)(void* ctx, Change change, const char* name);
// Turns a directory entry's name into an interface name (out, capacity cap); false to
// leave the entry unreported.
using NameMap = bool (*)(const char* entry, char* out, size_t cap);

class Watch;

// An empty watch, or nullptr when out of memory.
Watch* create();
// Adds an inotify watch of the sockets in dir and of dir's parent, so that a directory made
// later, or removed and made again, is followed; the sockets found in it when it appears
// are reported as arrivals. False when neither dir nor its parent can be watched.
bool addDirectory(Watch* w, const char* dir, NameMap map);
// Adds a udev monitor of hidraw devices, named "\\?\hid#vid_%04x&pid_%04x#hidrawN" from the
// USB ids of their HID parent. False when no monitor can be had.
bool addHidraw(Watch* w);
// Starts the thread; false when the watch has no source or the thread cannot start.
bool start(Watch* w, Sink sink, void* ctx);
// Stops and frees the watch. When called from another thread it waits for the watch's
// thread, so no sink call runs after it returns; from the watch's own thread (inside the
// sink) the thread ends and frees the watch after the sink returns, reporting nothing more.
void destroy(Watch* w);

// The interface name of a hidraw node from its parent's HID_ID ("0003:00007A3D:00007413").
// False when hidId is malformed or the name does not fit.
bool hidrawInterfaceName(const char* hidId, const char* node, char* out, size_t cap);

}  // namespace qz::notify
