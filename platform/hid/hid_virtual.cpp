// Virtual HID devices: SOCK_SEQPACKET sockets named "hid#vid_xxxx&pid_yyyy#<tail>" in
// $QZ_VIRTUAL_HID_DIR. One request is one packet (u8 op, 3 zero bytes, u32 LE length,
// data); one answer is one packet (i32 LE status, then data for ops 2 and 4).
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hid/hid_layer.h"

namespace qz::hid {
namespace {

constexpr char kPrefix[] = "\\\\?\\";
constexpr int kAnswerTimeoutMs = 2000;  // a device that answers later is taken as gone

enum Op : uint8_t { kSendFeature = 1, kGetFeature = 2, kSendOutput = 3, kReadInput = 4 };

struct VirtualDevice {
  int fd;
  bool inputPending;  // an op-4 request is out and its answer not yet read
};

const char* dir() {
  const char* d = getenv("QZ_VIRTUAL_HID_DIR");
  return d && *d ? d : nullptr;
}

// The socket name of a virtual device: "hid#vid_" + 4 + "&pid_" + 4 + "#" + a tail without
// a slash, so a path never leaves the directory.
bool validName(const char* name) {
  size_t n = strlen(name);
  return n > 22 && strncmp(name, "hid#vid_", 8) == 0 && strncmp(name + 12, "&pid_", 5) == 0 &&
         name[21] == '#' && !strchr(name, '/');
}

bool socketAddress(const char* name, sockaddr_un* addr) {
  const char* d = dir();
  if (!d) return false;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  int n = snprintf(addr->sun_path, sizeof addr->sun_path, "%s/%s", d, name);
  return n > 0 && size_t(n) < sizeof addr->sun_path;
}

bool enumerateVirtual(void* ctx, void (*add)(void*, const char*)) {
  const char* d = dir();
  if (!d) return false;
  DIR* dp = opendir(d);
  if (!dp) return false;
  std::vector<std::string> names;
  try {
    while (dirent* e = readdir(dp)) {
      if (!validName(e->d_name) || strlen(e->d_name) + 4 >= kPathSize) continue;
      struct stat st;
      std::string full = std::string(d) + "/" + e->d_name;
      if (stat(full.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) names.emplace_back(e->d_name);
    }
  } catch (...) {
    closedir(dp);
    return false;
  }
  closedir(dp);
  std::sort(names.begin(), names.end());  // byte order of the names
  char path[kPathSize];
  for (const auto& n : names) {
    snprintf(path, sizeof path, "%s%s", kPrefix, n.c_str());
    add(ctx, path);
  }
  return true;
}

bool claimsVirtual(const char* path) {
  return dir() && strncmp(path, kPrefix, 4) == 0 && validName(path + 4);
}

void* openVirtual(const char* path, int* err) {
  sockaddr_un addr;
  if (!claimsVirtual(path) || !socketAddress(path + 4, &addr)) {
    *err = ENOENT;
    return nullptr;
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *err = errno;
    ::close(fd);
    return nullptr;
  }
  // Answers to report requests come within the bound or never: a receive time-out saves
  // the poll before every receive.
  timeval bound{kAnswerTimeoutMs / 1000, (kAnswerTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  auto* dev = new (std::nothrow) VirtualDevice{fd, false};
  if (!dev) {
    ::close(fd);
    *err = ENOMEM;
  }
  return dev;
}

void closeVirtual(void* p) {
  auto* dev = static_cast<VirtualDevice*>(p);
  if (dev->fd >= 0) ::close(dev->fd);
  delete dev;
}

// A device that misbehaves (late or malformed answer) is cut off: later answers could
// otherwise be taken for replies to later requests.
void cutOff(VirtualDevice* dev) {
  if (dev->fd >= 0) ::close(dev->fd);
  dev->fd = -1;
}

bool sendRequest(VirtualDevice* dev, uint8_t op, const uint8_t* data, size_t dataLen,
                 uint32_t lengthField) {
  if (dev->fd < 0) return false;
  uint8_t header[8] = {op, 0, 0, 0, uint8_t(lengthField), uint8_t(lengthField >> 8),
                       uint8_t(lengthField >> 16), uint8_t(lengthField >> 24)};
  iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(data), dataLen}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = dataLen ? 2 : 1;
  ssize_t n;
  do n = sendmsg(dev->fd, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n != ssize_t(sizeof header + dataLen)) {
    cutOff(dev);
    return false;
  }
  return true;
}

// Waits for one answer. Returns the number of data bytes (after the status), -1 on a
// failure status, -2 when the device is gone or silent, -3 on time-out (readInput only).
ssize_t readAnswer(VirtualDevice* dev, uint8_t* data, size_t cap, int timeoutMs, bool keepOnTimeout) {
  if (dev->fd < 0) return -2;
  if (timeoutMs != kAnswerTimeoutMs) {  // the socket's own time-out covers the usual bound
    pollfd pfd{dev->fd, POLLIN, 0};
    int r;
    do r = poll(&pfd, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    if (r == 0 && keepOnTimeout) return -3;
    if (r <= 0) {
      cutOff(dev);
      return -2;
    }
  }
  uint8_t status[4];
  iovec iov[2] = {{status, sizeof status}, {data, cap}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = cap ? 2 : 1;
  ssize_t n;
  do n = recvmsg(dev->fd, &msg, 0);
  while (n < 0 && errno == EINTR);
  if (n < 4 || (msg.msg_flags & MSG_TRUNC)) {  // closed, timed out, or not an answer
    cutOff(dev);
    return -2;
  }
  int32_t s = int32_t(uint32_t(status[0]) | uint32_t(status[1]) << 8 | uint32_t(status[2]) << 16 |
                      uint32_t(status[3]) << 24);
  if (s != 0) return n == 4 ? -1 : (cutOff(dev), -2);
  return n - 4;
}

bool statusOnly(VirtualDevice* dev) {
  return readAnswer(dev, nullptr, 0, kAnswerTimeoutMs, false) == 0;
}

bool sendFeatureVirtual(void* p, const uint8_t* data, size_t len) {
  auto* dev = static_cast<VirtualDevice*>(p);
  return sendRequest(dev, kSendFeature, data, len, uint32_t(len)) && statusOnly(dev);
}

bool writeOutputVirtual(void* p, const uint8_t* data, size_t len) {
  auto* dev = static_cast<VirtualDevice*>(p);
  return sendRequest(dev, kSendOutput, data, len, uint32_t(len)) && statusOnly(dev);
}

bool getFeatureVirtual(void* p, uint8_t* data, size_t len) {
  auto* dev = static_cast<VirtualDevice*>(p);
  if (!sendRequest(dev, kGetFeature, data, len, uint32_t(len))) return false;
  ssize_t n = readAnswer(dev, data, len, kAnswerTimeoutMs, false);
  if (n >= 0 && size_t(n) != len) {
    cutOff(dev);  // the protocol promises exactly len bytes
    return false;
  }
  return n >= 0;
}

int readInputVirtual(void* p, uint8_t* data, size_t cap, int timeoutMs) {
  auto* dev = static_cast<VirtualDevice*>(p);
  if (!dev->inputPending) {
    if (!sendRequest(dev, kReadInput, nullptr, 0, uint32_t(cap))) return -1;
    dev->inputPending = true;
  }
  ssize_t n = readAnswer(dev, data, cap, timeoutMs, true);
  if (n == -3) return 0;
  dev->inputPending = false;
  return n < 0 ? -1 : int(n);
}

}  // namespace

const Backend kVirtualBackend = {
    "virtual",        enumerateVirtual,   claimsVirtual,      openVirtual, closeVirtual,
    sendFeatureVirtual, getFeatureVirtual, writeOutputVirtual, readInputVirtual,
};

}  // namespace qz::hid
