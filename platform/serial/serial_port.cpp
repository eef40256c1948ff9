#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"

namespace qz::serial {
namespace {

bool speedCode(int speed, speed_t* out) {
  static const struct {
    int rate;
    speed_t code;
  } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds)
    if (s.rate == speed) return (*out = s.code), true;
  return false;
}

// Waits for fd to become ready for events until the deadline; false on time-out.
int waitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    int left = int(deadline - monotonicMs());
    if (left < 0) left = 0;
    pollfd pfd{fd, events, 0};
    int r = poll(&pfd, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r;
    if (pfd.revents & (POLLERR | POLLNVAL)) return -1;
    return 1;
  }
}

}  // namespace

bool portPath(int port, char* out, size_t cap) {
  if (port <= 0) return false;
  char var[32];
  snprintf(var, sizeof var, "QZ_COM%d", port);
  const char* mapped = getenv(var);
  int n = mapped && *mapped ? snprintf(out, cap, "%s", mapped) : snprintf(out, cap, "/dev/ttyS%d", port - 1);
  return n > 0 && size_t(n) < cap;
}

int open(const char* path) {
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another program holds the port
    ::close(fd);
    errno = EBUSY;
    return -1;
  }
  ioctl(fd, TIOCEXCL);  // not every device supports it; the lock above is what counts
  return fd;
}

void close(int fd) {
  if (fd >= 0) ::close(fd);
}

bool configure(int fd, int speed) {
  termios tio;
  speed_t code;
  if (tcgetattr(fd, &tio) != 0 || !speedCode(speed, &code)) return false;
  // Raw bytes both ways: no echo, no line editing, no character translation.
  tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  tio.c_oflag &= ~tcflag_t(OPOST);
  tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, code);
  cfsetospeed(&tio, code);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);  // a pseudo-terminal has no modem lines
  return true;
}

bool purge(int fd) { return tcflush(fd, TCIOFLUSH) == 0; }

long write(int fd, const uint8_t* data, size_t n, int timeoutMs) {
  // The line nearly always has room: try first, wait only when it is full.
  for (bool waited = false;; waited = true) {
    ssize_t w;
    do w = ::write(fd, data, n);
    while (w < 0 && errno == EINTR);
    if (w >= 0) return long(w);
    if (errno != EAGAIN || waited) return errno == EAGAIN ? 0 : -1;
    int r = waitFor(fd, POLLOUT, monotonicMs() + timeoutMs);
    if (r <= 0) return r;
  }
}

long read(int fd, uint8_t* data, size_t n, int timeoutMs) {
  const int64_t deadline = monotonicMs() + timeoutMs;
  size_t got = 0;
  while (got < n) {
    int r = waitFor(fd, POLLIN, deadline);
    if (r < 0) return got ? long(got) : -1;
    if (r == 0) break;
    ssize_t k;
    do k = ::read(fd, data + got, n - got);
    while (k < 0 && errno == EINTR);
    if (k < 0 && errno == EAGAIN) continue;
    if (k <= 0) return got ? long(got) : -1;  // hang-up
    got += size_t(k);
  }
  return long(got);
}

}  // namespace qz::serial
