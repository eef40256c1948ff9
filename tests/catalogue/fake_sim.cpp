#include "fake_sim.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace catfake {
namespace {

uint64_t nowUs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

std::vector<uint8_t> status(int32_t s) {
  return {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16), uint8_t(uint32_t(s) >> 24)};
}

}  // namespace

Controller Controller::twoK() {
  Controller c;
  c.family = Family::TwoK;
  c.productId = 0x2150;
  return c;
}

int Controller::effectiveReportId() const {
  if (reportId == 0 || reportId == 1) return reportId;
  return productId == 0x7413 || productId == 0x7416 ? 1 : 0;
}

std::string Controller::hidSocketName() const {
  char buf[32];
  snprintf(buf, sizeof buf, "hid#vid_%04x&pid_%04x#", vendorId, productId);
  return buf + tail;
}

bool Request::packet(Packet* out) const {
  if (op != kSendFeature || bytes.size() != 6) return false;
  std::copy(bytes.begin() + 1, bytes.end(), out->begin());
  return true;
}

Fault Fault::noAnswer(int opcode, int times) { return {FaultKind::NoAnswer, opcode, times, 0, {}}; }
Fault Fault::refuse(int opcode, int times) { return {FaultKind::Refuse, opcode, times, 0, {}}; }
Fault Fault::readFail(int opcode, int goodReads, int times) {
  return {FaultKind::ReadFail, opcode, times, goodReads, {}};
}
Fault Fault::answer(int opcode, std::array<uint8_t, 4> bytes, int times) {
  return {FaultKind::Answer, opcode, times, 0, bytes};
}

std::vector<Request> Device::requests() const {
  std::lock_guard l(mutex_);
  return requests_;
}

std::vector<Packet> Device::commands() const {
  std::vector<Packet> out;
  for (const auto& r : requests()) {
    Packet p;
    if (r.packet(&p)) out.push_back(p);
  }
  return out;
}

void Device::clearRequests() {
  std::lock_guard l(mutex_);
  requests_.clear();
}
void Device::setRecording(bool on) {
  std::lock_guard l(mutex_);
  recording_ = on;
}
void Device::addFault(const Fault& f) {
  std::lock_guard l(mutex_);
  faults_.push_back(f);
}
void Device::clearFaults() {
  std::lock_guard l(mutex_);
  faults_.clear();
}
void Device::setD2(uint32_t size, uint8_t waitMs) {
  std::lock_guard l(mutex_);
  desc_.d2Size = size;
  desc_.d2Wait = waitMs;
}
void Device::setBlockSize(uint16_t size) {
  std::lock_guard l(mutex_);
  desc_.blockSize = size;
}
void Device::setBulkValues(std::vector<uint16_t> values) {
  std::lock_guard l(mutex_);
  bulk_ = std::move(values);
  bulkPos_ = 0;
}

Fault* Device::matchFault(uint8_t opcode) {
  for (auto& f : faults_) {
    if (f.times == 0 || (f.opcode != kAnyOpcode && f.opcode != opcode)) continue;
    if (f.times > 0) --f.times;
    return &f;
  }
  return nullptr;
}

