// Every way the controller misbehaves that the fault tests inject, as data. A row arms the
// simulator's faults for one command (picked by its opcode; the runner lets the earlier
// commands of that opcode pass) and says what the call must then do.
#pragma once
#include <cstdint>
#include <vector>

#include "qzsim/simulator.h"

namespace qzfault {

enum class Expect : uint8_t {
  Recovers,  // the retries absorb the fault: same result and outputs as a clean run
  Fails,     // the call returns its failure result and leaves alone what it must
  FailsOrRecovers,  // one or the other (a serial line may still deliver a reply late)
  Either,    // no promise on the result (the line cannot tell a late reply from a new one)
};

constexpr uint8_t kHid = 1, kDriver = 2, kSerial = 4, kAny = 7;
inline uint8_t bit(qzsim::Transport t) { return uint8_t(1u << unsigned(t)); }

struct FaultRow {
  const char* name;
  uint8_t transports;      // where the row applies
  uint8_t representative;  // where it is in the set every export gets (core exports get all)
  Expect expect;
  int extraMs;             // added to the time bound: delays, held-back completions
  bool bulkOnly;           // only at the announcement of a bulk transfer (FA)
  bool refusal;            // the controller refuses: SendCmd shows 0xAA in reply byte 0
  // Nothing new shows where the reply is read: a report or driver read then shows the
  // previous command's reply, which passes for this one's when both have one opcode.
  bool silent;
  std::vector<qzsim::Fault> (*arm)(uint8_t opcode, qzsim::Transport t);
};

const std::vector<FaultRow>& faults();

}  // namespace qzfault
