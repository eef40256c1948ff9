// Bulk transfer of 16-bit values: the FA announcement, block reads over the device's
// transport, and the closing identity exchange; also the two size queries built on FA, F4
// and D3.
#include <new>

#include "catalogue.h"
#include "state.h"

namespace qz {

size_t AnnouncedBlockSize() {
  const uint8_t* r = g_settings.sharedPacket;
  const size_t n = r[1] | size_t(r[2]) << 8;
  return n ? n : 8;
}

BlockReader::BlockReader(size_t blockSize) : blockSize_(blockSize) {
  switch (g_current.deviceType) {
    case QZ_TYPE_HID:
    case QZ_TYPE_DRIVER_USB: transport_ = TransportFor(g_current.deviceType); break;
    default: return;  // the vendor driver has no block reads for serial-line controllers
  }
  if (!transport_ || !transport_->readBlock) return;
  // Exactly one block plus the prefix, zeroed, so a read can never land past it.
  buffer_ = new (std::nothrow) uint8_t[blockSize_ + transport_->blockOffset]();
}

BlockReader::~BlockReader() { delete[] buffer_; }

bool BlockReader::read(const uint8_t** values) {
  if (!buffer_) return false;
  // A short block would hand out the previous block's bytes as values.
  if (transport_->readBlock(g_current.handle, buffer_, blockSize_) != long(blockSize_)) return false;
  *values = buffer_ + transport_->blockOffset;
  return true;
}

bool BlockReader::close() {
  uint8_t identity[5] = {0xEE, 0, 0, 0, 0};
  return transport_ && transport_->exchange(g_current.handle, identity, identity) != 0;
}

namespace {

constexpr uint8_t kAnnounce = 0xFA;

// The E0 probe of ChkFACmd: r3 bits 4 and 5 say the controller cannot send blocks.
constexpr uint8_t kNoBulkBits = 0x30;

}  // namespace

}  // namespace qz

using namespace qz;

extern "C" {

QZ_EXPORT int32_t ChkFACmd(DeviceHandle h) {
  if (!ExchangeShared(h, 0xE0, 0, 0xF0, 0, 0)) return 0;
  if (g_settings.sharedPacket[3] & kNoBulkBits) return 0;
  if (!ExchangeShared(h, kAnnounce, 0, 0, 0, 0)) return 0;
  if (g_current.deviceType == QZ_TYPE_HID) return 1;
  if (g_current.deviceType != QZ_TYPE_DRIVER_USB) return 0;
  BlockReader reader(AnnouncedBlockSize());
  const uint8_t* values;
  return reader.read(&values) ? 1 : 0;
}

QZ_EXPORT int32_t ReceiveRawCount(DeviceHandle h, int32_t count, uint16_t* values) {
  if (count > 0 && !values) return 0;
  if (!ExchangeShared(h, kAnnounce, 0, 0, 0, 0)) return 0;
  const size_t blockSize = AnnouncedBlockSize();
  const size_t perBlock = blockSize / 2;  // a last odd byte carries nothing
  // A block of one byte carries no value: the transfer would never end.
  if (perBlock == 0) return 0;
  BlockReader reader(blockSize);
  if (!reader.usable()) return 0;
  for (int32_t i = 0; i < count;) {
    const uint8_t* block;
    if (!reader.read(&block)) return 0;  // values stored so far stay; no closing exchange
    for (size_t k = 0; k < perBlock && i < count; ++k, ++i)
      values[i] = uint16_t(block[2 * k] | block[2 * k + 1] << 8);
  }
  return reader.close() ? 1 : 0;
}

QZ_EXPORT int32_t GetBufferSize(DeviceHandle h, int32_t length, int32_t* flag, uint16_t* size) {
  if (!flag || !size || !SelectDevice(h)) return 0;
  uint16_t s = 8;
  int32_t f = 0;
  if (g_current.deviceType == QZ_TYPE_HID) {
    const uint8_t* r = g_settings.sharedPacket;
    if (length > 0) {
      if (!ExchangeShared(h, 0xF4, 0, uint8_t(length - 1), 0, 1)) return 0;
      if (r[1] != 0) {
        s = r[1];
        f = 1;
      }
    }
    if (ExchangeShared(h, 0xD3, 0, 0, 0, 1)) {
      f = 1;
      if (length == 0) s = uint16_t(r[1] | r[2] << 8);
    } else {
      s = 8;
      f = 0;
    }
  }
  *flag = f;
  *size = s;
  return 1;
}

}  // extern "C"
