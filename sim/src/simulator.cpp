// The simulator: devices, their request records and scripted faults, the reply register
// every transport reads from, and the timeline.
#include "qzsim/simulator.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

#include "device_impl.h"
#include "sim_impl.h"

namespace qzsim {

uint64_t nowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// ---- Request, Fault

int Request::generation() const {
  if (transport != Transport::Driver) return 0;
  if (op == kSendOlder || op == kReadOlder) return 1;
  if (op == kSendNewer || op == kReadNewer) return 2;
  return 0;
}

bool Request::packet(Packet* out) const {
  size_t at;
  if (!wellFormed) return false;
  if (transport == Transport::Hid && op == kSendFeature && bytes.size() == 6 && length == 6)
    at = 1;
  else if (transport == Transport::Driver && (op == kSendOlder || op == kSendNewer) && bytes.size() == 5)
    at = 0;
  else if (transport == Transport::Serial && op == kSerialFrame && bytes.size() == 6)
    at = 0;
  else
    return false;
  std::copy_n(bytes.begin() + long(at), 5, out->begin());
  return true;
}

namespace {
Fault fault(FaultKind k, int opcode, int times, int value = 0, int value2 = 0) {
  Fault f;
  f.kind = k;
  f.opcode = opcode;
  f.times = times;
  f.value = value;
  f.value2 = value2;
  return f;
}
}  // namespace

Fault Fault::noAnswer(int opcode, int times) { return fault(FaultKind::NoAnswer, opcode, times); }
Fault Fault::stale(int opcode, int reads, int times) { return fault(FaultKind::Stale, opcode, times, reads); }
Fault Fault::refuse(int opcode, int times) { return fault(FaultKind::Refuse, opcode, times); }
Fault Fault::sendFail(int opcode, int times) { return fault(FaultKind::SendFail, opcode, times); }
Fault Fault::delay(int opcode, int ms, int times) { return fault(FaultKind::Delay, opcode, times, ms); }
Fault Fault::readFail(int opcode, int goodReads, int times) {
  return fault(FaultKind::ReadFail, opcode, times, goodReads);
}
Fault Fault::lateCompletion(int opcode, int ms, int times) {
  return fault(FaultKind::LateCompletion, opcode, times, ms);
}
Fault Fault::splitReply(int opcode, int parts, int gapMs, int times) {
  return fault(FaultKind::SplitReply, opcode, times, parts, gapMs);
}
Fault Fault::badChecksum(int opcode, int times) { return fault(FaultKind::BadChecksum, opcode, times); }
Fault Fault::garbage(int opcode, int bytes, int times) { return fault(FaultKind::Garbage, opcode, times, bytes); }
Fault Fault::vanish(int opcode, int reads) { return fault(FaultKind::Vanish, opcode, 1, reads); }
Fault Fault::replyWith(int opcode, const Packet& reply, int times) {
  Fault f = fault(FaultKind::Reply, opcode, times);
  f.reply = reply;
  return f;
}

// ---- Device::Impl: records, faults, the reply register

void Device::Impl::record(Transport t, uint32_t op, uint32_t length, uint32_t tag, uint32_t conn,
                          const uint8_t* data, size_t n) {
  if (!recording) return;
  n = std::min(n, kKeptRequestBytes);
  records.push_back(Entry{t, true, op, length, tag, conn, nowUs(), arena.size(), n});
  arena.insert(arena.end(), data, data + n);
  recorded.notify_all();
}

Request Device::Impl::expand(const Entry& e) const {
  Request r;
  r.transport = e.transport;
  r.op = e.op;
  r.length = e.length;
  r.tag = e.tag;
  r.connection = e.connection;
  r.timeUs = e.timeUs;
  r.wellFormed = e.wellFormed;
  r.bytes.assign(arena.begin() + long(e.offset), arena.begin() + long(e.offset + e.size));
  return r;
}

bool Device::Impl::takeFault(uint8_t opcode, Fault* out) {
  for (Fault& f : faults) {
    if (f.times == 0) continue;
    if (f.opcode != kAnyOpcode && f.opcode != opcode) continue;
    if (f.times > 0) --f.times;
    *out = f;
    return true;
  }
  return false;
}

namespace {
// A packet of an opcode that is neither the command's nor a refusal.
Packet stalePacketFor(uint8_t opcode, const Packet& previous, bool hadPrevious) {
  if (hadPrevious && previous[0] != opcode && previous[0] != 0xAA && previous[0] != 0) return previous;
  uint8_t op = uint8_t(opcode ^ 0x01);
  if (op == 0xAA) op = uint8_t(opcode ^ 0x03);
  return Packet{op, 0, 0, 0, 0};
}
}  // namespace

Device::Impl::Outcome Device::Impl::takeCommand(const Packet& cmd) {
  Outcome o;
  if (vanishing) {  // going away: nothing is taken any more
    o.accepted = false;
    return o;
  }
  o.faulted = takeFault(cmd[0], &o.fault);
  FaultKind k = o.faulted ? o.fault.kind : FaultKind::Reply;
  if (o.faulted && k == FaultKind::SendFail) {
    o.accepted = false;
    return o;
  }
  if (o.faulted && k == FaultKind::NoAnswer) return o;
  if (o.faulted && k == FaultKind::Vanish && o.fault.value < 0) {
    vanishLocked();
    o.accepted = false;
    return o;
  }
  if (o.faulted && k == FaultKind::Refuse) {
    o.reply = Packet{0xAA, cmd[1], cmd[2], cmd[3], cmd[4]};
    o.answered = true;
  } else {
    o.answered = model.command(cmd, &o.reply);
    if (o.answered && o.faulted && k == FaultKind::Reply) o.reply = o.fault.reply;
  }
  bulkReplySeen = false;
  readFailAfter = -1;
  vanishAfterReads = -1;
  if (!o.answered) return o;
  bool hadPrevious = replyCurrent || visible != Packet{};
  Packet previous = hasPending ? pending : visible;
  if (hasPending) visible = pending;  // a reply still held back is overtaken
  hasPending = false;
  staleReads = 0;
  if (o.faulted && k == FaultKind::Delay && o.fault.value > 0) {
    pending = o.reply;
    hasPending = true;
    pendingAtUs = nowUs() + uint64_t(o.fault.value) * 1000u;
    replyCurrent = false;
  } else {
    visible = o.reply;
    replyCurrent = true;
  }
  if (o.faulted && k == FaultKind::Stale && o.fault.value > 0) {
    staleReads = o.fault.value;
    stalePacket = stalePacketFor(cmd[0], previous, hadPrevious);
  }
  if (o.faulted && k == FaultKind::ReadFail) readFailAfter = std::max(0, o.fault.value);
  if (o.faulted && k == FaultKind::Vanish) vanishAfterReads = o.fault.value;
  return o;
}

Packet Device::Impl::readReply(bool* current) {
  *current = false;
  if (staleReads > 0) {
    --staleReads;
    return stalePacket;
  }
  if (hasPending && nowUs() >= pendingAtUs) {
    visible = pending;
    hasPending = false;
    replyCurrent = true;
  }
  *current = replyCurrent && !hasPending;
  return visible;
}

Packet Device::Impl::peekReply() const {
  if (staleReads > 0) return stalePacket;
  if (hasPending && nowUs() >= pendingAtUs) return pending;
  return visible;
}

bool Device::Impl::readFails() {
  if (readFailAfter < 0) return false;
  if (readFailAfter > 0) {
    --readFailAfter;
    return false;
  }
  readFailAfter = -1;
  return true;
}

bool Device::Impl::readVanishes() {
  if (vanishing) return true;
  if (vanishAfterReads < 0) return false;
  if (vanishAfterReads > 0) {
    --vanishAfterReads;
    return false;
  }
  vanishLocked();
  return true;
}

void Device::Impl::vanishLocked() {
  if (vanishing) return;
  vanishing = true;
  vanishAfterReads = -1;
  for (auto& c : conns) shutdown(c->fd, SHUT_RDWR);
  sim->schedule(std::chrono::milliseconds(0), [this] { removeNow(); });
}

// ---- Device

Device::Device(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Device::~Device() = default;

Transport Device::transport() const { return impl_->transport; }

std::string Device::path() const {
  switch (impl_->transport) {
    case Transport::Hid: return "\\\\?\\" + impl_->name;
    case Transport::Driver: return impl_->endpoint;
    case Transport::Serial: return impl_->link.empty() ? impl_->endpoint : impl_->link;
  }
  return impl_->endpoint;
}

const std::string& Device::endpoint() const { return impl_->endpoint; }
const std::string& Device::link() const { return impl_->link; }

std::vector<Request> Device::requests() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  std::vector<Request> out;
  out.reserve(impl_->records.size());
  for (const auto& e : impl_->records) out.push_back(impl_->expand(e));
  return out;
}

std::vector<Packet> Device::commands() const {
  std::vector<Packet> out;
  std::lock_guard<std::mutex> l(impl_->mu);
  for (const auto& e : impl_->records) {
    Packet p;
    if (impl_->expand(e).packet(&p)) out.push_back(p);
  }
  return out;
}

void Device::clearRequests() {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->records.clear();
  impl_->arena.clear();
}

void Device::setRecording(bool on) {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->recording = on;
}

bool Device::waitForRequests(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> l(impl_->mu);
  return impl_->recorded.wait_for(l, timeout, [&] { return impl_->records.size() >= n; });
}

void Device::addFault(const Fault& f) {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->faults.push_back(f);
}

void Device::clearFaults() {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->faults.clear();
}

void Device::modify(const std::function<void(ControllerModel&)>& fn) {
  std::lock_guard<std::mutex> l(impl_->mu);
  fn(impl_->model);
}

ModelState Device::state() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  return impl_->model.state();
}

