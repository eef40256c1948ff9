// A hostile controller: the input picks the transport, the exports called and every answer
// the "controller" gives (each report, completion, frame, block, byte count and failure).
// The device access and controller functions libraries are compiled in with a fake of the
// platform layers they sit on (HID reports, device-object requests, serial lines, sleeping)
// that answers from the input, so every exchange is a function call and time is virtual.
//
// Checked on every call, besides what ASan and UBSan see:
//  - every output is a heap block of exactly its size;
//  - a failing call of the device access library leaves its outputs as they were (the
//    refusal byte of SendCmd and the values a bulk transfer stored being the exceptions);
//  - outputs the controller functions leave alone on failure are left alone, texts are
//    terminated within their fields, array references of a buffer record are kept;
//  - the requests sent and the time slept stay within what the retry rules allow.
// The first input byte picks the transport and family; then each call takes one byte for
// the export and as many for its arguments as it needs, interleaved with the answers.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bindings.h"
#include "common/clock.h"
#include "driver/driver_client.h"
#include "hid/hid_layer.h"
#include "qz/advanced.h"
#include "qz/basic.h"
#include "serial/serial_port.h"
#include "state.h"

namespace {

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "hostile_controller: %s\n", what);
  abort();
}
#define CHECK(c) \
  do {           \
    if (!(c)) fail(#c); \
  } while (0)

// ---- The input -----------------------------------------------------------------------

struct Feed {
  const uint8_t* data = nullptr;
  size_t size = 0, pos = 0;
  bool empty() const { return pos >= size; }
  uint8_t byte() { return empty() ? 0 : data[pos++]; }
  // An answer's control byte; once the input is used up every operation fails, so every
  // loop of the libraries ends.
  bool control(uint8_t* c) {
    if (empty()) return false;
    *c = data[pos++];
    return true;
  }
  void fill(uint8_t* out, size_t n) {
    size_t k = n < size - pos ? n : size - pos;
    if (empty()) k = 0;
    memcpy(out, data + pos, k);
    memset(out + k, 0, n - k);
    pos += k;
  }
};

Feed g_feed;
int64_t g_clockMs = 0;      // virtual time: sleeping only advances it
uint64_t g_requests = 0;    // sends of commands over every transport
uint8_t g_lastCommand[5];   // the last command a device took

enum Answer : uint8_t { kEcho, kRefuse, kOther, kFail, kRaw, kShort };
Answer answerOf(uint8_t c) {
  switch (c & 7) {
    case 1: return kRefuse;
    case 2: return kOther;
    case 3: return kFail;
    case 4: return kRaw;
    case 5: return kShort;
    default: return kEcho;
  }
}

// A five-byte reply as the controller sends it: the echoed opcode (or a refusal, another
// opcode, raw bytes) and four bytes from the input.
void replyPacket(Answer a, uint8_t* out) {
  g_feed.fill(out, 5);
  if (a == kEcho || a == kShort) out[0] = g_lastCommand[0];
  if (a == kRefuse) out[0] = 0xAA;
}

// ---- Fake devices: which ones exist, chosen by the first input byte -------------------

struct Setup {
  int transport = 0;      // 0 HID, 1 device object, 2 serial line
  int product = 0;        // index into kProducts
  int objectIndex = 0;    // device-object name pattern 0..3
  int objectInstance = 0;
  bool twoHid = false;
};
Setup g_setup;

constexpr const char* kProducts[] = {"7480", "7413", "2150", "7416", "1234", "74a0", "2000", "9999"};
constexpr const char* kObjectNames[4] = {"QZUKRXM_API%d", "QZU2K_API%d", "QZSKRXM_API%d", "QZS2K_API%d"};

std::vector<int> g_fds;  // descriptors the fakes handed out (the libraries close them)

int newFd() {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) g_fds.push_back(fd);
  return fd;
}

}  // namespace

// ---- Virtual time -----------------------------------------------------------------------

namespace qz {
void sleepMs(int ms) {
  if (ms > 0) g_clockMs += ms;
}
int64_t monotonicMs() { return g_clockMs; }
}  // namespace qz

// ---- HID layer ------------------------------------------------------------------------