Packet Device::replyTo(const Packet& c, bool* answered) {
  *answered = true;
  const bool twoK = desc_.family == Family::TwoK;
  const Chip& chip = desc_.chips[0];
  switch (c[0]) {
    case 0xEE:
      if (c[1] == 0) {
        const uint8_t lo = uint8_t(chip.modelNumber), hi = uint8_t(chip.modelNumber >> 8);
        return twoK ? Packet{0xEE, hi, lo, 0, 0} : Packet{0xEE, lo, hi, 0, chip.modelLetter};
      }
      break;
    case 0xE7: {
      const uint32_t v = desc_.e7Value;
      return {0xE7, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    }
    case 0xD2:
      return {0xD2, uint8_t(desc_.d2Size), uint8_t(desc_.d2Size >> 8), uint8_t(desc_.d2Size >> 16),
              desc_.d2Wait};
    case 0xD3: return {0xD3, uint8_t(desc_.d3Size), uint8_t(desc_.d3Size >> 8), 0, 0};
    case 0xD4:
      if (c[2] != 0xAA) return {0xD4, desc_.d4Reply[0], desc_.d4Reply[1], desc_.d4Reply[2], desc_.d4Reply[3]};
      break;
    case 0xFA:
      if (c[1] == 0 && c[2] == 0 && c[3] == 0 && c[4] == 0)
        return {0xFA, uint8_t(desc_.blockSize), uint8_t(desc_.blockSize >> 8), 0, 0};
      break;
  }
  return c;
}

std::vector<uint8_t> Device::serve(const uint8_t* req, size_t len) {
  std::lock_guard l(mutex_);
  if (len < 8) return status(-1);
  Request r;
  r.op = req[0];
  r.length = le32(req + 4);
  r.timeUs = nowUs();
  r.bytes.assign(req + 8, req + len);
  if (recording_) requests_.push_back(r);
  const uint8_t rid = uint8_t(desc_.effectiveReportId());

  if (r.op == kSendFeature) {
    if (r.bytes.size() != 6) return status(-1);
    Packet cmd;
    std::copy(r.bytes.begin() + 1, r.bytes.end(), cmd.begin());
    bulkActive_ = faAnswered_ = false;
    readFaultArmed_ = false;
    Fault* f = matchFault(cmd[0]);
    Packet reply = cmd;
    bool answered = true;
    if (f && f->kind == FaultKind::NoAnswer) return status(0);
    if (f && f->kind == FaultKind::Refuse) {
      reply[0] = 0xAA;
    } else if (f && f->kind == FaultKind::Answer) {
      reply = {cmd[0], f->bytes[0], f->bytes[1], f->bytes[2], f->bytes[3]};
    } else {
      reply = replyTo(cmd, &answered);
      if (cmd[0] == 0xFA && answered) {
        faAnswered_ = true;
        bulkPos_ = 0;
      }
    }
    if (f && f->kind == FaultKind::ReadFail) {
      readFaultArmed_ = true;
      goodReadsLeft_ = f->value;
    }
    report_ = {rid, reply[0], reply[1], reply[2], reply[3], reply[4]};
    return status(0);
  }
  if (r.op == kGetFeature) {
    if (r.length == 0 || r.length > 65537) return status(-1);
    if (readFaultArmed_) {
      if (goodReadsLeft_ == 0) {
        readFaultArmed_ = false;
        return status(-5);
      }
      --goodReadsLeft_;
    }
    std::vector<uint8_t> out = status(0);
    std::vector<uint8_t> data(r.length, 0);
    data[0] = r.bytes.empty() ? rid : r.bytes[0];
    if (bulkActive_) {
      for (size_t i = 1; i + 1 < data.size(); i += 2) {
        const uint16_t v = bulkPos_ < bulk_.size() ? bulk_[bulkPos_] : 0;
        ++bulkPos_;
        data[i] = uint8_t(v);
        data[i + 1] = uint8_t(v >> 8);
      }
    } else {
      for (size_t i = 1; i < data.size() && i < report_.size(); ++i) data[i] = report_[i];
      if (faAnswered_) {
        faAnswered_ = false;
        bulkActive_ = true;
      }
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
  if (r.op == kSendOutput) return status(0);
  return status(-1);  // no input reports
}

Simulator::Simulator() {
  char tmpl[] = "/tmp/catfake-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  if (pipe(wake_) != 0) throw std::runtime_error("pipe");
}

Simulator::~Simulator() {
  if (thread_.joinable()) {
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
  }
  for (int fd : listeners_) close(fd);
  for (const auto& d : devices_) unlink((dir_ + "/" + d->path().substr(4)).c_str());
  rmdir(dir_.c_str());
  close(wake_[0]);
  close(wake_[1]);
}

Device& Simulator::addHid(const Controller& c) {
  std::lock_guard l(mutex_);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", dir_.c_str(), c.hidSocketName().c_str());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0)
    throw std::runtime_error("cannot serve " + c.hidSocketName());
  listeners_.push_back(fd);
  devices_.push_back(std::make_unique<Device>(c));
  return *devices_.back();
}

void Simulator::start() { thread_ = std::thread([this] { serveLoop(); }); }

void Simulator::exportEnvironment() const { setenv("QZ_VIRTUAL_HID_DIR", dir_.c_str(), 1); }

void Simulator::serveLoop() {
  struct Conn {
    int fd;
    Device* dev;
  };
  std::vector<Conn> conns;
  std::vector<uint8_t> buf(70000);
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Device*> owners;
    {
      std::lock_guard l(mutex_);
      fds.push_back({wake_[0], POLLIN, 0});
      for (size_t i = 0; i < listeners_.size(); ++i) fds.push_back({listeners_[i], POLLIN, 0});
      owners.assign(devices_.size(), nullptr);
      for (size_t i = 0; i < devices_.size(); ++i) owners[i] = devices_[i].get();
    }
    const size_t firstConn = fds.size();
    for (const auto& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 100) < 0) continue;
    if (fds[0].revents) break;
    std::vector<Conn> alive;
    for (size_t i = 1; i < firstConn; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) alive.push_back({c, owners[i - 1]});
    }
    for (size_t i = firstConn; i < fds.size(); ++i) {
      Conn c = conns[i - firstConn];
      if (fds[i].revents & POLLIN) {
        ssize_t n = recv(c.fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
          close(c.fd);
          continue;
        }
        std::vector<uint8_t> answer = c.dev->serve(buf.data(), size_t(n));
        if (send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
          close(c.fd);
          continue;
        }
      } else if (fds[i].revents & (POLLHUP | POLLERR)) {
        close(c.fd);
        continue;
      }
      alive.push_back(c);
    }
    conns = std::move(alive);
  }
  for (const auto& c : conns) close(c.fd);
}

}  // namespace catfake
