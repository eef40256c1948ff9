// Parameter list routines shared by the list and UI-setting exports.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qz/advanced.h"

namespace qz::adv {

// Reads count bytes of one list with E0 (selector 0: flat indices from flatStart; else
// indices from 0), taking a second value from a reply that carries two.
bool readParameterSection(DeviceHandle h, uint8_t selector, uint8_t flatStart, uint8_t count, uint8_t* dest);
// Writes count bytes with E1, same index rule.
bool writeParameterSection(DeviceHandle h, uint8_t selector, uint8_t flatStart, uint8_t count, const uint8_t* src);

// Lengths of the lists a ParaListInfo selects (0 for a list not selected).
struct SelectedLengths {
  uint8_t application, boot, debug;
};
SelectedLengths selectedLengths(const ParaListInfo& info);

}  // namespace qz::adv
