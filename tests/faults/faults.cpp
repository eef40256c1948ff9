#include "faults.h"

namespace qzfault {
namespace {

using qzsim::Fault;
using qzsim::kForever;
using qzsim::Transport;
using V = std::vector<Fault>;

// A reply that names another command (never the refusal mark).
qzsim::Packet otherReply(uint8_t op) {
  uint8_t other = uint8_t(op ^ 0x01);
  if (other == 0xAA) other = uint8_t(op ^ 0x03);
  return {other, 0x11, 0x22, 0x33, 0x44};
}

#define ARM(...) [](uint8_t op, Transport t) -> V { (void)op; (void)t; return __VA_ARGS__; }

std::vector<FaultRow> makeTable() {
  // name, transports, representative, expect, extra ms, bulk only, refusal, silent, faults
  return {
      {"no answer, then answers", kAny, kAny, Expect::Recovers, 0, false, false, true, ARM(V{Fault::noAnswer(op, 1)})},
      {"no answer", kAny, kHid | kDriver, Expect::Fails, 0, false, false, true, ARM(V{Fault::noAnswer(op, kForever)})},
      {"send fails once", kHid | kDriver, 0, Expect::Recovers, 0, false, false, false, ARM(V{Fault::sendFail(op, 1)})},
      {"send fails", kHid | kDriver, 0, Expect::Fails, 0, false, false, false, ARM(V{Fault::sendFail(op, kForever)})},
      {"stale reply first", kAny, 0, Expect::Recovers, 0, false, false, false, ARM(V{Fault::stale(op, 2)})},
      // Every poll of every attempt sees a stale packet.
      {"stale replies only", kHid | kDriver, 0, Expect::Fails, 0, false, false, false,
       ARM(V{Fault::stale(op, 5, kForever)})},
      // A serial attempt reads one frame: the stale one. The reply behind it is discarded
      // with the line's input at the next attempt, or, when it comes just after, taken as
      // the answer to the resent command.
      {"stale replies only", kSerial, 0, Expect::FailsOrRecovers, 0, false, false, false,
       ARM(V{Fault::stale(op, 1, kForever)})},
      {"refused", kAny, kAny, Expect::Fails, 0, false, true, false, ARM(V{Fault::refuse(op)})},
      {"reply for another command", kAny, 0, Expect::Recovers, 0, false, false, false,
       ARM(V{Fault::replyWith(op, otherReply(op))})},
      {"reply a little late", kAny, 0, Expect::Recovers, 20, false, false, true,
       ARM(V{Fault::delay(op, t == Transport::Serial ? 20 : 3)})},
      // Each attempt's reply comes after its polls; the resend then reads the one before.
      {"every reply late", kHid | kDriver, 0, Expect::Recovers, 5 * 200, false, false, true,
       ARM(V{Fault::delay(op, 200, kForever)})},
      // A late frame arrives while the line waits for the resend's: taken or not, the
      // next reply on the line may be the extra one.
      {"every reply late", kSerial, 0, Expect::Either, 5 * 200, false, false, true, ARM(V{Fault::delay(op, 200, kForever)})},
      {"read fails once", kHid | kDriver, kHid | kDriver, Expect::Recovers, 0, false, false, false,
       ARM(V{Fault::readFail(op, 0)})},
      {"completion held back", kDriver, 0, Expect::Recovers, 5 * 500 + 700, false, false, false,
       ARM(V{Fault::lateCompletion(op, 700)})},
      {"reply in pieces", kSerial, kSerial, Expect::Recovers, 20, false, false, false, ARM(V{Fault::splitReply(op, 3, 5)})},
      {"bad checksum once", kSerial, 0, Expect::Recovers, 0, false, false, false, ARM(V{Fault::badChecksum(op, 1)})},
      {"bad checksum", kSerial, kSerial, Expect::Fails, 0, false, false, false, ARM(V{Fault::badChecksum(op, kForever)})},
      {"noise before the reply", kSerial, kSerial, Expect::Recovers, 0, false, false, false, ARM(V{Fault::garbage(op, 3, 1)})},
      {"noise instead of replies", kSerial, 0, Expect::FailsOrRecovers, 0, false, false, false,
       ARM(V{Fault::garbage(op, 6, kForever)})},
      {"gone at the send", kAny, kAny, Expect::Fails, 0, false, false, false, ARM(V{Fault::vanish(op, -1)})},
      {"gone before the reply", kAny, 0, Expect::Fails, 0, false, false, false, ARM(V{Fault::vanish(op, 0)})},
      {"gone in the middle of the reply frame", kSerial, 0, Expect::Fails, 0, false, false, false,
       ARM(V{Fault::vanish(op, 3)})},
      {"gone in the middle of a transfer", kHid | kDriver, kHid | kDriver, Expect::Fails, 0, true, false, false,
       ARM(V{Fault::vanish(op, 2)})},
  };
}

}  // namespace

const std::vector<FaultRow>& faults() {
  static const std::vector<FaultRow> table = makeTable();
  return table;
}

}  // namespace qzfault
