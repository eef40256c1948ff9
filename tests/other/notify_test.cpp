// Device notifications with real inotify events: device sockets appear in and leave
// temporary driver and virtual-HID directories while the watches run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/uhid.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "qz/other.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using qztest::TempDir;

struct Event {
  uint32_t code;
  std::string record;  // the whole broadcast record
  std::string name() const { return record.c_str() + QZ_BROADCAST_NAME_OFFSET; }
  std::string guid() const { return record.substr(12, 16); }
  int32_t decision() const {
    int32_t r = 42;
    QZDeviceChange(code, record.data(), &r);
    return r;
  }
};

// Collects the callbacks of one registration.
class Recorder {
 public:
  static void callback(void* ctx, uint32_t event, const void* record) {
    auto* self = static_cast<Recorder*>(ctx);
    uint32_t size;
    memcpy(&size, record, 4);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back({event, std::string(static_cast<const char*>(record), size)});
    self->cv_.notify_all();
  }

  std::optional<Event> next(std::chrono::milliseconds wait = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, wait, [&] { return !events_.empty(); })) return std::nullopt;
    Event e = events_.front();
    events_.pop_front();
    return e;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Event> events_;
};

// A bound SEQPACKET socket at path for as long as the object lives (or until remove()).
class DeviceSocket {
 public:
  explicit DeviceSocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~DeviceSocket() {
    remove();
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  void remove() {
    if (bound_) unlink(path_.c_str());
    bound_ = false;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

constexpr uint8_t kUsbClass[16] = QZ_CLASS_DRIVER_USB;
constexpr uint8_t kSerialClass[16] = QZ_CLASS_DRIVER_SERIAL;
constexpr uint8_t kHidClass[16] = QZ_CLASS_HID;
const std::string kUsbGuid(reinterpret_cast<const char*>(kUsbClass), 16);
const std::string kSerialGuid(reinterpret_cast<const char*>(kSerialClass), 16);
const std::string kHidGuid(reinterpret_cast<const char*>(kHidClass), 16);

void expectRecordShape(const Event& e) {
  const std::string& r = e.record;
  ASSERT_GE(r.size(), size_t(QZ_BROADCAST_NAME_OFFSET + 2));
  QZDeviceBroadcast head;
  memcpy(&head, r.data(), sizeof head);
  EXPECT_EQ(head.size, r.size());
  EXPECT_EQ(head.deviceType, uint32_t(QZ_DEVICE_TYPE_INTERFACE));
  EXPECT_EQ(head.reserved, 0u);
  EXPECT_EQ(r.size(), QZ_BROADCAST_NAME_OFFSET + e.name().size() + 2) << "two zero bytes end it";
  EXPECT_EQ(r.substr(r.size() - 2), std::string(2, '\0'));
}

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QZ_DRIVER_DIR", driver.path().c_str(), 1);
    setenv("QZ_VIRTUAL_HID_DIR", hid.path().c_str(), 1);
    setenv("QZ_NO_REAL_HID", "1", 1);
  }
  void TearDown() override {
    UnRegisterNotify(handles);
    unsetenv("QZ_DRIVER_DIR");
    unsetenv("QZ_VIRTUAL_HID_DIR");
  }
  TempDir driver, hid;
  Recorder rec;
  QZNotifyHandle handles[3] = {nullptr, nullptr, nullptr};
};

TEST_F(Notify, DeviceSocketsArriveAndLeaveAsBroadcastRecords) {
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  ASSERT_NE(handles[0], nullptr);
  ASSERT_NE(handles[1], nullptr);
  ASSERT_NE(handles[2], nullptr);

  struct Case {
    std::string path;
    const std::string& guid;
    std::string name;
    int32_t arrival, removal;  // what QZDeviceChange decides
  };
  const Case cases[] = {
      {driver / "QZUKRXM_API0", kUsbGuid, "\\\\?\\qz#vid_7a3d&pid_7480#QZUKRXM_API0", 1, 0},
      {driver / "QZU2K_API3", kUsbGuid, "\\\\?\\qz#vid_7a3d&pid_2150#QZU2K_API3", 1, 0},
      {driver / "QZSKRXM_API15", kSerialGuid, "\\\\?\\qz#vid_7a3d&pid_7480#QZSKRXM_API15", 1, 0},
      {driver / "QZS2K_API9", kSerialGuid, "\\\\?\\qz#vid_7a3d&pid_2150#QZS2K_API9", 1, 0},
      {hid / "hid#vid_7a3d&pid_7413#sim0", kHidGuid, "\\\\?\\hid#vid_7a3d&pid_7413#sim0", 1, 0},
      // Reported like any HID interface; the decision rejects it.
      {hid / "hid#vid_046d&pid_c52b#mouse", kHidGuid, "\\\\?\\hid#vid_046d&pid_c52b#mouse", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSocket s(c.path);
    ASSERT_TRUE(s.bound());
    auto arrived = rec.next();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->code, QZ_DEVICE_ARRIVAL);
    EXPECT_EQ(arrived->name(), c.name);
    EXPECT_EQ(arrived->guid(), c.guid);
    expectRecordShape(*arrived);
    EXPECT_EQ(arrived->decision(), c.arrival);

    s.remove();
    auto left = rec.next();
    ASSERT_TRUE(left);
    EXPECT_EQ(left->code, QZ_DEVICE_REMOVE_COMPLETE);
    EXPECT_EQ(left->name(), c.name);
    EXPECT_EQ(left->decision(), c.removal);
  }
}

TEST_F(Notify, OtherEntriesAreNotReported) {
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  {
    DeviceSocket a(driver / "QZUKRXM_API16");  // instances end at 15
    DeviceSocket b(driver / "QZUKRXM_API01");
    DeviceSocket c(driver / "QZXKRXM_API0");
    DeviceSocket d(hid / "hid#vid_7a3d&pid_7413");  // no tail
    DeviceSocket e(hid / "QZUKRXM_API0");          // a driver name in the HID directory
    qztest::writeFile(driver / "QZUKRXM_API1", "not a socket");
  }
  // A marker that is reported: everything before it was passed over.
  DeviceSocket marker(driver / "QZUKRXM_API2");
  auto e = rec.next();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "\\\\?\\qz#vid_7a3d&pid_7480#QZUKRXM_API2");
  EXPECT_EQ(e->code, QZ_DEVICE_ARRIVAL);
}

