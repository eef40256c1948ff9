// Touch-screen input reports from hidraw nodes (a fake sysfs and FIFOs standing in for the
// nodes) and from virtual HID devices, and the report-descriptor reading behind the choice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "core/raw_input.h"
#include "virtual_touch.h"

namespace qz::toolkit::testing {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

// Usage page digitizer, usage touch screen, application collection ... end.
const Bytes kTouchUnnumbered = {0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0x09, 0x22, 0xA1, 0x02,
                                0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xC0, 0xC0};
// A touch screen with report id 1 beside a vendor collection with report ids 2 and 3.
const Bytes kTouchAndVendor = {0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08,
                               0x95, 0x02, 0x81, 0x02, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x01,
                               0xA1, 0x01, 0x85, 0x02, 0x95, 0x05, 0xB1, 0x02, 0x85, 0x03,
                               0x81, 0x02, 0xC0};

TEST(RawInput, ReportDescriptors) {
  struct Case {
    const char* name;
    Bytes descriptor;
    bool present, numbered;
    Bytes ids;
  } cases[] = {
      {"touch screen, unnumbered", kTouchUnnumbered, true, false, {}},
      {"touch screen beside a vendor collection", kTouchAndVendor, true, true, {1}},
      {"four-byte usage", {0x0B, 0x04, 0x00, 0x0D, 0x00, 0xA1, 0x01, 0x85, 0x07, 0xC0}, true, true, {7}},
      {"mouse", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0xC0}, false, true, {}},
      {"touch screen usage inside another collection",
       {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0xC0, 0xC0}, false, false, {}},
      {"pen is not a touch screen", {0x05, 0x0D, 0x09, 0x02, 0xA1, 0x01, 0xC0}, false, false, {}},
      {"cut short in an item", {0x05, 0x0D, 0x09, 0x04, 0xA1}, false, false, {}},
      {"long item skipped", {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0xC0}, true, false, {}},
      {"empty", {}, false, false, {}},
  };
  for (const Case& c : cases) {
    // Exact-size copies so a sanitizer sees any read past the end.
    std::vector<uint8_t> copy(c.descriptor);
    TouchCollection tc = parseReportDescriptor(copy.data(), copy.size());
    EXPECT_EQ(tc.present, c.present) << c.name;
    EXPECT_EQ(tc.numbered, c.numbered) << c.name;
    EXPECT_EQ(tc.reportIds, c.ids) << c.name;
  }
}

class FakeHidraw : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qz-rawinput-XXXXXX";
    root_ = mkdtemp(tmpl);
    mkdir((root_ + "/sys").c_str(), 0700);
    mkdir((root_ + "/dev").c_str(), 0700);
    const char* v = getenv("QZ_NO_REAL_HID");
    savedNoReal_ = v ? v : "";
    unsetenv("QZ_NO_REAL_HID");  // the fake sysfs stands in for the real one
  }
  void TearDown() override {
    for (int fd : writers_) close(fd);
    if (!savedNoReal_.empty()) setenv("QZ_NO_REAL_HID", savedNoReal_.c_str(), 1);
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  // A hidraw node: its sysfs entry and a FIFO in place of the device file; returns the
  // writing end, through which the test "sends" input reports.
  int node(const std::string& name, const char* hidId, const Bytes& descriptor) {
    std::string dev = root_ + "/sys/" + name + "/device";
    mkdir((root_ + "/sys/" + name).c_str(), 0700);
    mkdir(dev.c_str(), 0700);
    std::ofstream(dev + "/uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=test\n";
    std::ofstream(dev + "/report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char*>(descriptor.data()), std::streamsize(descriptor.size()));
    std::string fifo = root_ + "/dev/" + name;
    mkfifo(fifo.c_str(), 0600);
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // keeps the FIFO openable for writing
    int wr = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    close(rd);
    writers_.push_back(wr);
    return wr;
  }
  std::vector<int> refresh() { return reader_.refresh(root_ + "/sys", root_ + "/dev"); }

  std::string root_, savedNoReal_;
  std::vector<int> writers_;
  RawInputReader reader_;
};

TEST_F(FakeHidraw, OnlyTouchScreensOfTheVendorAreOpened) {
  node("hidraw0", "0003:00007A3D:00007480", kTouchUnnumbered);
  node("hidraw1", "0003:0000046D:0000C52B", kTouchUnnumbered);                   // another vendor
  node("hidraw2", "0003:00007A3D:00007480", {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0});  // keyboard
  EXPECT_EQ(refresh().size(), 1u);
  EXPECT_TRUE(refresh().empty()) << "an open source is not opened twice";
  EXPECT_EQ(reader_.sourceCount(), 1u);
}

TEST_F(FakeHidraw, ReportsArriveWithTheirReportIdFirst) {
  int unnumbered = node("hidraw0", "0003:00007A3D:00007480", kTouchUnnumbered);
  int numbered = node("hidraw1", "0003:00007A3D:00002150", kTouchAndVendor);
  std::vector<int> fds = refresh();
  ASSERT_EQ(fds.size(), 2u);
  std::vector<Bytes> got;
  auto collect = [&](const uint8_t* r, size_t n) { got.emplace_back(r, r + n); };

  const uint8_t plain[2] = {0x8A, 0x55};
  ASSERT_EQ(write(unnumbered, plain, 2), 2);
  EXPECT_TRUE(reader_.readable(fds[0], collect));
  // Another collection's report (id 3) is not the touch screen's.
  const uint8_t vendor[3] = {0x03, 0x8A, 0x00};
  ASSERT_EQ(write(numbered, vendor, 3), 3);
  EXPECT_TRUE(reader_.readable(fds[1], collect));
  const uint8_t touch[3] = {0x01, 0x0A, 0x00};
  ASSERT_EQ(write(numbered, touch, 3), 3);
  EXPECT_TRUE(reader_.readable(fds[1], collect));
  EXPECT_THAT(got, ElementsAre(Bytes{0x00, 0x8A, 0x55}, Bytes{0x01, 0x0A, 0x00}));

  // The node goes away: the source is dropped.
  close(unnumbered);
  writers_.erase(writers_.begin());
  EXPECT_FALSE(reader_.readable(fds[0], collect));
  EXPECT_EQ(reader_.sourceCount(), 1u);
}

TEST(RawInput, VirtualDevicesAreAskedForOneReportAtATime) {
  char tmpl[] = "/tmp/qz-vhid-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  setenv("QZ_VIRTUAL_HID_DIR", dir.c_str(), 1);
  std::vector<Bytes> got;
  {
    auto touch = std::make_unique<VirtualTouch>(dir, "hid#vid_7a3d&pid_7480#t0");
    VirtualTouch other(dir, "hid#vid_1234&pid_7480#t1");  // not the vendor's
    RawInputReader reader;
    std::vector<int> fds = reader.refresh();
    ASSERT_EQ(fds.size(), 1u);
    auto collect = [&](const uint8_t* r, size_t n) { got.emplace_back(r, r + n); };
    for (const Bytes& r : {Bytes{0x00, 0x8A}, Bytes{0x00, 0x0A}}) {
      touch->send(r);
      pollfd p{fds[0], POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 2000), 1);
      EXPECT_TRUE(reader.readable(fds[0], collect));
    }
    touch.reset();  // the device goes away
    pollfd p{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_FALSE(reader.readable(fds[0], collect));
    EXPECT_EQ(reader.sourceCount(), 0u);
  }
  EXPECT_THAT(got, ElementsAre(Bytes{0x00, 0x8A}, Bytes{0x00, 0x0A}));
  unsetenv("QZ_VIRTUAL_HID_DIR");
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace qz::toolkit::testing