namespace qz::hid {
namespace {
constexpr intptr_t kBase = 0x48440000;
intptr_t g_open[8];
intptr_t g_next = kBase;
bool known(intptr_t h) {
  if (h == kNoHandle) return false;
  for (intptr_t o : g_open)
    if (o == h) return true;
  return false;
}
}  // namespace

bool enumerate(void* ctx, bool (*visit)(void*, const char*)) {
  if (g_setup.transport != 0) return true;  // an empty list
  char path[kPathSize];
  for (int i = 0; i < (g_setup.twoHid ? 2 : 1); ++i) {
    snprintf(path, sizeof path, "\\\\?\\hid#vid_7a3d&pid_%s#fz%d", kProducts[(g_setup.product + i) % 8], i);
    if (!visit(ctx, path)) break;
  }
  return true;
}

intptr_t open(const char* path) {
  if (!path || strnlen(path, kPathSize) >= kPathSize) return kNoHandle;
  uint8_t c;
  if (!g_feed.control(&c) || answerOf(c) == kFail) return kNoHandle;
  for (auto& o : g_open) {
    if (o != kNoHandle) continue;
    o = g_next++;
    return o;
  }
  return kNoHandle;
}

int lastOpenError() { return 0; }

bool close(intptr_t h) {
  for (auto& o : g_open)
    if (o == h && h != kNoHandle) {
      o = kNoHandle;
      return true;
    }
  return false;
}

bool isOpen(intptr_t h) { return known(h); }

bool sendFeature(intptr_t h, const uint8_t* data, size_t len) {
  CHECK(len == 6);
  ++g_requests;
  if (!known(h)) return false;
  uint8_t c;
  if (!g_feed.control(&c) || answerOf(c) == kFail) return false;
  memcpy(g_lastCommand, data + 1, 5);
  return true;
}

bool getFeature(intptr_t h, uint8_t* data, size_t len) {
  CHECK(len > 0 && len <= kMaxReport);
  if (!known(h)) return false;
  uint8_t c;
  if (!g_feed.control(&c)) return false;
  const Answer a = answerOf(c);
  if (a == kFail) {
    g_feed.fill(data + 1, (len - 1) < 5 ? len - 1 : 5);  // a failed read may leave bytes
    return false;
  }
  if (len == 6) {
    replyPacket(a, data + 1);
  } else {
    g_feed.fill(data + 1, len - 1);  // a block
  }
  return true;
}

bool writeOutput(intptr_t h, const uint8_t* data, size_t len) {
  CHECK(data && len > 0 && len <= kMaxReport);
  if (!known(h)) return false;
  uint8_t c;
  return g_feed.control(&c) && answerOf(c) != kFail;
}

int readInput(intptr_t, uint8_t*, size_t, int) { return -1; }
bool parsePath(const char*, uint16_t*, uint16_t*) { return false; }

void resetFake() {
  for (auto& o : g_open) o = kNoHandle;
}

}  // namespace qz::hid

// ---- Device objects ---------------------------------------------------------------------

namespace qz::driver {

int connectObject(const char* path) {
  if (g_setup.transport != 1) return -1;
  char name[32];
  snprintf(name, sizeof name, kObjectNames[g_setup.objectIndex], g_setup.objectInstance);
  const char* slash = strrchr(path, '/');
  if (!slash || strcmp(slash + 1, name) != 0) return -1;
  return newFd();
}

bool call(int fd, uint32_t code, const void* input, size_t inputLen, void* out, size_t cap, size_t* returned) {
  CHECK(fd >= 0 && cap <= kMaxOutput && (cap == 0 || out));
  uint8_t c;
  const bool send = code == kSendOld || code == kSendNew;
  if (send) {
    CHECK(inputLen == 5 && input);
    ++g_requests;
  }
  if (!g_feed.control(&c)) return false;
  const Answer a = answerOf(c);
  if (a == kFail) return false;
  auto* o = static_cast<uint8_t*>(out);
  size_t n = 0;
  if (send) memcpy(g_lastCommand, input, 5);
  if (code == kVersionMajor || code == kVersionMinor || code == kVersionThird) {
    n = a == kShort ? cap / 2 : cap;
    g_feed.fill(o, n);
  } else if (cap == 5) {
    replyPacket(a, o);
    n = a == kShort ? g_feed.byte() % 6 : 5;
  } else if (cap > 0) {
    n = a == kShort ? (size_t(g_feed.byte()) << 8 | g_feed.byte()) % (cap + 1) : cap;
    g_feed.fill(o, n);
  }
  if (returned) *returned = n;
  return true;
}

}  // namespace qz::driver

// ---- Serial lines -----------------------------------------------------------------------

