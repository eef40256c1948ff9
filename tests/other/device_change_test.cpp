// Deciding on device broadcasts: which names are supported controllers, which events count,
// and that nothing at or past the record's size is read.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qz/other.h"

namespace {

// A broadcast record in a heap block of exactly its size, so that the address sanitizer
// sees any read past it. The name is written as 8-bit or 16-bit text with two zero bytes.
struct Record {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size;

  Record(const std::string& name, bool wide, uint32_t type = QZ_DEVICE_TYPE_INTERFACE,
         bool terminated = true) {
    size_t nameBytes = name.size() * (wide ? 2 : 1) + (terminated ? 2 : 0);
    size = QZ_BROADCAST_NAME_OFFSET + nameBytes;
    bytes.reset(new uint8_t[size]());
    QZDeviceBroadcast head = {uint32_t(size), type, 0, QZ_CLASS_HID};
    memcpy(bytes.get(), &head, sizeof head);
    uint8_t* p = bytes.get() + QZ_BROADCAST_NAME_OFFSET;
    for (size_t i = 0; i < name.size(); ++i) {
      if (wide) {
        p[2 * i] = uint8_t(name[i]);
        p[2 * i + 1] = 0;
      } else {
        p[i] = uint8_t(name[i]);
      }
    }
  }
  // Claims a smaller size than the block holds.
  void claimSize(uint32_t s) { memcpy(bytes.get(), &s, 4); }
};

int32_t decide(int32_t event, const void* data) {
  int32_t result = 42;
  EXPECT_EQ(QZDeviceChange(event, data, &result), 1);
  return result;
}

TEST(QZDeviceChange, RecognisesSupportedControllersInBothReadings) {
  struct Case {
    const char* name;
    bool supported;
  };
  const Case cases[] = {
      {"\\\\?\\HID#VID_7A3D&PID_7413&MI_00#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", true},
      {"\\\\?\\hid#vid_7a3d&pid_7413#hidraw3", true},
      {"\\\\?\\hid#vid_7a3d&pid_7420#x", true},
      {"\\\\?\\hid#vid_7a3d&pid_7480#x", true},
      {"\\\\?\\qz#vid_7a3d&pid_2150#QZU2K_API0", true},
      {"\\\\?\\qz#vid_7a3d&pid_7480#QZSKRXM_API15", true},
      {"pid_7415 then vid_7a3d", true},
      {"\\\\?\\hid#vid_046d&pid_7413#x", false},  // another vendor
      {"\\\\?\\hid#vid_7a3d&pid_7513#x", false},  // a product id that starts otherwise
      {"\\\\?\\hid#vid_7a3d&pid_2160#x", false},
      {"\\\\?\\hid#vid_7a3d#x", false},
      {"\\\\?\\hid#pid_7413#x", false},
      {"vid_7a3dpid_741", true},
      {"vid_7a3", false},
  };
  for (const Case& c : cases) {
    for (bool wide : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (wide ? " (16-bit)" : " (8-bit)"));
      Record r(c.name, wide);
      EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, r.bytes.get()), c.supported ? 1 : -1);
      EXPECT_EQ(decide(QZ_DEVICE_REMOVE_COMPLETE, r.bytes.get()), c.supported ? 0 : -1);
    }
  }
}

TEST(QZDeviceChange, OnlyArrivalAndRemovalCount) {
  Record r("\\\\?\\hid#vid_7a3d&pid_7413#hidraw0", false);
  for (int32_t event : {0x8001, 0x8002, 0x8003, 0x8005, 0x8006, 0x0007, 0x0018, 0, -1}) {
    SCOPED_TRACE(event);
    EXPECT_EQ(decide(event, r.bytes.get()), -1);
  }
}

TEST(QZDeviceChange, OtherRecordsAreNotExamined) {
  // Volume and port broadcasts have other device types.
  for (uint32_t type : {0u, 2u, 3u, 4u, 6u}) {
    SCOPED_TRACE(type);
    Record r("\\\\?\\hid#vid_7a3d&pid_7413#hidraw0", false, type);
    EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, r.bytes.get()), -1);
  }
  EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, nullptr), -1);
  Record r("\\\\?\\hid#vid_7a3d&pid_7413#hidraw0", false);
  EXPECT_EQ(QZDeviceChange(QZ_DEVICE_ARRIVAL, r.bytes.get(), nullptr), 1);
}

TEST(QZDeviceChange, ReadsNothingAtOrPastTheRecordSize) {
  const std::string name = "\\\\?\\hid#vid_7a3d&pid_7413#hidraw0";
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "16-bit" : "8-bit");
    // A name running up to the end of the record without its terminator still counts.
    Record open(name, wide, QZ_DEVICE_TYPE_INTERFACE, false);
    EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, open.bytes.get()), 1);
    // A size that ends before the product id hides it, though the bytes are there.
    Record cut(name, wide);
    size_t keep = name.find("pid_") * (wide ? 2 : 1);
    cut.claimSize(uint32_t(QZ_BROADCAST_NAME_OFFSET + keep));
    EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, cut.bytes.get()), -1);
  }
  // Records too short for a device type or a name.
  for (uint32_t size : {4u, 7u, 8u, 12u, 27u, 28u}) {
    SCOPED_TRACE(size);
    Record r(name, false);
    r.claimSize(size);
    EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, r.bytes.get()), -1);
  }
}

TEST(QZDeviceChange, NamesOf260CharactersOrMoreAreNotExamined) {
  const std::string core = "\\\\?\\hid#vid_7a3d&pid_7413#";
  for (bool wide : {false, true}) {
    for (size_t length : {3u, 259u, 260u, 1000u}) {
      SCOPED_TRACE(std::to_string(length) + (wide ? " 16-bit" : " 8-bit"));
      std::string name = length >= core.size() ? core + std::string(length - core.size(), 'x')
                                               : std::string("pid_741vid_7a3d").substr(0, length);
      Record r(name, wide);
      int32_t expected = length >= core.size() && length < 260 ? 1 : -1;
      EXPECT_EQ(decide(QZ_DEVICE_ARRIVAL, r.bytes.get()), expected);
    }
  }
}

}  // namespace
