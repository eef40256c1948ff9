#include "core/raw_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qz::toolkit {
namespace {

constexpr size_t kMaxInputReport = 1024;
constexpr uint8_t kOpReadInput = 4;

bool readFile(const std::string& path, std::string* out, size_t cap) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[512];
  ssize_t n;
  while (out->size() < cap && (n = read(fd, buf, sizeof buf)) > 0) out->append(buf, size_t(n));
  close(fd);
  if (out->size() > cap) out->resize(cap);
  return true;
}

// "HID_ID=0003:00007A3D:00007480" in the uevent of the hidraw node's HID device.
bool vendorOf(const std::string& uevent, uint16_t* vendor) {
  size_t at = uevent.find("HID_ID=");
  if (at == std::string::npos) return false;
  unsigned bus = 0, ven = 0, prod = 0;
  if (sscanf(uevent.c_str() + at + 7, "%x:%x:%x", &bus, &ven, &prod) != 3) return false;
  *vendor = uint16_t(ven);
  return true;
}

bool validVirtualName(const char* name) {
  size_t n = strlen(name);
  return n > 18 && strncmp(name, "hid#vid_", 8) == 0 && strncmp(name + 12, "&pid_", 5) == 0 &&
         name[21] == '#' && strchr(name, '/') == nullptr;
}

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

TouchCollection parseReportDescriptor(const uint8_t* data, size_t length) {
  TouchCollection tc;
  uint32_t usagePage = 0;
  uint32_t usage = 0;
  bool haveUsage = false;
  int depth = 0;
  bool inTouch = false;
  size_t i = 0;
  while (i < length) {
    uint8_t prefix = data[i];
    if (prefix == 0xFE) {  // long item: skip its data
      if (i + 1 >= length) break;
      i += 3 + data[i + 1];
      continue;
    }
    size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + size > length) break;
    uint32_t value = 0;
    for (size_t k = 0; k < size; ++k) value |= uint32_t(data[i + 1 + k]) << (8 * k);
    uint8_t tag = prefix & 0xFC;
    switch (tag) {
      case 0x04:  // usage page
        usagePage = value;
        break;
      case 0x08:  // usage (a four-byte usage names its own page)
        if (!haveUsage) {
          usage = size == 4 ? value : (usagePage << 16 | value);
          haveUsage = true;
        }
        break;
      case 0x84:  // report id
        tc.numbered = true;
        if (inTouch && std::find(tc.reportIds.begin(), tc.reportIds.end(), uint8_t(value)) ==
                           tc.reportIds.end())
          tc.reportIds.push_back(uint8_t(value));
        break;
      case 0xA0:  // collection
        if (depth == 0 && value == 1 && haveUsage && usage == (0x0Du << 16 | 0x04)) {
          inTouch = true;
          tc.present = true;
        }
        ++depth;
        break;
      case 0xC0:  // end collection
        if (depth > 0 && --depth == 0) inTouch = false;
        break;
      default:
        break;
    }
    // Local items end with each main item.
    if (tag == 0x80 || tag == 0x90 || tag == 0xB0 || tag == 0xA0 || tag == 0xC0) haveUsage = false;
    i += 1 + size;
  }
  return tc;
}

RawInputReader::~RawInputReader() { closeAll(); }

void RawInputReader::closeAll() {
  for (Source& s : sources_)
    if (s.fd >= 0) close(s.fd);
  sources_.clear();
}

bool RawInputReader::hasSource(const std::string& key) const {
  return std::any_of(sources_.begin(), sources_.end(), [&](const Source& s) { return s.key == key; });
}

std::vector<int> RawInputReader::refresh() { return refresh("/sys/class/hidraw", "/dev"); }