void Device::setD2(uint32_t size, uint8_t waitMs) {
  modify([&](ControllerModel& m) {
    m.desc().d2Size = size;
    m.desc().d2Wait = waitMs;
  });
}

void Device::setBlockSize(uint16_t size) {
  modify([&](ControllerModel& m) { m.desc().blockSize = size; });
}

void Device::setBulkValues(std::vector<uint16_t> values) {
  modify([&](ControllerModel& m) { m.setBulkValues(std::move(values)); });
}

void Device::setDriverVersion(int32_t major, int32_t minor, int32_t third) {
  modify([&](ControllerModel& m) { m.desc().driverVersion = {major, minor, third}; });
}

void Device::raiseTouchState(uint8_t state) {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->raiseLocked(state);
}

void Device::queueInput(std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->queueInputLocked(data);
}

void Device::scheduleTouchState(std::chrono::milliseconds after, uint8_t state) {
  Impl* d = impl_.get();
  d->sim->schedule(after, [d, state] {
    std::lock_guard<std::mutex> l(d->mu);
    d->raiseLocked(state);
  });
}

void Device::scheduleInput(std::chrono::milliseconds after, std::vector<uint8_t> data) {
  Impl* d = impl_.get();
  d->sim->schedule(after, [d, data = std::move(data)] {
    std::lock_guard<std::mutex> l(d->mu);
    d->queueInputLocked(data);
  });
}

