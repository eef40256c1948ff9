// Touch-screen input reports of the controllers, as the desktop's raw input hands them on:
// report id first (0 when the device's reports are unnumbered), then the data. Sources are
// the hidraw nodes of vendor 7a3d whose report descriptor has a touch-screen application
// collection (only that collection's reports are passed on), and the virtual HID devices
// of $QZ_VIRTUAL_HID_DIR, asked for one input report at a time. Nothing polls: the caller
// watches the descriptors and calls readable() when one has data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qz::toolkit {

constexpr uint16_t kTarvanelVendor = 0x7A3D;

// What a report descriptor says about its touch-screen collection (usage page 0x0D, usage
// 0x04): whether it has one, whether the device numbers its reports, and the report ids
// declared inside the collection.
struct TouchCollection {
  bool present = false;
  bool numbered = false;
  std::vector<uint8_t> reportIds;
};
TouchCollection parseReportDescriptor(const uint8_t* data, size_t length);

class RawInputReader {
 public:
  using ReportFn = std::function<void(const uint8_t* report, size_t length)>;

  RawInputReader() = default;
  RawInputReader(const RawInputReader&) = delete;
  RawInputReader& operator=(const RawInputReader&) = delete;
  ~RawInputReader();

  // Opens the sources that are not open yet; returns their descriptors. sysfsRoot and
  // devRoot are for tests ("/sys/class/hidraw" and "/dev" otherwise).
  std::vector<int> refresh();
  std::vector<int> refresh(const std::string& sysfsRoot, const std::string& devRoot);
  // Reads what the descriptor has and calls fn for every touch-screen report. False when
  // the source is gone; it is then closed and forgotten, and the caller stops watching it.
  bool readable(int fd, const ReportFn& fn);
  void closeAll();
  size_t sourceCount() const { return sources_.size(); }

 private:
  struct Source {
    std::string key;
    int fd = -1;
    bool isVirtual = false;
    TouchCollection collection;
  };
  bool hasSource(const std::string& key) const;
  bool askVirtual(int fd);
  void drop(size_t index);

  std::vector<Source> sources_;
};

}  // namespace qz::toolkit
