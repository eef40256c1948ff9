// A device access library that offers only a few command functions, to show what the
// controller functions do when a name they need cannot be bound. Every call is counted.
#include <cstdint>

#define STUB extern "C" __attribute__((visibility("default")))

static int g_calls = 0;

STUB int StubCalls() { return g_calls; }

STUB int32_t SendE0(intptr_t, int32_t, int32_t, uint8_t* out) {
  ++g_calls;
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(0x40 + i);
  return 1;
}

STUB int32_t SendED(intptr_t, uint8_t* a, uint8_t* b, uint16_t* c) {
  ++g_calls;
  *a = *b = 0;
  *c = 0;
  return 1;
}

STUB int32_t SendEE(intptr_t, uint16_t* a, uint8_t* b, uint8_t* c) {
  ++g_calls;
  *a = 1;
  *b = *c = 0;
  return 1;
}

STUB int32_t IsQZ2K(intptr_t, int32_t* out) {
  ++g_calls;
  *out = 0;
  return 1;
}
