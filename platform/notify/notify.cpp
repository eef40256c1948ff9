#include "notify/notify.h"

#include <dirent.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qz::notify {
namespace {

constexpr size_t kNameSize = 260;

class Source {
 public:
  virtual ~Source() = default;
  virtual int fd() const = 0;
  // Reads what is pending and reports each change through report(change, name).
  virtual void drain(Watch& w) = 0;
};

}  // namespace

class Watch {
 public:
  std::vector<std::unique_ptr<Source>> sources;
  int stopFd = -1;
  std::thread thread;
  Sink sink = nullptr;
  void* ctx = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<bool> freeOnExit{false};

  ~Watch() {
    if (stopFd >= 0) close(stopFd);
  }

  void report(Change change, const char* name) {
    if (!stopping.load()) sink(ctx, change, name);
  }

  void run() {
    std::vector<pollfd> fds(sources.size() + 1);
    fds[0] = {stopFd, POLLIN, 0};
    for (size_t i = 0; i < sources.size(); ++i) fds[i + 1] = {sources[i]->fd(), POLLIN, 0};
    while (!stopping.load()) {
      int n = poll(fds.data(), fds.size(), -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents) break;
      for (size_t i = 0; i < sources.size() && !stopping.load(); ++i) {
        if (!fds[i + 1].revents) continue;
        try {
          sources[i]->drain(*this);
        } catch (...) {
          // Out of memory while naming a device: that change goes unreported.
        }
      }
    }
    if (freeOnExit.load()) delete this;
  }
};

namespace {

bool isSocket(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

class DirectorySource : public Source {
 public:
  DirectorySource(std::string dir, NameMap map) : dir_(std::move(dir)), map_(map) {
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    size_t slash = dir_.rfind('/');
    if (slash == std::string::npos) {
      parent_ = ".";
      base_ = dir_;
    } else {
      parent_ = slash == 0 ? "/" : dir_.substr(0, slash);
      base_ = dir_.substr(slash + 1);
    }
  }
  ~DirectorySource() override {
    if (fd_ >= 0) close(fd_);
  }

  bool init() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    // The parent is watched for as long as the source lives: it tells at once when the
    // directory goes or comes (the directory's own end event waits for every socket of it
    // to be closed).
    bool parent = watchParent();
    bool dir = watchDir();
    return parent || dir;
  }

  int fd() const override { return fd_; }

  void drain(Watch& w) override {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += ssize_t(sizeof(inotify_event) + ev->len);
        handle(w, *ev);
      }
    }
  }

 private:
  static constexpr uint32_t kDirEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  static constexpr uint32_t kParentEvents =
      IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;

  bool watchDir() {
    wdDir_ = inotify_add_watch(fd_, dir_.c_str(), kDirEvents);
    return wdDir_ >= 0;
  }
  bool watchParent() {
    wdParent_ = inotify_add_watch(fd_, parent_.c_str(), kParentEvents);
    return wdParent_ >= 0;
  }
  void dropDir() {
    if (wdDir_ >= 0) inotify_rm_watch(fd_, wdDir_);
    wdDir_ = -1;
  }

  void reportEntry(Watch& w, Change change, const char* entry) {
    char name[kNameSize];
    if (change == Change::kArrival && !isSocket(dir_ + "/" + entry)) return;
    if (map_(entry, name, sizeof name)) w.report(change, name);
  }

  // An entry event, after the scan that follows a new directory watch: a creation the scan
  // has already reported is not reported again.
  void entryEvent(Watch& w, Change change, const char* entry) {
    auto it = scanned_.find(entry);
    if (it != scanned_.end()) {
      scanned_.erase(it);
      if (change == Change::kArrival) return;
    }
    reportEntry(w, change, entry);
  }

  void handle(Watch& w, const inotify_event& ev) {
    if (ev.wd == wdDir_ && wdDir_ >= 0) {
      if (ev.mask & IN_IGNORED) {
        wdDir_ = -1;
      } else if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        dropDir();
      } else if (ev.len > 0 && (ev.mask & (IN_CREATE | IN_MOVED_TO))) {
        entryEvent(w, Change::kArrival, ev.name);
      } else if (ev.len > 0 && (ev.mask & (IN_DELETE | IN_MOVED_FROM))) {
        entryEvent(w, Change::kRemoval, ev.name);
      }
    } else if (ev.wd == wdParent_ && wdParent_ >= 0) {
      if (ev.mask & IN_IGNORED) {
        wdParent_ = -1;
      } else if (ev.len > 0 && base_ == ev.name) {
        if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) {
          dropDir();
        } else if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
          dropDir();
          if (watchDir()) scanNewDir(w);
        }
      }
    }
  }

  // The directory (new or back) is watched: reports the sockets made between its creation
  // and its watch, whose creation events may still be queued behind.
  void scanNewDir(Watch& w) {
    scanned_.clear();
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d)) {
        if (!isSocket(dir_ + "/" + e->d_name)) continue;
        scanned_.insert(e->d_name);
        reportEntry(w, Change::kArrival, e->d_name);
      }
      closedir(d);
    }
  }

  std::string dir_, parent_, base_;
  NameMap map_;
  std::set<std::string> scanned_;  // reported by the last scan, creation event not yet seen
  int fd_ = -1;
  int wdDir_ = -1;
  int wdParent_ = -1;
};

