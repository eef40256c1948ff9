#include "raw_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace rawsim {

namespace {
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
}  // namespace

int connectSeqpacket(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return -1;
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendRaw(int fd, const Bytes& p) {
  return send(fd, p.data(), p.size(), MSG_NOSIGNAL) == ssize_t(p.size());
}

bool receive(int fd, Bytes* p, int timeoutMs) {
  pollfd pf{fd, POLLIN, 0};
  if (poll(&pf, 1, timeoutMs) <= 0) return false;
  p->assign(70000, 0);
  ssize_t n = recv(fd, p->data(), p->size(), 0);
  if (n <= 0) return false;
  p->resize(size_t(n));
  return true;
}

bool peerClosed(int fd, int timeoutMs) {
  pollfd pf{fd, POLLIN, 0};
  if (poll(&pf, 1, timeoutMs) <= 0) return false;
  uint8_t b[16];
  return recv(fd, b, sizeof b, MSG_DONTWAIT) == 0;
}

Hid::Hid(const std::string& path) : fd_(connectSeqpacket(path)) {}
Hid::~Hid() {
  if (fd_ >= 0) ::close(fd_);
}

HidAnswer Hid::request(uint8_t op, uint32_t length, const Bytes& data, int timeoutMs) {
  Bytes p = {op, 0, 0, 0};
  put32(p, length);
  p.insert(p.end(), data.begin(), data.end());
  HidAnswer a;
  Bytes in;
  if (!sendRaw(fd_, p) || !receive(fd_, &in, timeoutMs) || in.size() < 4) return a;
  a.arrived = true;
  a.status = int32_t(le32(in.data()));
  a.data.assign(in.begin() + 4, in.end());
  return a;
}

HidAnswer Hid::getFeature(uint8_t reportId, uint32_t length) {
  Bytes d(length, 0);
  if (length) d[0] = reportId;
  return request(2, length, d);
}

bool Hid::sendReadInput(uint32_t cap) {
  Bytes p = {4, 0, 0, 0};
  put32(p, cap);
  return sendRaw(fd_, p);
}

Driver::Driver(const std::string& path) : fd_(connectSeqpacket(path)) {}
Driver::~Driver() { close(); }
void Driver::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Driver::send(uint32_t tag, uint32_t code, uint32_t capacity, const Bytes& input) {
  Bytes p;
  put32(p, tag);
  put32(p, code);
  put32(p, capacity);
  p.insert(p.end(), input.begin(), input.end());
  return sendRaw(fd_, p);
}

Completion Driver::next(int timeoutMs) {
  Completion c;
  Bytes in;
  if (!receive(fd_, &in, timeoutMs) || in.size() < 8) return c;
  c.arrived = true;
  c.tag = le32(in.data());
  c.status = int32_t(le32(in.data() + 4));
  c.out.assign(in.begin() + 8, in.end());
  return c;
}

Completion Driver::call(uint32_t tag, uint32_t code, uint32_t capacity, const Bytes& input) {
  if (!send(tag, code, capacity, input)) return {};
  return next();
}

Serial::Serial(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return;
  termios t;
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B38400);
  tcsetattr(fd_, TCSANOW, &t);
}
Serial::~Serial() {
  if (fd_ >= 0) ::close(fd_);
}

bool Serial::write(const Bytes& b) { return ::write(fd_, b.data(), b.size()) == ssize_t(b.size()); }

Bytes Serial::read(size_t n, int timeoutMs) {
  Bytes out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    uint8_t b[64];
    ssize_t k = ::read(fd_, b, std::min(sizeof b, n - out.size()));
    if (k <= 0) break;
    out.insert(out.end(), b, b + k);
  }
  return out;
}

Bytes Serial::frame(const Bytes& five) {
  Bytes f = five;
  unsigned s = 0;
  for (uint8_t b : five) s += b;
  f.push_back(uint8_t(~s));
  return f;
}

}  // namespace rawsim
