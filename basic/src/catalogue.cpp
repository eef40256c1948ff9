// The command catalogue: one row of data per five-byte command (its opcode, where its
// arguments go in the packet, how the reply bytes become outputs, per family), one engine
// that runs a row through the shared packet, and the commands that need more than a row.
#include <array>
#include <cstring>

#include "catalogue.h"
#include "common/clock.h"
#include "state.h"

namespace qz {
namespace {

// A packet byte: a constant 0..255, or the low byte of the first to fourth argument.
constexpr int16_t A1 = -1, A2 = -2, A3 = -3, A4 = -4;

enum class Width : uint8_t { k8, k16, k32 };

// One output value: outs[slot][elem] of the given width, assembled from reply bytes
// src[0] (least significant) upwards, 0 ending the list; with no source it is `fixed`.
struct Field {
  uint8_t slot;
  uint8_t elem;
  Width width;
  uint8_t src[4];
  uint8_t fixed;
};

// *outs[slot] = r<n>
constexpr Field Byte(int slot, int r) { return {uint8_t(slot), 0, Width::k8, {uint8_t(r)}, 0}; }
// outs[slot][elem] = r<n>
constexpr Field Elem(int slot, int elem, int r) {
  return {uint8_t(slot), uint8_t(elem), Width::k8, {uint8_t(r)}, 0};
}
// *outs[slot] = constant
constexpr Field Fixed(int slot, int value) { return {uint8_t(slot), 0, Width::k8, {}, uint8_t(value)}; }
// 16-bit outs[slot][elem] = r<lo> + 256 r<hi>
constexpr Field Word(int slot, int lo, int hi, int elem = 0) {
  return {uint8_t(slot), uint8_t(elem), Width::k16, {uint8_t(lo), uint8_t(hi)}, 0};
}
// 16-bit outs[slot][elem] = 0
constexpr Field WordZero(int slot, int elem) { return {uint8_t(slot), uint8_t(elem), Width::k16, {}, 0}; }
// 32-bit *outs[slot], bytes least significant first
constexpr Field Long(int slot, int b0, int b1, int b2, int b3 = 0) {
  return {uint8_t(slot), 0, Width::k32, {uint8_t(b0), uint8_t(b1), uint8_t(b2), uint8_t(b3)}, 0};
}

struct Decode {
  std::array<Field, 4> fields{};
  uint8_t count = 0;
};

template <typename... F>
constexpr Decode Outputs(F... f) {
  return Decode{{f...}, uint8_t(sizeof...(F))};
}

struct Row {
  uint8_t opcode;
  int16_t bytes[4];
  Decode krxm;
  Decode twoK;
  constexpr Row(uint8_t op, std::array<int16_t, 4> b, Decode both = {}) : Row(op, b, both, both) {}
  constexpr Row(uint8_t op, std::array<int16_t, 4> b, Decode k, Decode t)
      : opcode(op), bytes{b[0], b[1], b[2], b[3]}, krxm(k), twoK(t) {}
};

// Output shapes shared by several rows.
constexpr Decode kOut4 = Outputs(Elem(0, 0, 1), Elem(0, 1, 2), Elem(0, 2, 3), Elem(0, 3, 4));
constexpr Decode kABCD = Outputs(Byte(0, 1), Byte(1, 2), Byte(2, 3), Byte(3, 4));
constexpr Decode kABC16 = Outputs(Byte(0, 1), Byte(1, 2), Word(2, 3, 4));   // ED, slave ED
constexpr Decode kA16BC = Outputs(Word(0, 1, 2), Byte(1, 3), Byte(2, 4));   // EE, slave EE
constexpr Decode kR1 = Outputs(Byte(0, 1));
constexpr Decode kR4 = Outputs(Byte(0, 4));

// The catalogue. Rows whose last column is empty have no outputs: the function returns
// the result of the exchange.
//                  op    packet bytes 1-4       outputs (KRXM)                    outputs (2K)
constexpr Row kE0  {0xE0, {A1, A2, 0, 0},   kOut4};
constexpr Row kE1  {0xE1, {A1, A2, 0, A3}};
constexpr Row kE2  {0xE2, {0, 0, 0, 0}};
constexpr Row kE3  {0xE3, {A1, A2, 0, A3},  kOut4};
constexpr Row kE5  {0xE5, {0, 0, 0, A1},    kOut4};
constexpr Row kE6  {0xE6, {A1, A2, 0, 0},   Outputs(Elem(0, 0, 2), Elem(0, 1, 3), Elem(0, 2, 4))};
constexpr Row kE7  {0xE7, {0, 0, 0, 0},     Outputs(Long(0, 4, 3, 2, 1))};  // r1 most significant
constexpr Row kE8One {0xE8, {A1, A2, A3, A4}, Outputs(Word(0, 3, 4, 0), WordZero(0, 1))};
constexpr Row kE8Two {0xE8, {A1, A2, A3, A4}, Outputs(Word(0, 1, 2, 0), Word(0, 3, 4, 1))};
constexpr Row kEA  {0xEA, {0, A1, 0, 0}};
constexpr Row kEB  {0xEB, {0, 0, 0, 0},     kABCD};
constexpr Row kEBas2K {0xE7, {0, 0, 0, 0},  kABCD};
constexpr Row kEC  {0xEC, {0, A1, 0, A2}};
constexpr Row kED  {0xED, {0, 0, 0, 0},     kABC16, Outputs(Byte(0, 2), Fixed(1, 0), Word(2, 4, 3))};
constexpr Row kEE  {0xEE, {0, 0, 0, 0},     kA16BC, Outputs(Word(0, 2, 1), Byte(1, 4), Fixed(2, 0))};
constexpr Row kEF  {0xEF, {0, 0, 0, 0},     kABCD,  Outputs(Fixed(0, 1), Byte(1, 2), Byte(2, 3), Byte(3, 4))};
constexpr Row kSlvEB {0xEB, {A1, 0, 0, 0},  kABCD};
constexpr Row kSlvED {0xED, {A1, 0, 0, 0},  kABC16};
constexpr Row kSlvEE {0xEE, {A1, 0, 0, 0},  kA16BC};
constexpr Row kF0  {0xF0, {0, 0, 0, A1}};
constexpr Row kF1  {0xF1, {0, 0, 0, A1}};
constexpr Row kF3  {0xF3, {0, A1, 0, A2}};
constexpr Row kF4  {0xF4, {0, A1, 0, A2}};
constexpr Row kF5  {0xF5, {0, A1, 0, 0},    kOut4};
constexpr Row kF6  {0xF6, {0, 0, 0, A1}};
constexpr Row kF7  {0xF7, {0, 0, 0, A1}};
constexpr Row kF8  {0xF8, {0, 0, 0, A1}};
constexpr Row kF9  {0xF9, {0, A1, A2, A3},  Outputs(Byte(0, 1), Byte(1, 2), Byte(2, 3))};
constexpr Row kFA  {0xFA, {0, 0, A1, A2},   kR1};
constexpr Row kFB  {0xFB, {0, 0, 0, 0},     kR4};
constexpr Row kFC  {0xFC, {A1, A2, A3, A4}};
constexpr Row kFD  {0xFD, {0, 0, 0, A1}};
constexpr Row kFE  {0xFE, {0, 0, 0, 0}};
constexpr Row kFFOn  {0xFF, {0xAA, 0x55, 0xAA, 0x55}};
constexpr Row kFFOff {0xFF, {0x55, 0xAA, 0x55, 0xAA}};
constexpr Row kFFOn2K  {0xE8, {0xAA, 0x55, 0xAA, 0x55}};
constexpr Row kFFOff2K {0xE8, {0x55, 0xAA, 0x55, 0xAA}};
constexpr Row kD0  {0xD0, {A1, A2, A3, A4}};
constexpr Row kD1  {0xD1, {0, 0, A1, A2},   Outputs(Word(0, 1, 2), Byte(1, 4))};
constexpr Row kD2  {0xD2, {0, 0, 0, 0},     Outputs(Long(0, 1, 2, 3))};
constexpr Row kD3  {0xD3, {0, 0, 0, 1},     Outputs(Word(0, 1, 2))};
constexpr Row kD4  {0xD4, {0, 0, 0, 0}};
constexpr Row kD5  {0xD5, {0, A1, 0, 0},    kR4};
constexpr Row kD6  {0xD6, {0, A1, 0, A2},   kR4};
constexpr Row kD7  {0xD7, {0, 0, 0, A1}};
constexpr Row kD8  {0xD8, {0, 0x55, 0, 0}};

using Args = std::array<int32_t, 4>;
using Outs = std::array<void*, 4>;

uint8_t* Packet() { return g_settings.sharedPacket; }

int32_t ExchangePacket(DeviceHandle h) { return SendCmd(h, Packet(), Packet()); }

bool OutputsPresent(const Decode& d, const Outs& outs) {
  for (int i = 0; i < d.count; ++i)
    if (!outs[d.fields[i].slot]) return false;
  return true;
}

void Store(const Decode& d, const Outs& outs) {
  const uint8_t* r = Packet();
  for (int i = 0; i < d.count; ++i) {
    const Field& f = d.fields[i];
    uint32_t v = f.fixed;
    if (f.src[0]) {
      v = 0;
      for (int b = 3; b >= 0; --b)
        if (f.src[b]) v = v << 8 | r[f.src[b]];
    }
    switch (f.width) {
      case Width::k8: static_cast<uint8_t*>(outs[f.slot])[f.elem] = uint8_t(v); break;
      case Width::k16: static_cast<uint16_t*>(outs[f.slot])[f.elem] = uint16_t(v); break;
      case Width::k32: static_cast<int32_t*>(outs[f.slot])[f.elem] = int32_t(v); break;
    }
  }
}

// Builds the row's packet in the shared packet, exchanges it, and on success writes the
// outputs from whatever the packet then holds, decoded for the addressed device's family.
// Nothing is sent when an output the row writes is missing.
int32_t Run(const Row& row, DeviceHandle h, Args args = {}, Outs outs = {}) {
  if (!OutputsPresent(row.krxm, outs) || !OutputsPresent(row.twoK, outs)) return 0;
  uint8_t* p = Packet();
  p[0] = row.opcode;
  for (int i = 0; i < 4; ++i) {
    const int16_t b = row.bytes[i];
    p[i + 1] = b >= 0 ? uint8_t(b) : uint8_t(args[-b - 1]);
  }
  if (!ExchangePacket(h)) return 0;
  Store(g_current.is2KFamily ? row.twoK : row.krxm, outs);
  return 1;
}

// Slave commands address slave s as s - 0x10, modulo 256.
int32_t Slave(int32_t s) { return uint8_t(uint8_t(s) - 0x10); }

int32_t Low(int32_t v) { return v & 0xFF; }
int32_t High(int32_t v) { return (v >> 8) & 0xFF; }

}  // namespace

int32_t ExchangeShared(DeviceHandle handle, uint8_t opcode, uint8_t b1, uint8_t b2, uint8_t b3,
                       uint8_t b4) {
  uint8_t* p = Packet();
  p[0] = opcode;
  p[1] = b1;
  p[2] = b2;
  p[3] = b3;
  p[4] = b4;
  return ExchangePacket(handle);
}

}  // namespace qz

