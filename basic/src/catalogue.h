// What the command catalogue shares with the bulk transfer: exchanges through the one
// shared command packet, and block reads after the FA announcement.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qz/basic.h"
#include "transport.h"

namespace qz {

// Writes the command into the shared packet and exchanges it there (SendCmd with the packet
// as command and reply). Afterwards the packet holds the reply, or 0xAA in byte 0 after a
// refusal, or still the command after any other failure or while replies are off.
int32_t ExchangeShared(DeviceHandle handle, uint8_t opcode, uint8_t b1, uint8_t b2, uint8_t b3,
                       uint8_t b4);

// Block size of a bulk transfer from the FA reply in the shared packet: r1 + 256 r2, 0 = 8.
size_t AnnouncedBlockSize();

// Block reads of one transfer from the current device: one buffer for the whole transfer,
// sized to one block plus the transport's prefix (the HID report id). Only HID controllers
// and controllers behind the vendor driver on USB have block reads.
class BlockReader {
 public:
  explicit BlockReader(size_t blockSize);
  ~BlockReader();
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // False when the device has no block reads or the buffer cannot be had.
  bool usable() const { return buffer_ != nullptr; }
  // Reads one block; true only when the whole block arrived. *values then points at its
  // blockSize value bytes (valid until the next read).
  bool read(const uint8_t** values);
  // The closing exchange of a transfer, straight on the transport (reply discarded).
  bool close();

 private:
  const Transport* transport_ = nullptr;
  size_t blockSize_;
  uint8_t* buffer_ = nullptr;
};

}  // namespace qz
