// The transports around the model: virtual HID sockets, vendor-driver device objects and
// serial lines on pseudo-terminals. One thread accepts per socket device, one serves each
// connection; a serial device has one thread. Buffers are made once per connection, so
// serving a request allocates nothing apart from its record.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "device_impl.h"
#include "sim_impl.h"

namespace qzsim {
namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

void sendPacket(int fd, const uint8_t* data, size_t n, bool wait) {
  ssize_t r;
  do r = send(fd, data, n, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
  while (r < 0 && errno == EINTR);
}

uint8_t checksum(const uint8_t* f) {
  unsigned sum = 0;
  for (int i = 0; i < 5; ++i) sum += f[i];
  return uint8_t(~sum);
}

std::string err(const std::string& what, const std::string& path) {
  return "qzsim: " + what + " " + path + ": " + strerror(errno);
}

// Takes the place of whatever an earlier run left at path: only a socket or a link.
void clearStale(const std::string& path, bool link) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if ((link && S_ISLNK(st.st_mode)) || (!link && S_ISSOCK(st.st_mode))) {
    unlink(path.c_str());
    return;
  }
  errno = EEXIST;
  throw std::runtime_error(err("cannot replace", path));
}

void writeAll(int fd, const uint8_t* data, size_t n) {
  while (n) {
    ssize_t r = write(fd, data, n);
    if (r > 0) {
      data += r;
      n -= size_t(r);
    } else if (r < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

}  // namespace

void Simulator::Impl::openEndpoint(Device::Impl& d) {
  if (d.transport == Transport::Serial) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
      if (m >= 0) close(m);
      throw std::runtime_error(err("cannot make a pseudo-terminal", ""));
    }
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (s < 0 || tcgetattr(s, &t) != 0) {
      if (s >= 0) close(s);
      close(m);
      throw std::runtime_error(err("cannot open", name));
    }
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    d.ptyMaster = m;
    d.ptySlave = s;
    d.endpoint = name;
    if (!d.link.empty()) {
      clearStale(d.link, true);
      if (symlink(name, d.link.c_str()) != 0) {
        close(m);
        close(s);
        throw std::runtime_error(err("cannot link", d.link));
      }
    }
    return;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (d.name.empty() || d.name.find('/') != std::string::npos ||
      d.endpoint.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    throw std::runtime_error(err("unusable socket name", d.endpoint));
  }
  memcpy(addr.sun_path, d.endpoint.c_str(), d.endpoint.size() + 1);
  clearStale(d.endpoint, false);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(err("cannot make a socket for", d.endpoint));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(d.endpoint.c_str(), 0600) != 0 || listen(fd, 64) != 0) {
    close(fd);
    unlink(d.endpoint.c_str());
    throw std::runtime_error(err("cannot serve", d.endpoint));
  }
  d.listenFd = fd;
}

bool Simulator::Impl::pause(Device::Impl& d, int ms) {
  std::unique_lock<std::mutex> l(d.mu);
  d.stopCv.wait_for(l, std::chrono::milliseconds(ms), [&] { return !d.serving; });
  return d.serving;
}

// ---- serving

void Device::Impl::startServing() {
  std::lock_guard<std::mutex> l(mu);
  if (serving || removed) return;
  serving = true;
  stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (transport == Transport::Serial)
    server = std::thread([this] { serialLoop(); });
  else
    server = std::thread([this] { acceptLoop(); });
}

void Device::Impl::stopServing() {
  std::vector<std::unique_ptr<Connection>> gone;
  {
    std::lock_guard<std::mutex> l(mu);
    if (!serving) return;
    serving = false;
    stopCv.notify_all();
    uint64_t one = 1;
    if (write(stopFd, &one, sizeof one) < 0) { /* the thread also sees serving */ }
    for (auto& c : conns) shutdown(c->fd, SHUT_RDWR);
  }
  if (server.joinable()) server.join();
  {
    std::lock_guard<std::mutex> l(mu);
    gone.swap(conns);
  }
  for (auto& c : gone) {
    if (c->thread.joinable()) c->thread.join();
    close(c->fd);
  }
  std::lock_guard<std::mutex> l(mu);
  outstanding.clear();
  close(stopFd);
  stopFd = -1;
}

void Device::Impl::removeNow() {
  stopServing();
  std::lock_guard<std::mutex> l(mu);
  if (removed) return;
  removed = true;
  if (listenFd >= 0) {
    unlink(endpoint.c_str());
    close(listenFd);
    listenFd = -1;
  }
  if (ptyMaster >= 0) {
    close(ptyMaster);
    close(ptySlave);
    ptyMaster = ptySlave = -1;
    if (!link.empty()) unlink(link.c_str());
  }
  haveLatest = false;
  inputBacklog.clear();
}

void Device::Impl::reap() {
  std::vector<std::unique_ptr<Connection>> ended;
  {
    std::lock_guard<std::mutex> l(mu);
    auto keep = std::partition(conns.begin(), conns.end(), [](const auto& c) { return !c->done; });
    for (auto it = keep; it != conns.end(); ++it) ended.push_back(std::move(*it));
    conns.erase(keep, conns.end());
  }
  for (auto& c : ended) {
    if (c->thread.joinable()) c->thread.join();
    close(c->fd);
  }
}

void Device::Impl::acceptLoop() {
  for (;;) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || p[1].revents) return;
    reap();
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Connection* c;
    {
      std::lock_guard<std::mutex> l(mu);
      if (!serving) {
        close(fd);
        return;
      }
      conns.push_back(std::make_unique<Connection>());
      c = conns.back().get();
      c->fd = fd;
      c->id = nextConn++;
      c->inputQueue.swap(inputBacklog);
    }
    c->thread = std::thread([this, c] { serveConnection(c); });
  }
}