using namespace qz;

extern "C" {

// ---- Commands that are one row ----------------------------------------------------------

QZ_EXPORT int32_t SendE0(DeviceHandle h, int32_t p, int32_t q, uint8_t* out) { return Run(kE0, h, {p, q}, {out}); }
QZ_EXPORT int32_t SendE1(DeviceHandle h, int32_t p, int32_t q, int32_t v) { return Run(kE1, h, {p, q, v}); }
QZ_EXPORT int32_t SendE2(DeviceHandle h) { return Run(kE2, h); }
QZ_EXPORT int32_t SendE3(DeviceHandle h, int32_t p, int32_t q, int32_t v, uint8_t* out) { return Run(kE3, h, {p, q, v}, {out}); }
QZ_EXPORT int32_t SendE5(DeviceHandle h, int32_t v, uint8_t* out) { return Run(kE5, h, {v}, {out}); }
QZ_EXPORT int32_t SendE6(DeviceHandle h, int32_t p, int32_t q, uint8_t* out) { return Run(kE6, h, {p, q}, {out}); }
QZ_EXPORT int32_t SendE7(DeviceHandle h, int32_t* out) { return Run(kE7, h, {}, {out}); }
QZ_EXPORT int32_t SendEC(DeviceHandle h, int32_t p, int32_t v) { return Run(kEC, h, {p, v}); }
QZ_EXPORT int32_t SendED(DeviceHandle h, uint8_t* a, uint8_t* b, uint16_t* c) { return Run(kED, h, {}, {a, b, c}); }
QZ_EXPORT int32_t SendEE(DeviceHandle h, uint16_t* a, uint8_t* b, uint8_t* c) { return Run(kEE, h, {}, {a, b, c}); }
QZ_EXPORT int32_t SendEF(DeviceHandle h, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d) { return Run(kEF, h, {}, {a, b, c, d}); }
QZ_EXPORT int32_t NewSlvEB(DeviceHandle h, int32_t s, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d) { return Run(kSlvEB, h, {Slave(s)}, {a, b, c, d}); }
QZ_EXPORT int32_t NewSlvED(DeviceHandle h, int32_t s, uint8_t* a, uint8_t* b, uint16_t* c) { return Run(kSlvED, h, {Slave(s)}, {a, b, c}); }
QZ_EXPORT int32_t NewSlvEE(DeviceHandle h, int32_t s, uint16_t* a, uint8_t* b, uint8_t* c) { return Run(kSlvEE, h, {Slave(s)}, {a, b, c}); }
QZ_EXPORT int32_t SendF0(DeviceHandle h, int32_t v) { return Run(kF0, h, {v}); }
QZ_EXPORT int32_t SendF1(DeviceHandle h, int32_t v) { return Run(kF1, h, {v}); }
QZ_EXPORT int32_t SendF3(DeviceHandle h, int32_t p, int32_t v) { return Run(kF3, h, {p, v}); }
QZ_EXPORT int32_t SendF4(DeviceHandle h, int32_t p, int32_t v) { return Run(kF4, h, {p, v}); }
QZ_EXPORT int32_t SendF5(DeviceHandle h, int32_t p, uint8_t* out) { return Run(kF5, h, {p}, {out}); }
QZ_EXPORT int32_t SendF6(DeviceHandle h, int32_t v) { return Run(kF6, h, {v}); }
QZ_EXPORT int32_t SendF7(DeviceHandle h, int32_t v) { return Run(kF7, h, {v}); }
QZ_EXPORT int32_t SendF8(DeviceHandle h, int32_t v) { return Run(kF8, h, {v}); }
QZ_EXPORT int32_t SendF9(DeviceHandle h, int32_t p, int32_t q, int32_t v, uint8_t* a, uint8_t* b, uint8_t* c) { return Run(kF9, h, {p, q, v}, {a, b, c}); }
QZ_EXPORT int32_t SendFA(DeviceHandle h, int32_t p, int32_t v, uint8_t* a) { return Run(kFA, h, {p, v}, {a}); }
QZ_EXPORT int32_t SendFB(DeviceHandle h, uint8_t* a) { return Run(kFB, h, {}, {a}); }
QZ_EXPORT int32_t SendFD(DeviceHandle h, int32_t v) { return Run(kFD, h, {v}); }
QZ_EXPORT int32_t SendD3(DeviceHandle h, uint16_t* a) { return Run(kD3, h, {}, {a}); }
QZ_EXPORT int32_t SendD5(DeviceHandle h, int32_t p, uint8_t* a) { return Run(kD5, h, {p}, {a}); }
QZ_EXPORT int32_t SendD6(DeviceHandle h, int32_t p, int32_t v, uint8_t* a) { return Run(kD6, h, {p, v}, {a}); }
QZ_EXPORT int32_t SendD7(DeviceHandle h, int32_t v) { return Run(kD7, h, {v}); }
QZ_EXPORT int32_t SendD8(DeviceHandle h) { return Run(kD8, h); }

// ---- Commands with a choice of row, a second packet or a side effect -----------------------

// One pair of positions, or (A[1] and B[1] both 0) a single position whose value comes in
// r3 and r4.
QZ_EXPORT int32_t SendE8(DeviceHandle h, const uint8_t* A, const uint8_t* B, uint16_t* out) {
  if (!A || !B) return 0;
  const Row& row = (A[1] == 0 && B[1] == 0) ? kE8One : kE8Two;
  return Run(row, h, {A[0], B[0], A[1], B[1]}, {out});
}

// The second exchange sends the packet as the first left it: the reply, or the command
// itself while replies are off.
QZ_EXPORT int32_t SendEA(DeviceHandle h, int32_t v) { return Run(kEA, h, {v}) && ExchangePacket(h); }
QZ_EXPORT int32_t SendFE(DeviceHandle h) { return Run(kFE, h) && ExchangePacket(h); }

// 2K controllers answer this query under opcode E7; the family must be known before the
// packet is built.
QZ_EXPORT int32_t SendEB(DeviceHandle h, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d) {
  if (!SelectDevice(h)) return 0;
  return Run(g_current.is2KFamily ? kEBas2K : kEB, h, {}, {a, b, c, d});
}

// F0 selects the device (its result does not matter); 2K controllers take the two patterns
// under opcode E8. Only the first pattern's answer decides.
QZ_EXPORT int32_t SendFF(DeviceHandle h) {
  Run(kF0, h, {0});
  const bool twoK = g_current.is2KFamily != 0;
  if (!Run(twoK ? kFFOn2K : kFFOn, h)) return 0;
  Run(twoK ? kFFOff2K : kFFOff, h);
  return 1;
}

// Succeeds only when the controller echoes the four bytes.
QZ_EXPORT int32_t SendFC(DeviceHandle h, const uint8_t* D) {
  if (!D || !Run(kFC, h, {D[0], D[1], D[2], D[3]})) return 0;
  return memcmp(Packet() + 1, D, 4) == 0 ? 1 : 0;
}

// Replies off for every device until SendD1.
QZ_EXPORT int32_t SendD0(DeviceHandle h, int32_t m, int32_t n) {
  if (!Run(kD0, h, {Low(m), High(m), Low(n), High(n)})) return 0;
  g_settings.expectReply = 0;
  return 1;
}

// Replies back on first, whatever the exchange then does.
QZ_EXPORT int32_t SendD1(DeviceHandle h, int32_t m, uint16_t* a, uint8_t* b) {
  g_settings.expectReply = 1;
  return Run(kD1, h, {Low(m), High(m)}, {a, b});
}

// The reported size lengthens the reply wait above 256; r4 is the wait after D1.
QZ_EXPORT int32_t SendD2(DeviceHandle h, int32_t* a) {
  if (!a) return 0;
  g_settings.d1WaitMs = 0;
  g_settings.reportedSize = 64;
  int32_t size = 0;
  if (!Run(kD2, h, {}, {&size})) return 0;
  g_settings.reportedSize = size;
  if (Packet()[4] > 0) g_settings.d1WaitMs = Packet()[4];
  *a = size;
  return 1;
}

// The second packet is the first reply with byte 2 set to AA; r4 of the first reply is a
// settling time the controller asks for once the second is answered.
QZ_EXPORT int32_t SendD4(DeviceHandle h) {
  if (!Run(kD4, h)) return 0;
  const int waitMs = Packet()[4];
  Packet()[2] = 0xAA;
  if (!ExchangePacket(h)) return 0;
  sleepMs(waitMs);
  return 1;
}

}  // extern "C"