namespace qz::serial {
namespace {
uint8_t g_line[16];
size_t g_lineN = 0;
uint8_t g_written[6];
size_t g_writtenN = 0;

uint8_t sum(const uint8_t* f) {
  unsigned s = 0;
  for (int i = 0; i < 5; ++i) s += f[i];
  return uint8_t(~s);
}
}  // namespace

bool portPath(int port, char* out, size_t cap) {
  if (port <= 0) return false;
  int n = snprintf(out, cap, "/dev/fzcom%d", port);
  return n > 0 && size_t(n) < cap;
}

int open(const char*) {
  if (g_setup.transport != 2) return -1;
  uint8_t c;
  if (!g_feed.control(&c) || answerOf(c) == kFail) return -1;
  return newFd();
}

void close(int fd) {
  if (fd >= 0) ::close(fd);
}

bool configure(int, int) {
  uint8_t c;
  return g_feed.control(&c) && answerOf(c) != kFail;
}

bool purge(int) {
  g_lineN = 0;
  g_writtenN = 0;
  return true;
}

long write(int fd, const uint8_t* data, size_t n, int) {
  CHECK(fd >= 0 && n > 0 && n <= 6);
  uint8_t c;
  if (!g_feed.control(&c)) return -1;
  long w;
  switch (answerOf(c)) {
    case kFail: return -1;
    case kRaw: return 0;
    case kShort: w = long(1 + (c >> 3) % n); break;
    default: w = long(n);
  }
  for (long i = 0; i < w && g_writtenN < 6; ++i) g_written[g_writtenN++] = data[i];
  if (g_writtenN == 6) {
    ++g_requests;
    memcpy(g_lastCommand, g_written, 5);
    g_writtenN = 0;
  }
  return w;
}

long read(int fd, uint8_t* data, size_t n, int) {
  CHECK(fd >= 0 && n > 0 && n <= 6);
  uint8_t c;
  if (!g_feed.control(&c)) return -1;
  const Answer a = answerOf(c);
  if (a == kFail) return (c & 8) ? -1 : 0;
  if (g_lineN == 0) {
    uint8_t f[6];
    replyPacket(a, f);
    f[5] = (c & 0x10) ? g_feed.byte() : sum(f);  // sometimes a broken checksum
    memcpy(g_line, f, 6);
    g_lineN = 6;
  }
  size_t k = a == kShort ? 1 + (c >> 5) % 3 : g_lineN;
  if (k > n) k = n;
  if (k > g_lineN) k = g_lineN;
  memcpy(data, g_line, k);
  memmove(g_line, g_line + k, g_lineN - k);
  g_lineN -= k;
  return long(k);
}

}  // namespace qz::serial

// ---- The harness ------------------------------------------------------------------------