class HidrawSource : public Source {
 public:
  ~HidrawSource() override {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
  }

  bool init() {
    udev_ = udev_new();
    if (!udev_) return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0)
      return false;
    // Name the devices present now, so that their removal can be named too: once a device
    // is gone its parent's ids can no longer be read.
    if (udev_enumerate* e = udev_enumerate_new(udev_)) {
      udev_enumerate_add_match_subsystem(e, "hidraw");
      udev_enumerate_scan_devices(e);
      udev_list_entry* entry;
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        if (udev_device* dev = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry))) {
          remember(dev);
          udev_device_unref(dev);
        }
      }
      udev_enumerate_unref(e);
    }
    return true;
  }

  int fd() const override { return udev_monitor_get_fd(monitor_); }

  void drain(Watch& w) override {
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(dev);
      const char* node = udev_device_get_sysname(dev);
      if (action && node && strcmp(action, "add") == 0) {
        if (const std::string* name = remember(dev)) w.report(Change::kArrival, name->c_str());
      } else if (action && node && strcmp(action, "remove") == 0) {
        auto it = names_.find(node);
        if (it != names_.end()) {
          std::string name = std::move(it->second);
          names_.erase(it);
          w.report(Change::kRemoval, name.c_str());
        }
      }
      udev_device_unref(dev);
    }
  }

 private:
  const std::string* remember(udev_device* dev) {
    const char* node = udev_device_get_sysname(dev);
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    char name[kNameSize];
    if (!node || !id || !hidrawInterfaceName(id, node, name, sizeof name)) return nullptr;
    std::string& slot = names_[node];
    slot = name;
    return &slot;
  }

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::map<std::string, std::string> names_;  // hidraw node -> interface name
};

template <typename S, typename... Args>
bool addSource(Watch* w, Args&&... args) {
  if (!w) return false;
  try {
    auto s = std::make_unique<S>(std::forward<Args>(args)...);
    if (!s->init()) return false;
    w->sources.push_back(std::move(s));
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

Watch* create() {
  auto* w = new (std::nothrow) Watch;
  if (!w) return nullptr;
  w->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (w->stopFd < 0) {
    delete w;
    return nullptr;
  }
  return w;
}

bool addDirectory(Watch* w, const char* dir, NameMap map) {
  return dir && *dir && map && addSource<DirectorySource>(w, std::string(dir), map);
}

bool addHidraw(Watch* w) { return addSource<HidrawSource>(w); }

bool start(Watch* w, Sink sink, void* ctx) {
  if (!w || !sink || w->sources.empty()) return false;
  w->sink = sink;
  w->ctx = ctx;
  try {
    w->thread = std::thread(&Watch::run, w);
  } catch (...) {
    return false;
  }
  return true;
}

void destroy(Watch* w) {
  if (!w) return;
  w->stopping.store(true);
  uint64_t one = 1;
  if (w->stopFd >= 0 && write(w->stopFd, &one, sizeof one) < 0) {
    // The counter cannot overflow from one write; the flag above stops the thread anyway
    // at its next wake-up.
  }
  if (!w->thread.joinable()) {
    delete w;
  } else if (w->thread.get_id() == std::this_thread::get_id()) {
    w->freeOnExit.store(true);
    w->thread.detach();
  } else {
    w->thread.join();
    delete w;
  }
}

bool hidrawInterfaceName(const char* hidId, const char* node, char* out, size_t cap) {
  if (!hidId || !node) return false;
  // "bus:vendor:product", each in hexadecimal; USB ids are 16 bits.
  char* end;
  errno = 0;
  unsigned long bus = strtoul(hidId, &end, 16);
  if (end == hidId || *end != ':') return false;
  const char* v = end + 1;
  unsigned long vendor = strtoul(v, &end, 16);
  if (end == v || *end != ':') return false;
  const char* p = end + 1;
  unsigned long product = strtoul(p, &end, 16);
  if (end == p || *end != '\0' || errno || vendor > 0xFFFF || product > 0xFFFF) return false;
  (void)bus;
  int n = snprintf(out, cap, "\\\\?\\hid#vid_%04lx&pid_%04lx#%s", vendor, product, node);
  return n > 0 && size_t(n) < cap;
}

}  // namespace qz::notify
