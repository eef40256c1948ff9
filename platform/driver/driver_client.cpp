#include "driver/driver_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/clock.h"

namespace qz::driver {
namespace {

constexpr size_t kMaxInput = 64;
std::atomic<uint32_t> g_tag{0};

void putLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

uint32_t getLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

int connectObject(const char* path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t n = strlen(path);
  if (n >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, path, n + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

bool objectPath(int fd, char* out, size_t cap) {
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sun_family != AF_UNIX)
    return false;
  size_t n = strnlen(addr.sun_path, len - offsetof(sockaddr_un, sun_path));
  if (n == 0 || n >= cap) return false;
  memcpy(out, addr.sun_path, n);
  out[n] = '\0';
  return true;
}

uint32_t nextTag() {
  uint32_t t;
  do t = ++g_tag;
  while (t == 0);
  return t;
}

bool sendRequest(int fd, uint32_t tag, uint32_t code, const void* input, size_t inputLen,
                 uint32_t capacity) {
  if (fd < 0 || inputLen > kMaxInput || capacity > kMaxOutput) return false;
  uint8_t packet[12 + kMaxInput];
  putLe32(packet, tag);
  putLe32(packet + 4, code);
  putLe32(packet + 8, capacity);
  if (inputLen) memcpy(packet + 12, input, inputLen);
  // Never waits for room: a connection whose buffer is full belongs to a daemon that has
  // stopped reading, and waiting would block the caller for ever.
  ssize_t n;
  do n = send(fd, packet, 12 + inputLen, MSG_NOSIGNAL | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  return n == ssize_t(12 + inputLen);
}

Wait receiveCompletion(int fd, int timeoutMs, Completion* c, uint8_t* out, size_t cap) {
  pollfd pfd{fd, POLLIN, 0};
  int r;
  do r = poll(&pfd, 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  if (r == 0) return Wait::kTimedOut;
  if (r < 0) return Wait::kBroken;
  uint8_t head[8];
  iovec iov[2] = {{head, sizeof head}, {out, cap}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = (out && cap) ? 2 : 1;
  ssize_t n;
  do n = recvmsg(fd, &msg, 0);
  while (n < 0 && errno == EINTR);
  if (n < ssize_t(sizeof head)) return Wait::kBroken;  // closed, or not a completion
  c->tag = getLe32(head);
  c->status = int32_t(getLe32(head + 4));
  c->returned = size_t(n) - sizeof head;
  if (msg.msg_flags & MSG_TRUNC) {  // more output than the request's capacity
    c->status = -1;
    c->returned = 0;
  }
  return Wait::kCompleted;
}

bool call(int fd, uint32_t code, const void* input, size_t inputLen, void* out, size_t cap,
          size_t* returned) {
  const uint32_t tag = nextTag();
  if (!sendRequest(fd, tag, code, input, inputLen, uint32_t(cap))) return false;
  const int64_t deadline = monotonicMs() + kRequestTimeoutMs;
  for (;;) {
    int left = int(deadline - monotonicMs());
    if (left < 0) return false;
    Completion c{};
    Wait w = receiveCompletion(fd, left, &c, static_cast<uint8_t*>(out), cap);
    if (w != Wait::kCompleted) return false;
    if (c.tag != tag) continue;  // a late completion of an earlier request
    if (returned) *returned = c.returned;
    return c.status == 0;
  }
}

}  // namespace qz::driver