size_t Device::outstandingNotifications() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  return impl_->outstanding.size();
}

size_t Device::connections() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  size_t n = 0;
  for (const auto& c : impl_->conns) n += c->done ? 0 : 1;
  return n;
}

void Device::remove() { impl_->removeNow(); }

bool Device::removed() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  return impl_->removed;
}

// ---- Simulator

namespace {

void makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("qzsim: cannot create " + path + ": " + strerror(errno));
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error("qzsim: not a directory: " + path);
}

}  // namespace

Simulator::Simulator(SimulatorOptions o) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  if (o.dir.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzsim-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("qzsim: cannot create a directory under " + t);
    s.dir = buf.data();
    s.ownsDir = true;
  } else {
    s.dir = o.dir;
    makeDir(s.dir);
  }
  s.hidDir = o.hidDir.empty() ? s.dir + "/hid" : o.hidDir;
  s.driverDir = o.driverDir.empty() ? s.dir + "/driver" : o.driverDir;
  s.madeHidDir = access(s.hidDir.c_str(), F_OK) != 0;
  s.madeDriverDir = access(s.driverDir.c_str(), F_OK) != 0;
  makeDir(s.hidDir);
  makeDir(s.driverDir);
  s.timeline = std::thread([&s] { s.timelineLoop(); });
}