void Device::Impl::serveConnection(Connection* c) {
  const bool hid = transport == Transport::Hid;
  std::vector<uint8_t> in(hid ? 8 + kMaxFeature + 1 : 12 + 256);
  std::vector<uint8_t> answer(hid ? 4 + kMaxFeature : 8 + kMaxDriverOutput);
  for (;;) {
    iovec iov{in.data(), in.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = recvmsg(c->fd, &msg, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bool truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    if (hid)
      hidRequest(c, in.data(), size_t(n), truncated, answer.data());
    else
      driverRequest(c, in.data(), size_t(n), truncated, answer.data());
  }
  std::lock_guard<std::mutex> l(mu);
  c->done = true;
  c->pendingInputReads = 0;
  // Closing a connection cancels what it has outstanding.
  outstanding.erase(std::remove_if(outstanding.begin(), outstanding.end(),
                                   [c](const Outstanding& o) { return o.conn == c; }),
                    outstanding.end());
}

// ---- virtual HID

void Device::Impl::hidRequest(Connection* c, const uint8_t* buf, size_t n, bool truncated,
                              uint8_t* answer) {
  int32_t status = 0;
  size_t answerLen = 4;
  {
    std::lock_guard<std::mutex> l(mu);
    const uint8_t* data = buf + std::min<size_t>(n, 8);
    size_t dn = n > 8 ? n - 8 : 0;
    uint32_t op = n ? buf[0] : 0, len = n >= 8 ? le32(buf + 4) : 0;
    record(Transport::Hid, op, len, 0, c->id, data, dn);
    if (vanishing) return;  // gone: no answer, the connection is being shut down
    if (n < 8 || truncated || buf[1] || buf[2] || buf[3]) {
      status = kStatusMalformed;
      markMalformed();
    } else if (op == kSendFeature) {
      if (dn != len)
        status = kStatusMalformed;
      else if (dn != 6 || data[0] != reportId)
        status = kStatusFailed;
      else if (!takeCommand(Packet{data[1], data[2], data[3], data[4], data[5]}).accepted)
        status = kStatusFailed;
      if (vanishing) return;
    } else if (op == kGetFeature) {
      if (dn != len || len == 0 || len > kMaxFeature) {
        status = kStatusMalformed;
      } else if (readVanishes()) {
        return;
      } else if (data[0] != reportId || readFails()) {
        status = kStatusFailed;
      } else {
        uint8_t* out = answer + 4;
        memset(out, 0, len);
        out[0] = reportId;
        if (model.bulkActive() && bulkReplySeen) {
          model.nextBlock(out + 1, len - 1);
        } else {
          bool current;
          Packet p = readReply(&current);
          memcpy(out + 1, p.data(), std::min<size_t>(5, len - 1));
          if (current && model.bulkActive() && p[0] == 0xFA) bulkReplySeen = true;
        }
        answerLen = 4 + len;
      }
    } else if (op == kSendOutput) {
      if (dn != len || dn == 0)
        status = kStatusMalformed;
      else if (data[0] != reportId)
        status = kStatusFailed;
    } else if (op == kReadInput) {
      if (dn != 0 || len == 0) {
        status = kStatusMalformed;
      } else if (c->inputQueue.empty()) {
        ++c->pendingInputReads;
        c->inputCapacity = len;
        return;  // answered when a report is raised
      } else {
        std::vector<uint8_t>& rep = c->inputQueue.front();
        size_t k = std::min<size_t>(rep.size(), len);
        put32(answer, 0);
        memcpy(answer + 4, rep.data(), k);
        c->inputQueue.pop_front();
        sendPacket(c->fd, answer, 4 + k, true);
        return;
      }
    } else {
      status = kStatusUnsupported;
    }
  }
  put32(answer, uint32_t(status));
  sendPacket(c->fd, answer, status ? 4 : answerLen, true);
}

void Device::Impl::queueInputLocked(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> report;
  report.reserve(data.size() + 1);
  report.push_back(reportId);
  report.insert(report.end(), data.begin(), data.end());
  constexpr size_t kQueueLimit = 256;
  bool anyone = false;
  for (auto& c : conns) {
    if (c->done) continue;
    anyone = true;
    if (c->pendingInputReads) {
      --c->pendingInputReads;
      size_t k = std::min<size_t>(report.size(), c->inputCapacity);
      std::vector<uint8_t> a(4 + k, 0);
      memcpy(a.data() + 4, report.data(), k);
      sendPacket(c->fd, a.data(), a.size(), false);
    } else {
      if (c->inputQueue.size() >= kQueueLimit) c->inputQueue.pop_front();
      c->inputQueue.push_back(report);
    }
  }
  if (!anyone && !removed) {
    if (inputBacklog.size() >= kQueueLimit) inputBacklog.pop_front();
    inputBacklog.push_back(std::move(report));
  }
}

void Device::Impl::raiseLocked(uint8_t state) {
  if (transport == Transport::Hid) {
    queueInputLocked({state, 0, 0, 0, 0});
    return;
  }
  if (transport != Transport::Driver || removed) return;
  while (!outstanding.empty()) {
    Outstanding o = outstanding.front();
    outstanding.pop_front();
    if (o.conn->done) continue;
    uint8_t a[13] = {};
    put32(a, o.tag);
    a[8] = state;
    sendPacket(o.conn->fd, a, sizeof a, false);
    return;
  }
  latest = state;
  haveLatest = true;
}

// ---- vendor-driver device objects

void Device::Impl::driverRequest(Connection* c, const uint8_t* buf, size_t n, bool truncated,
                                 uint8_t* answer) {
  uint32_t tag = n >= 4 ? le32(buf) : 0;
  int32_t status = 0;
  size_t out = 0;
  int lateMs = 0;
  uint8_t* o = answer + 8;
  {
    std::lock_guard<std::mutex> l(mu);
    uint32_t code = n >= 8 ? le32(buf + 4) : 0, cap = n >= 12 ? le32(buf + 8) : 0;
    const uint8_t* in = buf + std::min<size_t>(n, 12);
    size_t inN = n > 12 ? n - 12 : 0;
    record(Transport::Driver, code, cap, tag, c->id, in, inN);
    if (vanishing) return;  // gone: no completion, the connection is being shut down
    const Controller& d = model.desc();
    if (n < 12 || truncated) {
      status = kStatusMalformed;
      markMalformed();
    } else if (code == kVersionMajor || code == kVersionMinor || code == kVersionThird) {
      if (cap < 4) {
        status = kStatusTooSmall;
      } else {
        int i = code == kVersionMajor ? 0 : code == kVersionMinor ? 1 : 2;
        put32(o, uint32_t(d.driverVersion[size_t(i)]));
        out = 4;
      }
    } else if (code == kSendOlder || code == kSendNewer) {
      if (inN != 5) {
        status = kStatusMalformed;
      } else {
        Outcome oc = takeCommand(Packet{in[0], in[1], in[2], in[3], in[4]});
        if (vanishing) return;
        if (!oc.accepted) {
          status = kStatusFailed;
        } else {
          // The 2K family hands the reply back with the send.
          if (d.family == Family::TwoK && cap >= 5) {
            Packet p = peekReply();
            memcpy(o, p.data(), 5);
            out = 5;
          }
          if (oc.faulted && oc.fault.kind == FaultKind::LateCompletion) lateMs = oc.fault.value;
        }
      }
    } else if (code == kReadOlder || code == kReadNewer) {
      if (readVanishes()) {
        return;
      } else if (readFails()) {
        status = kStatusFailed;
      } else if (model.bulkActive() && bulkReplySeen) {
        size_t b = model.blockBytes();
        if (cap < b || b > kMaxDriverOutput) {
          status = kStatusTooSmall;
        } else {
          model.nextBlock(o, b);
          out = b;
        }
      } else if (cap < 5) {
        status = kStatusTooSmall;
      } else {
        bool current;
        Packet p = readReply(&current);
        memcpy(o, p.data(), 5);
        out = 5;
        if (current && model.bulkActive() && p[0] == 0xFA) bulkReplySeen = true;
      }
    } else if (code == kNotifyFirst || code == kNotifySecond) {
      if (cap < 5) {
        status = kStatusTooSmall;
      } else if (haveLatest) {
        haveLatest = false;
        memset(o, 0, 5);
        o[0] = latest;
        out = 5;
      } else {
        outstanding.push_back({c, tag});
        return;  // completes when a report is raised
      }
    } else {
      status = kStatusUnsupported;
    }
  }
  if (lateMs > 0 && !Simulator::Impl::pause(*this, lateMs)) return;
  put32(answer, tag);
  put32(answer + 4, uint32_t(status));
  sendPacket(c->fd, answer, 8 + (status ? 0 : out), true);
}

// ---- serial lines

void Device::Impl::serialLoop() {
  uint8_t acc[64];
  size_t accN = 0;
  constexpr int kPartialMs = 50;  // a partial frame older than this is dropped
  std::vector<uint8_t> wire;
  wire.reserve(64);
  for (;;) {
    pollfd p[2] = {{ptyMaster, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int r = poll(p, 2, accN ? kPartialMs : -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || p[1].revents) return;
    if (r == 0) {
      std::lock_guard<std::mutex> l(mu);
      record(Transport::Serial, kSerialDiscarded, uint32_t(accN), 0, 1, acc, accN);
      accN = 0;
      continue;
    }
    if (p[0].revents & (POLLHUP | POLLERR) && !(p[0].revents & POLLIN)) {
      // No reader on the other side; wait for one without spinning.
      if (!Simulator::Impl::pause(*this, 20)) return;
      continue;
    }
    ssize_t got = read(ptyMaster, acc + accN, sizeof acc - accN);
    if (got <= 0) continue;
    accN += size_t(got);
    while (accN >= 6) {
      if (checksum(acc) != acc[5]) {
        // Out of step: drop one byte and look for a frame again.
        {
          std::lock_guard<std::mutex> l(mu);
          record(Transport::Serial, kSerialDiscarded, 1, 0, 1, acc, 1);
        }
        memmove(acc, acc + 1, --accN);
        continue;
      }
      Packet cmd{acc[0], acc[1], acc[2], acc[3], acc[4]};
      Outcome oc;
      {
        std::lock_guard<std::mutex> l(mu);
        record(Transport::Serial, kSerialFrame, 6, 0, 1, acc, 6);
        oc = takeCommand(cmd);
      }
      memmove(acc, acc + 6, accN - 6);
      accN -= 6;
      FaultKind k = oc.faulted ? oc.fault.kind : FaultKind::NoAnswer;
      bool f = oc.faulted;
      if (f && k == FaultKind::Vanish) {
        // Gone at the frame, or part way through the reply frame.
        if (oc.answered && oc.fault.value > 0) {
          uint8_t frame[6];
          memcpy(frame, oc.reply.data(), 5);
          frame[5] = checksum(frame);
          writeAll(ptyMaster, frame, size_t(std::min(oc.fault.value, 5)));
        }
        std::lock_guard<std::mutex> l(mu);
        vanishLocked();
        return;
      }
      if (!oc.accepted || !oc.answered) continue;
      if (f && k == FaultKind::Delay && !Simulator::Impl::pause(*this, oc.fault.value)) return;
      wire.clear();
      if (f && k == FaultKind::Garbage)
        for (int i = 0; i < oc.fault.value; ++i) wire.push_back(uint8_t(0x5A + 37 * i));
      if (f && k == FaultKind::Stale) {
        Packet s;
        {
          std::lock_guard<std::mutex> l(mu);
          s = stalePacket;
          staleReads = 0;
        }
        for (int i = 0; i < oc.fault.value; ++i) {
          wire.insert(wire.end(), s.begin(), s.end());
          wire.push_back(checksum(s.data()));
        }
      }
      uint8_t frame[6];
      memcpy(frame, oc.reply.data(), 5);
      frame[5] = checksum(frame);
      if (f && k == FaultKind::BadChecksum) frame[5] ^= 0xFF;
      int parts = f && k == FaultKind::SplitReply ? std::clamp(oc.fault.value, 1, 6) : 1;
      writeAll(ptyMaster, wire.data(), wire.size());
      for (int i = 0; i < parts; ++i) {
        size_t from = size_t(6 * i / parts), to = size_t(6 * (i + 1) / parts);
        if (i && !Simulator::Impl::pause(*this, oc.fault.value2)) return;
        writeAll(ptyMaster, frame + from, to - from);
      }
    }
  }
}

}  // namespace qzsim