namespace {

using namespace qz;

// A heap block of exactly n bytes, filled with a pattern, and a copy to compare with.
struct Block {
  uint8_t* p = nullptr;
  std::vector<uint8_t> before;
  size_t n = 0;
  explicit Block(size_t size) : n(size) {
    p = static_cast<uint8_t*>(malloc(size));
    for (size_t i = 0; i < size; ++i) p[i] = uint8_t(0xA5 ^ i);
    before.assign(p, p + size);
  }
  ~Block() { free(p); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  bool same() const { return memcmp(p, before.data(), n) == 0; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(p);
  }
};

bool terminated(const char* s, size_t cap) { return memchr(s, 0, cap) != nullptr; }

int g_callbacks = 0;
void Found(const char* path, const char* name) {
  CHECK(path && name && terminated(name, QZ_MODEL_NAME_SIZE) && strlen(path) < QZ_PATH_SIZE);
  ++g_callbacks;
}

int32_t arg() { return int32_t(int8_t(g_feed.byte())); }  // small, sometimes negative

// The library back to its state at load: every handle closed, defaults everywhere.
void resetLibraries() {
  for (auto& s : g_table)
    if (s.handle != QZ_NO_DEVICE) CloseDevice(s.handle);
  if (g_current.handle != QZ_NO_DEVICE) CloseDevice(g_current.handle);
  // Descriptors the libraries lost track of (a device found when every slot was taken).
  // Nothing else opens files while an input runs, so an open one is still ours.
  for (size_t i = 0; i < g_fds.size(); ++i) {
    bool later = false;
    for (size_t j = i + 1; j < g_fds.size(); ++j) later |= g_fds[j] == g_fds[i];
    if (!later && fcntl(g_fds[i], F_GETFD) != -1) ::close(g_fds[i]);
  }
  g_fds.clear();
  hid::resetFake();
  const DeviceSlot empty = {"", 38400, 1, 0, 0, QZ_NO_DEVICE, QZ_TYPE_HID};
  for (auto& s : g_table) s = empty;
  g_current = empty;
  g_settings = ExchangeSettings{0, 64, 0, 5, 1, {0, 0, 0, 0, 0}, 0};
}

void bindBasic() {
  auto& b = adv::g_basic;
  b.SendE0 = SendE0; b.SendE1 = SendE1; b.SendE2 = SendE2; b.SendE3 = SendE3; b.SendE5 = SendE5;
  b.SendE6 = SendE6; b.SendE7 = SendE7; b.SendE8 = SendE8; b.SendEA = SendEA; b.SendEB = SendEB;
  b.SendEC = SendEC; b.SendED = SendED; b.SendEE = SendEE; b.SendEF = SendEF; b.NewSlvEB = NewSlvEB;
  b.NewSlvED = NewSlvED; b.NewSlvEE = NewSlvEE; b.SendF0 = SendF0; b.SendF1 = SendF1; b.SendF3 = SendF3;
  b.SendF4 = SendF4; b.SendF5 = SendF5; b.SendF6 = SendF6; b.SendF7 = SendF7; b.SendF8 = SendF8;
  b.SendF9 = SendF9; b.ChkFACmd = ChkFACmd; b.SendFB = SendFB; b.SendFC = SendFC; b.SendFD = SendFD;
  b.SendFE = SendFE; b.SendFF = SendFF; b.SendD0 = SendD0; b.SendD1 = SendD1; b.SendD2 = SendD2;
  b.SendD3 = SendD3; b.SendD4 = SendD4; b.SendD5 = SendD5; b.SendD6 = SendD6; b.SendD7 = SendD7;
  b.SendD8 = SendD8; b.ReceiveRawCount = ReceiveRawCount; b.IsQZ2K = IsQZ2K;
}

// A basic export with outputs: on failure none of them may have changed.
void untouchedOnFailure(int32_t r, std::initializer_list<const Block*> outs) {
  if (r != 0) return;
  for (const Block* b : outs) CHECK(b->same());
}

size_t imageSize(const ParaListInfo& i) {
  size_t n = 0;
  if (i.sections & 0x80) n += i.apLength;
  if (i.sections & 0x40) n += i.bootLength;
  if (i.sections & 0x20) n += i.debugLength;
  for (int k = 0; k < 4; ++k)
    if (i.sections & (0x08 >> k)) n += i.slaveLength;
  return n;
}

// The lists description a caller would pass: the controller's, or made up when it fails.
ParaListInfo listInfo(DeviceHandle h) {
  ParaListInfo info;
  if (g_feed.byte() & 1) {
    g_feed.fill(reinterpret_cast<uint8_t*>(&info), sizeof info);
    return info;
  }
  Block out(sizeof(ParaListInfo));
  if (GetParaListInfo(h, out.as<ParaListInfo>())) {
    info = *out.as<ParaListInfo>();
    info.sections &= g_feed.byte();  // a caller may select fewer lists
  } else {
    memset(&info, 0, sizeof info);
  }
  return info;
}

// One frame read the way a caller does it: dimensions and counts from the controller,
// arrays of exactly the counts.
void frame(DeviceHandle h, int which) {
  Block pins(sizeof(PinNumberInfo)), buf(sizeof(RawCountBuffer));
  if (!GetPinNumber(h, pins.as<PinNumberInfo>())) return;
  auto* rb = buf.as<RawCountBuffer>();
  uint16_t* const marker = reinterpret_cast<uint16_t*>(uintptr_t(0x10));
  rb->mutualValues = rb->sectorValues = rb->totalDriveValues = marker;
  const int32_t r = GetRawCountBufferSize(h, rb);
  CHECK(rb->mutualValues == marker && rb->sectorValues == marker && rb->totalDriveValues == marker);
  if (!r) return;
  const PinNumberInfo p = *pins.as<PinNumberInfo>();
  // The two calls ask the controller twice; a hostile one may answer differently, so the
  // counts need not match the dimensions (the frame functions trust both, as callers do).
  CHECK(rb->mutualValueCount >= 0 && rb->mutualValueCount <= 255 * 255);
  CHECK(rb->sectorValueCount >= 0 && rb->sectorValueCount <= 255 * 255);
  CHECK(rb->totalDriveValueCount >= 0 && rb->totalDriveValueCount <= 255);
  Block mutual(size_t(rb->mutualValueCount) * 2), sector(size_t(rb->sectorValueCount) * 2),
      total(size_t(rb->totalDriveValueCount) * 2);
  rb->mutualValues = rb->mutualValueCount ? mutual.as<uint16_t>() : nullptr;
  rb->sectorValues = rb->sectorValueCount ? sector.as<uint16_t>() : nullptr;
  rb->totalDriveValues = rb->totalDriveValueCount ? total.as<uint16_t>() : nullptr;
  if (g_feed.byte() & 1) rb->bulkTransfer ^= 1;  // the caller's choice of reading
  const uint64_t sends = g_requests;
  const int64_t t = g_clockMs;
  switch (which) {
    case 0: GetRawCount(h, pins.as<PinNumberInfo>(), rb); break;
    case 1: GetBaseLine(h, pins.as<PinNumberInfo>(), rb); break;
    default: GetModeDiff(h, pins.as<PinNumberInfo>(), rb, arg()); break;
  }
  // Status polls are bounded, then one exchange per value pair (or one transfer).
  const uint64_t values = uint64_t(p.sensorCount) * (p.driverCount + p.sectorCount + 1);
  CHECK(g_requests - sends <= 5 * (8 + 101 + values));
  CHECK(g_clockMs - t <= 6000 + int64_t(g_requests - sends) * 1300);
}

// One call of the export the input names, checked.
void callOne(DeviceHandle& h) {
  const uint8_t which = g_feed.byte() % 96;
  const uint64_t sends = g_requests;
  const int64_t t = g_clockMs;
  int32_t r = 0;
  int exchanges = 4;  // most functions need up to three exchanges
  switch (which) {
    // ---- device table and finders
    case 0: {
      Block out(sizeof(DeviceHandle));
      char path[QZ_PATH_SIZE];
      snprintf(path, sizeof path, "%s", g_current.devicePath);
      r = OpenDevice(path, out.as<DeviceHandle>());
      untouchedOnFailure(r, {&out});
      if (r) h = *out.as<DeviceHandle>();
      exchanges = 0;
      break;
    }
    case 1: CloseDevice(h); h = QZ_NO_DEVICE; exchanges = 0; break;
    case 2: { Block o(4); untouchedOnFailure(GetDeviceType(h, o.as<int32_t>()), {&o}); exchanges = 0; break; }
    case 3: { Block o(4); untouchedOnFailure(IsQZ2K(h, o.as<int32_t>()), {&o}); exchanges = 0; break; }
    case 4:
    case 5:
    case 6:
    case 7: {
      Block hd(sizeof(DeviceHandle)), name(QZ_MODEL_NAME_SIZE);
      switch (which) {
        case 4: r = FindHidDevice(hd.as<DeviceHandle>(), name.as<char>()); break;
        case 5: r = FindQZDevice(hd.as<DeviceHandle>(), name.as<char>()); break;
        case 6: r = FindRSDevice(1 + g_feed.byte() % 4, 38400, hd.as<DeviceHandle>(), name.as<char>()); break;
        default: r = FindPreDevice(hd.as<DeviceHandle>(), name.as<char>()); break;
      }
      untouchedOnFailure(r, {&hd, &name});
      if (r) {
        CHECK(terminated(name.as<char>(), QZ_MODEL_NAME_SIZE));
        h = *hd.as<DeviceHandle>();
      }
      exchanges = 64 * 2;  // every candidate: identity, maybe F4
      break;
    }
    case 8: g_callbacks = 0; r = EnumerateHidDevices(Found); CHECK((r != 0) == (g_callbacks > 0)); exchanges = 4; break;
    case 9: g_callbacks = 0; r = EnumerateQZDevices(Found); CHECK((r != 0) == (g_callbacks > 0)); exchanges = 128; break;
    case 10: {
      Block cmd(5), reply(5);
      g_feed.fill(cmd.p, 5);
      cmd.before.assign(cmd.p, cmd.p + 5);
      r = SendCmd(h, cmd.p, reply.p);
      CHECK(cmd.same());
      if (!r) CHECK(memcmp(reply.p + 1, reply.before.data() + 1, 4) == 0 &&
                    (reply.p[0] == reply.before[0] || reply.p[0] == 0xAA));
      exchanges = 1;
      break;
    }
    case 11: {
      const size_t n = g_feed.byte();
      Block bytes(n);
      SetOutputReport(h, int32_t(n), bytes.p);
      exchanges = 0;
      break;
    }
    case 12: {
      Block v(12);
      r = GetQZDriverVersion(h, v.as<int32_t>());
      if (!r) CHECK(v.same());
      exchanges = 0;
      break;
    }
    // ---- catalogue
    case 13: { Block o(4); untouchedOnFailure(SendE0(h, arg(), arg(), o.p), {&o}); exchanges = 1; break; }
    case 14: SendE1(h, arg(), arg(), arg()); exchanges = 1; break;
    case 15: SendE2(h); exchanges = 1; break;
    case 16: { Block o(4); untouchedOnFailure(SendE3(h, arg(), arg(), arg(), o.p), {&o}); exchanges = 1; break; }
    case 17: { Block o(4); untouchedOnFailure(SendE5(h, arg(), o.p), {&o}); exchanges = 1; break; }
    case 18: { Block o(3); untouchedOnFailure(SendE6(h, arg(), arg(), o.p), {&o}); exchanges = 1; break; }
    case 19: { Block o(4); untouchedOnFailure(SendE7(h, o.as<int32_t>()), {&o}); exchanges = 1; break; }
    case 20: {
      Block a(2), b(2), o(4);
      g_feed.fill(a.p, 2);
      g_feed.fill(b.p, 2);
      untouchedOnFailure(SendE8(h, a.p, b.p, o.as<uint16_t>()), {&o});
      exchanges = 1;
      break;
    }
    case 21: SendEA(h, arg()); exchanges = 2; break;
    case 22:
    case 23:
    case 24: {
      Block a(1), b(1), c(1), d(1);
      const int32_t s = arg();
      if (which == 22) r = SendEB(h, a.p, b.p, c.p, d.p);
      else if (which == 23) r = SendEF(h, a.p, b.p, c.p, d.p);
      else r = NewSlvEB(h, s, a.p, b.p, c.p, d.p);
      untouchedOnFailure(r, {&a, &b, &c, &d});
      exchanges = 1;
      break;
    }
    case 25: SendEC(h, arg(), arg()); exchanges = 1; break;
    case 26:
    case 27: {
      Block a(1), b(1), c(2);
      r = which == 26 ? SendED(h, a.p, b.p, c.as<uint16_t>()) : NewSlvED(h, arg(), a.p, b.p, c.as<uint16_t>());
      untouchedOnFailure(r, {&a, &b, &c});
      exchanges = 1;
      break;
    }
    case 28:
    case 29: {
      Block a(2), b(1), c(1);
      r = which == 28 ? SendEE(h, a.as<uint16_t>(), b.p, c.p) : NewSlvEE(h, arg(), a.as<uint16_t>(), b.p, c.p);
      untouchedOnFailure(r, {&a, &b, &c});
      exchanges = 1;
      break;
    }
    case 30: SendF0(h, arg()); exchanges = 1; break;
    case 31: SendF1(h, arg()); exchanges = 1; break;
    case 32: SendF3(h, arg(), arg()); exchanges = 1; break;
    case 33: SendF4(h, arg(), arg()); exchanges = 1; break;
    case 34: { Block o(4); untouchedOnFailure(SendF5(h, arg(), o.p), {&o}); exchanges = 1; break; }
    case 35: SendF6(h, arg()); exchanges = 1; break;
    case 36: SendF7(h, arg()); exchanges = 1; break;
    case 37: SendF8(h, arg()); exchanges = 1; break;
    case 38: {
      Block a(1), b(1), c(1);
      untouchedOnFailure(SendF9(h, arg(), arg(), arg(), a.p, b.p, c.p), {&a, &b, &c});
      exchanges = 1;
      break;
    }
    case 39: { Block a(1); untouchedOnFailure(SendFA(h, arg(), arg(), a.p), {&a}); exchanges = 1; break; }
    case 40: ChkFACmd(h); exchanges = 3; break;
    case 41: { Block a(1); untouchedOnFailure(SendFB(h, a.p), {&a}); exchanges = 1; break; }
    case 42: { Block d(4); g_feed.fill(d.p, 4); SendFC(h, d.p); exchanges = 1; break; }
    case 43: SendFD(h, arg()); exchanges = 1; break;
    case 44: SendFE(h); exchanges = 2; break;
    case 45: SendFF(h); exchanges = 3; break;
    case 46: SendD0(h, arg() * 300, arg() * 300); exchanges = 1; break;
    case 47: {
      Block a(2), b(1);
      untouchedOnFailure(SendD1(h, arg() * 300, a.as<uint16_t>(), b.p), {&a, &b});
      exchanges = 1;
      break;
    }
    case 48: { Block a(4); untouchedOnFailure(SendD2(h, a.as<int32_t>()), {&a}); exchanges = 1; break; }
    case 49: { Block a(2); untouchedOnFailure(SendD3(h, a.as<uint16_t>()), {&a}); exchanges = 1; break; }
    case 50: SendD4(h); exchanges = 2; break;
    case 51: { Block a(1); untouchedOnFailure(SendD5(h, arg(), a.p), {&a}); exchanges = 1; break; }
    case 52: { Block a(1); untouchedOnFailure(SendD6(h, arg(), arg(), a.p), {&a}); exchanges = 1; break; }
    case 53: SendD7(h, arg()); exchanges = 1; break;
    case 54: SendD8(h); exchanges = 1; break;
    // ---- bulk transfer
    case 55: {
      const int32_t count = int32_t(g_feed.byte()) * 16 + g_feed.byte() % 16;
      Block v(size_t(count) * 2);
      ReceiveRawCount(h, count, v.as<uint16_t>());
      exchanges = 2 + count;  // at worst one block per value, then the closing exchange
      break;
    }
    case 56: {
      Block flag(4), size(2);
      untouchedOnFailure(GetBufferSize(h, arg(), flag.as<int32_t>(), size.as<uint16_t>()), {&flag, &size});
      exchanges = 2;
      break;
    }
    // ---- controller functions
    case 57: {
      Block o(sizeof(FWVersionInfo));
      auto* v = o.as<FWVersionInfo>();
      if (GetFWVersion(h, v)) {
        CHECK(terminated(v->masterVersion, QZ_VERSION_TEXT_SIZE));
        CHECK(v->slaveCount >= 0 && v->slaveCount <= QZ_MAX_SLAVES);
        for (int n = 0; n < v->slaveCount; ++n) CHECK(terminated(v->slaveVersion[n], QZ_VERSION_TEXT_SIZE));
      }
      exchanges = 32;
      break;
    }
    case 58: {
      Block o(sizeof(FWInfo));
      auto* v = o.as<FWInfo>();
      if (GetFWInfo(h, v)) CHECK(terminated(v->modelText, 20) && terminated(v->releaseSuffix, 5));
      exchanges = 8;
      break;
    }
    case 59: { Block o(1); untouchedOnFailure(GetParameterVersion(h, o.p), {&o}); exchanges = 1; break; }
    case 60: {
      Block o(1);
      uint32_t sel = uint32_t(g_feed.byte()) << 8 | g_feed.byte();
      untouchedOnFailure(GetFirmwareFlag(h, sel, o.p), {&o});
      exchanges = 1;
      break;
    }
    case 61: { Block o(sizeof(ParaListInfo)); GetParaListInfo(h, o.as<ParaListInfo>()); exchanges = 3; break; }
    case 62:
    case 63: {
      const ParaListInfo info = listInfo(h);
      Block in(sizeof info);
      memcpy(in.p, &info, sizeof info);
      Block image(imageSize(info));
      const uint64_t before = g_requests;
      if (which == 62) {
        GetParaList(h, in.as<ParaListInfo>(), image.p);
      } else {
        g_feed.fill(image.p, image.n);
        SetParaList(h, in.as<ParaListInfo>(), image.p);
      }
      CHECK(g_requests - before <= 5 * (12 + image.n + 16));
      exchanges = -1;
      break;
    }
    case 64: FlushParameter(h, arg()); exchanges = 2; break;
    case 65: ReloadDefaultParameter(h, arg()); exchanges = 3; break;
    case 66: { Block o(sizeof(ParaUISetting)); GetParaUISetting(h, o.as<ParaUISetting>()); exchanges = 26; break; }
    case 67: {
      const ParaListInfo info = listInfo(h);
      Block in(sizeof info), ui(sizeof(ParaUISetting)), image(imageSize(info));
      memcpy(in.p, &info, sizeof info);
      if (!(g_feed.byte() & 1) || !GetParaUISetting(h, ui.as<ParaUISetting>())) g_feed.fill(ui.p, ui.n);
      g_feed.fill(image.p, image.n);
      CHECK(UpdateParaUISetting(h, ui.as<ParaUISetting>(), in.as<ParaListInfo>(), image.p) == 1);
      exchanges = -1;
      break;
    }
    case 68: { Block o(sizeof(PinNumberInfo)); GetPinNumber(h, o.as<PinNumberInfo>()); exchanges = 3; break; }
    case 69: {
      Block o(sizeof(RawCountBuffer));
      auto* rb = o.as<RawCountBuffer>();
      uint16_t* const keep[3] = {rb->mutualValues, rb->sectorValues, rb->totalDriveValues};
      GetRawCountBufferSize(h, rb);
      CHECK(rb->mutualValues == keep[0] && rb->sectorValues == keep[1] && rb->totalDriveValues == keep[2]);
      exchanges = 8;
      break;
    }
    case 70:
    case 71:
    case 72: frame(h, which - 70); exchanges = -1; break;
    case 73: { Block a(4), b(4); GetScanCount(h, a.as<uint32_t>(), b.as<uint32_t>()); exchanges = 2; break; }
    case 74: { Block o(sizeof(PanelInfo)); GetPanelInfo(h, o.as<PanelInfo>()); exchanges = 3; break; }
    case 75:
    case 76: {
      Block text(40);
      const int32_t code = arg();
      r = which == 75 ? GetPanelSizeInfo(h, code, text.as<char>()) : GetCoverLensInfo(h, code, text.as<char>());
      if (r)
        CHECK(terminated(text.as<char>(), 40));
      else
        CHECK(text.same());
      exchanges = 3;
      break;
    }
    case 77: { Block o(4); GetStateFlag(h, o.p); exchanges = 2; break; }
    case 78: { Block o(4); untouchedOnFailure(GetFeatureFlag(h, o.p), {&o}); exchanges = 1; break; }
    case 79: { Block o(5); GetParameterFlag(h, o.p); exchanges = 5; break; }
    case 80: { Block o(12); GetThreshold(h, o.as<uint32_t>()); exchanges = 3; break; }
    case 81: EnableDataReport(h, arg()); exchanges = 1; break;
    case 82: EnablePCAPScan(h, arg()); exchanges = 1; break;
    case 83: CHECK(EnableDiagMode(h, arg()) == 0); exchanges = 1; break;
    case 84: SetDiagScanSkip(h, uint32_t(arg())); exchanges = 3; break;
    case 85: EnterBootMode(h); exchanges = 3; break;
    case 86: EnterSlaveBootMode(h, arg()); exchanges = 4; break;
    case 87: SetFreqHopMode(h, arg()); exchanges = 1; break;
    case 88: {
      Block o(4);
      CHECK(IsFreqHop(h, o.as<int32_t>()) == 1);
      CHECK(*o.as<int32_t>() == 0 || *o.as<int32_t>() == 1);
      exchanges = 1;
      break;
    }
    case 89: ResetMPU(h); exchanges = 2; break;
    case 90: { Block d(4); g_feed.fill(d.p, 4); QZEcho(h, d.p); exchanges = 1; break; }
    case 91: { Block o(1); untouchedOnFailure(QZLiveTest(h, o.p), {&o}); exchanges = 1; break; }
    default: {
      // A handle of a slot, or one no slot holds.
      const uint8_t k = g_feed.byte();
      h = k < 16 ? g_table[k].handle : DeviceHandle(k);
      exchanges = 0;
      break;
    }
  }
  if (exchanges >= 0) {
    // Five attempts per exchange; each attempt sleeps at most the longest reply wait (or
    // five serial read gaps) besides the fixed settling delays.
    CHECK(g_requests - sends <= uint64_t(5 * exchanges));
    CHECK(g_clockMs - t <= 1000 + int64_t(g_requests - sends + 5) * 1300);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  bindBasic();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  resetLibraries();
  g_feed = Feed{data, size, 0};
  g_clockMs = 0;
  const uint8_t s = g_feed.byte();
  g_setup.transport = s % 3;
  g_setup.product = (s >> 2) & 7;
  g_setup.objectIndex = (s >> 2) & 3;
  g_setup.objectInstance = (s >> 4) & 3;
  g_setup.twoHid = (s & 0x80) != 0;
  DeviceHandle h = QZ_NO_DEVICE;
  char name[QZ_MODEL_NAME_SIZE];
  switch (g_setup.transport) {
    case 0: FindHidDevice(&h, name); break;
    case 1: FindQZDevice(&h, name); break;
    default: FindRSDevice(1, 38400, &h, name); break;
  }
  for (int calls = 0; calls < 24 && !g_feed.empty(); ++calls) callOne(h);
  resetLibraries();
  return 0;
}