TEST_F(Notify, DriverDirectoryMadeAfterRegistrationIsWatched) {
  const std::string later = driver / "later";
  setenv("QZ_DRIVER_DIR", later.c_str(), 1);
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  ASSERT_NE(handles[0], nullptr);
  ASSERT_EQ(mkdir(later.c_str(), 0700), 0);
  DeviceSocket s(later + "/QZUKRXM_API1");
  auto e = rec.next();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "\\\\?\\qz#vid_7a3d&pid_7480#QZUKRXM_API1");
  EXPECT_EQ(e->code, QZ_DEVICE_ARRIVAL);
  EXPECT_FALSE(rec.next(200ms)) << "reported once";

  // The directory goes and comes back: the watch follows it.
  s.remove();
  ASSERT_TRUE(rec.next());
  ASSERT_EQ(rmdir(later.c_str()), 0);
  ASSERT_EQ(mkdir(later.c_str(), 0700), 0);
  DeviceSocket again(later + "/QZUKRXM_API2");
  auto back = rec.next();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "\\\\?\\qz#vid_7a3d&pid_7480#QZUKRXM_API2");
}

TEST_F(Notify, UnregisteringStopsTheCallbacksAndClearsTheHandles) {
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  EXPECT_EQ(UnRegisterNotify(handles), 1);
  EXPECT_EQ(handles[0], nullptr);
  EXPECT_EQ(handles[1], nullptr);
  EXPECT_EQ(handles[2], nullptr);
  DeviceSocket s(driver / "QZUKRXM_API0");
  EXPECT_FALSE(rec.next(200ms));
  EXPECT_EQ(UnRegisterNotify(handles), 1) << "null handles are left alone";
  EXPECT_EQ(UnRegisterNotify(nullptr), 1);
}

// A callback that unregisters its own handles while it runs.
struct SelfStopping {
  QZNotifyHandle handles[3] = {nullptr, nullptr, nullptr};
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  static void callback(void* ctx, uint32_t, const void*) {
    auto* self = static_cast<SelfStopping*>(ctx);
    std::lock_guard<std::mutex> lock(self->mutex);
    UnRegisterNotify(self->handles);
    ++self->calls;
    self->cv.notify_all();
  }
};

