// The command functions of libQZ_BASIC.so this library is built from, bound by name at
// load time, and the small routines the exports share.
#pragma once
#include <cstdint>

#include "qz/advanced.h"

namespace qz::adv {

// Signatures of the bound command functions (those of qz/basic.h).
using SendE0Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t q, uint8_t* out4);
using SendE1Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t q, int32_t v);
using SendE2Fn = int32_t (*)(DeviceHandle);
using SendE3Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t q, int32_t v, uint8_t* out4);
using SendE5Fn = int32_t (*)(DeviceHandle, int32_t v, uint8_t* out4);
using SendE6Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t q, uint8_t* out3);
using SendE7Fn = int32_t (*)(DeviceHandle, int32_t* out);
using SendE8Fn = int32_t (*)(DeviceHandle, const uint8_t* a2, const uint8_t* b2, uint16_t* out2);
using SendEAFn = int32_t (*)(DeviceHandle, int32_t v);
using SendEBFn = int32_t (*)(DeviceHandle, uint8_t*, uint8_t*, uint8_t*, uint8_t*);
using SendECFn = int32_t (*)(DeviceHandle, int32_t p, int32_t v);
using SendEDFn = int32_t (*)(DeviceHandle, uint8_t*, uint8_t*, uint16_t*);
using SendEEFn = int32_t (*)(DeviceHandle, uint16_t*, uint8_t*, uint8_t*);
using SendEFFn = int32_t (*)(DeviceHandle, uint8_t*, uint8_t*, uint8_t*, uint8_t*);
using NewSlvEBFn = int32_t (*)(DeviceHandle, int32_t s, uint8_t*, uint8_t*, uint8_t*, uint8_t*);
using NewSlvEDFn = int32_t (*)(DeviceHandle, int32_t s, uint8_t*, uint8_t*, uint16_t*);
using NewSlvEEFn = int32_t (*)(DeviceHandle, int32_t s, uint16_t*, uint8_t*, uint8_t*);
using SendVFn = int32_t (*)(DeviceHandle, int32_t v);              // F0 F1 F6 F7 F8 FD D7
using SendPVFn = int32_t (*)(DeviceHandle, int32_t p, int32_t v);  // F3 F4
using SendF5Fn = int32_t (*)(DeviceHandle, int32_t p, uint8_t* out4);
using SendF9Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t q, int32_t v, uint8_t*, uint8_t*, uint8_t*);
using ChkFACmdFn = int32_t (*)(DeviceHandle);
using SendFBFn = int32_t (*)(DeviceHandle, uint8_t*);
using SendFCFn = int32_t (*)(DeviceHandle, const uint8_t* d4);
using SendNoArgFn = int32_t (*)(DeviceHandle);                     // FE FF D4 D8
using SendD0Fn = int32_t (*)(DeviceHandle, int32_t m, int32_t n);
using SendD1Fn = int32_t (*)(DeviceHandle, int32_t m, uint16_t*, uint8_t*);
using SendD2Fn = int32_t (*)(DeviceHandle, int32_t*);
using SendD3Fn = int32_t (*)(DeviceHandle, uint16_t*);
using SendD5Fn = int32_t (*)(DeviceHandle, int32_t p, uint8_t*);
using SendD6Fn = int32_t (*)(DeviceHandle, int32_t p, int32_t v, uint8_t*);
using ReceiveRawCountFn = int32_t (*)(DeviceHandle, int32_t count, uint16_t* values);
using IsQZ2KFn = int32_t (*)(DeviceHandle, int32_t*);

// Filled once at load, in this order, and only read afterwards. A name that could not be
// resolved stays null; an export needing it returns 0 without sending anything.
struct BasicBindings {
  void* module;
  SendE0Fn SendE0;
  SendE1Fn SendE1;
  SendE2Fn SendE2;
  SendE3Fn SendE3;
  SendE5Fn SendE5;
  SendE6Fn SendE6;
  SendE7Fn SendE7;
  SendE8Fn SendE8;
  SendEAFn SendEA;
  SendEBFn SendEB;
  SendECFn SendEC;
  SendEDFn SendED;
  SendEEFn SendEE;
  SendEFFn SendEF;
  NewSlvEBFn NewSlvEB;
  NewSlvEDFn NewSlvED;
  NewSlvEEFn NewSlvEE;
  SendVFn SendF0;
  SendVFn SendF1;
  SendPVFn SendF3;
  SendPVFn SendF4;
  SendF5Fn SendF5;
  SendVFn SendF6;
  SendVFn SendF7;
  SendVFn SendF8;
  SendF9Fn SendF9;
  ChkFACmdFn ChkFACmd;
  SendFBFn SendFB;
  SendFCFn SendFC;
  SendVFn SendFD;
  SendNoArgFn SendFE;
  SendNoArgFn SendFF;
  SendD0Fn SendD0;
  SendD1Fn SendD1;
  SendD2Fn SendD2;
  SendD3Fn SendD3;
  SendNoArgFn SendD4;
  SendD5Fn SendD5;
  SendD6Fn SendD6;
  SendVFn SendD7;
  SendNoArgFn SendD8;
  ReceiveRawCountFn ReceiveRawCount;
  IsQZ2KFn IsQZ2K;
};

extern BasicBindings g_basic;

// True when every given reference is bound; exports test this before their first command.
template <typename... F>
inline bool bound(F... fns) {
  return ((fns != nullptr) && ...);
}

// Settling delays (milliseconds).
constexpr int kSettleMs = 50;
constexpr int kBaselineSettleMs = 100;

// Value of one parameter index (reply byte 4 of E0 00 index).
bool readIndex(DeviceHandle h, uint8_t index, uint8_t* value);
// Paired read: index and index + 1, the second from reply byte 3 when reply byte 1 is 1,
// else from a read of its own.
bool readPair(DeviceHandle h, uint8_t index, uint8_t* first, uint8_t* second);

// Reads KRXM_FLAG; when bit 0 (scanning) is set, stops scanning and waits settleMs.
bool pauseScanning(DeviceHandle h, int settleMs, bool* wasScanning);
// Restarts scanning when it was running before the pause.
bool resumeScanning(DeviceHandle h, bool wasScanning);
// F4 n 1: the master passes identity and parameter commands to slave n (0 = first).
bool selectSlave(DeviceHandle h, int n);
// F4 0 0: the master answers for itself again.
bool releaseSlaves(DeviceHandle h);

// A letter code as text: empty for 0, else the character (code + 64) mod 256.
void letterText(char (&out)[3], uint8_t code);

}  // namespace qz::adv
