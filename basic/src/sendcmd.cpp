// SendCmd: selection, the reply wait, and dispatch to the device's transport.
#include "state.h"
#include "transport.h"

namespace qz {

int WaitBeforePoll(uint8_t opcode) {
  switch (opcode) {
    case 0xD1: return g_settings.d1WaitMs > 0 ? g_settings.d1WaitMs : g_settings.replyWaitMs;
    case 0xE1:
    case 0xEA: return g_settings.replyWaitMs;
    default: return 0;
  }
}

}  // namespace qz

using namespace qz;

extern "C" QZ_EXPORT int32_t SendCmd(DeviceHandle handle, const uint8_t* command, uint8_t* reply) {
  if (!command || !reply || !SelectDevice(handle)) return 0;
  if (g_current.is2KFamily)
    g_settings.replyWaitMs = 30;
  else
    g_settings.replyWaitMs = g_settings.reportedSize > 256 ? 50 : 5;
  const Transport* t = TransportFor(g_current.deviceType);
  return t ? t->exchange(handle, command, reply) : 0;
}