std::vector<int> RawInputReader::refresh(const std::string& sysfsRoot, const std::string& devRoot) {
  std::vector<int> added;
  const char* noReal = getenv("QZ_NO_REAL_HID");
  if (!(noReal && strcmp(noReal, "1") == 0)) {
    if (DIR* dp = opendir(sysfsRoot.c_str())) {
      while (dirent* e = readdir(dp)) {
        if (strncmp(e->d_name, "hidraw", 6) != 0) continue;
        std::string node = devRoot + "/" + e->d_name;
        if (hasSource(node)) continue;
        std::string base = sysfsRoot + "/" + e->d_name + "/device/";
        std::string uevent, descriptor;
        uint16_t vendor = 0;
        if (!readFile(base + "uevent", &uevent, 4096) || !vendorOf(uevent, &vendor) ||
            vendor != kTarvanelVendor)
          continue;
        if (!readFile(base + "report_descriptor", &descriptor, 4096)) continue;
        TouchCollection tc = parseReportDescriptor(
            reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size());
        if (!tc.present) continue;
        int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;  // no permission: the udev rule grants it
        sources_.push_back({node, fd, false, tc});
        added.push_back(fd);
      }
      closedir(dp);
    }
  }
  const char* dir = getenv("QZ_VIRTUAL_HID_DIR");
  if (dir && *dir) {
    if (DIR* dp = opendir(dir)) {
      std::vector<std::string> names;
      while (dirent* e = readdir(dp)) {
        if (!validVirtualName(e->d_name)) continue;
        unsigned vendor = 0;
        if (sscanf(e->d_name + 8, "%4x", &vendor) != 1 || vendor != kTarvanelVendor) continue;
        names.emplace_back(e->d_name);
      }
      closedir(dp);
      std::sort(names.begin(), names.end());
      for (const std::string& n : names) {
        std::string path = std::string(dir) + "/" + n;
        if (hasSource(path)) continue;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) continue;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || !askVirtual(fd)) {
          close(fd);
          continue;
        }
        TouchCollection tc;
        tc.present = true;
        sources_.push_back({path, fd, true, tc});
        added.push_back(fd);
      }
    }
  }
  return added;
}

bool RawInputReader::askVirtual(int fd) {
  uint8_t request[8] = {kOpReadInput, 0, 0, 0};
  putLe32(request + 4, uint32_t(kMaxInputReport));
  ssize_t n;
  do n = send(fd, request, sizeof request, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == ssize_t(sizeof request);
}

void RawInputReader::drop(size_t index) {
  close(sources_[index].fd);
  sources_.erase(sources_.begin() + ptrdiff_t(index));
}

bool RawInputReader::readable(int fd, const ReportFn& fn) {
  size_t index = 0;
  while (index < sources_.size() && sources_[index].fd != fd) ++index;
  if (index == sources_.size()) return false;
  uint8_t buf[kMaxInputReport + 4];
  if (sources_[index].isVirtual) {
    ssize_t n;
    do n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 4) {
      drop(index);
      return false;
    }
    int32_t status = int32_t(uint32_t(buf[0]) | uint32_t(buf[1]) << 8 | uint32_t(buf[2]) << 16 |
                             uint32_t(buf[3]) << 24);
    // A device that answers with an error is not asked again, so it cannot make us spin.
    if (status != 0 || !askVirtual(fd)) {
      drop(index);
      return false;
    }
    if (n > 4) fn(buf + 4, size_t(n - 4));
    return true;
  }
  const TouchCollection tc = sources_[index].collection;  // fn may change the list
  for (;;) {
    // hidraw leaves out the id of unnumbered reports: put a 0 back in front.
    uint8_t* into = tc.numbered ? buf : buf + 1;
    buf[0] = 0;
    ssize_t n = read(fd, into, kMaxInputReport);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) {
      drop(index);
      return false;
    }
    size_t len = size_t(n) + (tc.numbered ? 0 : 1);
    if (tc.numbered &&
        std::find(tc.reportIds.begin(), tc.reportIds.end(), buf[0]) == tc.reportIds.end())
      continue;  // another collection's report
    fn(buf, len);
  }
}

}  // namespace qz::toolkit