Simulator::~Simulator() {
  Impl& s = *impl_;
  stop();
  {
    std::lock_guard<std::mutex> l(s.timeMu);
    s.timelineStop = true;
  }
  s.timeCv.notify_all();
  if (s.timeline.joinable()) s.timeline.join();
  for (auto& d : s.devices) d->impl().removeNow();
  if (s.madeHidDir) rmdir(s.hidDir.c_str());
  if (s.madeDriverDir) rmdir(s.driverDir.c_str());
  if (s.ownsDir) rmdir(s.dir.c_str());
}

Device& Simulator::addHid(const Controller& c) {
  auto impl = std::make_unique<Device::Impl>(c);
  impl->transport = Transport::Hid;
  impl->name = c.hidSocketName();
  impl->endpoint = impl_->hidDir + "/" + impl->name;
  return impl_->add(std::move(impl));
}

Device& Simulator::addDriverObject(const Controller& c, const std::string& name) {
  auto impl = std::make_unique<Device::Impl>(c);
  impl->transport = Transport::Driver;
  impl->name = name;
  impl->endpoint = impl_->driverDir + "/" + name;
  return impl_->add(std::move(impl));
}

Device& Simulator::addSerial(const Controller& c, const std::string& link) {
  auto impl = std::make_unique<Device::Impl>(c);
  impl->transport = Transport::Serial;
  if (!link.empty()) impl->link = link[0] == '/' ? link : impl_->dir + "/" + link;
  return impl_->add(std::move(impl));
}

void Simulator::start() {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->running = true;
  for (auto& d : impl_->devices) d->impl().startServing();
}

void Simulator::stop() {
  std::vector<Device*> devs;
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    impl_->running = false;
    for (auto& d : impl_->devices) devs.push_back(d.get());
  }
  for (Device* d : devs) d->impl().stopServing();
}

bool Simulator::running() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  return impl_->running;
}

const std::string& Simulator::dir() const { return impl_->dir; }
const std::string& Simulator::hidDir() const { return impl_->hidDir; }
const std::string& Simulator::driverDir() const { return impl_->driverDir; }

void Simulator::exportEnvironment() const {
  setenv("QZ_VIRTUAL_HID_DIR", impl_->hidDir.c_str(), 1);
  setenv("QZ_DRIVER_DIR", impl_->driverDir.c_str(), 1);
}

std::vector<Device*> Simulator::devices() {
  std::lock_guard<std::mutex> l(impl_->mu);
  std::vector<Device*> out;
  for (auto& d : impl_->devices) out.push_back(d.get());
  return out;
}

// ---- Simulator::Impl

Device& Simulator::Impl::add(std::unique_ptr<Device::Impl> impl) {
  impl->sim = this;
  Device::Impl& d = *impl;
  openEndpoint(d);  // throws; nothing is kept then
  std::lock_guard<std::mutex> l(mu);
  devices.push_back(std::make_unique<Device>(std::move(impl)));
  if (running) d.startServing();
  return *devices.back();
}

void Simulator::Impl::schedule(std::chrono::milliseconds after, std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> l(timeMu);
    events.emplace(std::chrono::steady_clock::now() + after, std::move(fn));
  }
  timeCv.notify_all();
}

void Simulator::Impl::timelineLoop() {
  std::unique_lock<std::mutex> l(timeMu);
  while (!timelineStop) {
    if (events.empty()) {
      timeCv.wait(l);
      continue;
    }
    auto first = events.begin();
    if (std::chrono::steady_clock::now() < first->first) {
      timeCv.wait_until(l, first->first);
      continue;
    }
    std::function<void()> fn = std::move(first->second);
    events.erase(first);
    l.unlock();
    fn();
    l.lock();
  }
}

}  // namespace qzsim