TEST_F(Notify, CallbackMayUnregister) {
  SelfStopping self;
  {
    std::lock_guard<std::mutex> lock(self.mutex);
    ASSERT_EQ(RegisterNotify(SelfStopping::callback, &self, self.handles), 1);
  }
  DeviceSocket a(driver / "QZUKRXM_API0");
  std::unique_lock<std::mutex> lock(self.mutex);
  ASSERT_TRUE(self.cv.wait_for(lock, 5s, [&] { return self.calls > 0; }));
  EXPECT_EQ(self.handles[0], nullptr);
  EXPECT_EQ(self.handles[2], nullptr);
  lock.unlock();
  DeviceSocket b(driver / "QZUKRXM_API1");
  std::this_thread::sleep_for(200ms);
  lock.lock();
  EXPECT_EQ(self.calls, 1);
}

TEST_F(Notify, WatchesThatCannotStartLeaveNullHandles) {
  setenv("QZ_DRIVER_DIR", "/nonexistent-qz/a/b", 1);
  unsetenv("QZ_VIRTUAL_HID_DIR");
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  EXPECT_EQ(handles[0], nullptr);
  EXPECT_EQ(handles[1], nullptr);
  EXPECT_EQ(handles[2], nullptr) << "real HID hidden and no virtual directory";

  setenv("QZ_DRIVER_DIR", driver.path().c_str(), 1);
  QZNotifyHandle other[3] = {&rec, &rec, &rec};
  EXPECT_EQ(RegisterNotify(nullptr, &rec, other), 1);
  EXPECT_EQ(other[0], nullptr);
  EXPECT_EQ(other[1], nullptr);
  EXPECT_EQ(other[2], nullptr);
  EXPECT_EQ(RegisterNotify(Recorder::callback, &rec, nullptr), 1);
}

// The hidraw watch, as far as the machine allows: a udev monitor, and with udevd and
// /dev/uhid a virtual HID controller that the kernel announces.
TEST_F(Notify, HidrawDevicesThroughUdev) {
  unsetenv("QZ_NO_REAL_HID");
  unsetenv("QZ_VIRTUAL_HID_DIR");
  ASSERT_EQ(RegisterNotify(Recorder::callback, &rec, handles), 1);
  setenv("QZ_NO_REAL_HID", "1", 1);
  if (!handles[2]) GTEST_SKIP() << "no udev monitor can be created on this machine";
  if (!qztest::exists("/run/udev/control"))
    GTEST_SKIP() << "udevd is not running, so no hidraw events can arrive";
  int uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (uhid < 0) GTEST_SKIP() << "/dev/uhid cannot be opened to make a HID device";

  // A vendor-defined device with one feature report, as the controllers have.
  static const uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01,
                                        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x05,
                                        0x09, 0x01, 0xB1, 0x02, 0xC0};
  uhid_event ev = {};
  ev.type = UHID_CREATE2;
  snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "qz test");
  ev.u.create2.rd_size = sizeof kDescriptor;
  ev.u.create2.bus = 0x03;
  ev.u.create2.vendor = 0x7A3D;
  ev.u.create2.product = 0x7413;
  memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
  ASSERT_EQ(write(uhid, &ev, sizeof ev), ssize_t(sizeof ev));

  auto arrived = rec.next(10s);
  ASSERT_TRUE(arrived);
  EXPECT_EQ(arrived->code, QZ_DEVICE_ARRIVAL);
  EXPECT_EQ(arrived->name().rfind("\\\\?\\hid#vid_7a3d&pid_7413#hidraw", 0), 0u) << arrived->name();
  EXPECT_EQ(arrived->guid(), kHidGuid);
  EXPECT_EQ(arrived->decision(), 1);

  uhid_event destroy = {};
  destroy.type = UHID_DESTROY;
  ASSERT_EQ(write(uhid, &destroy, sizeof destroy), ssize_t(sizeof destroy));
  auto left = rec.next(10s);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->code, QZ_DEVICE_REMOVE_COMPLETE);
  EXPECT_EQ(left->name(), arrived->name());
  EXPECT_EQ(left->decision(), 0);
  close(uhid);
}

}  // namespace
