// Naming hidraw devices from their HID parent's ids, as the udev watch does.
#include <gtest/gtest.h>

#include "notify/notify.h"

namespace {

TEST(HidrawInterfaceName, BuildsTheWindowsShapedPathFromTheHidId) {
  struct Case {
    const char* hidId;
    const char* node;
    const char* name;  // nullptr: refused
  };
  const Case cases[] = {
      {"0003:00007A3D:00007413", "hidraw3", "\\\\?\\hid#vid_7a3d&pid_7413#hidraw3"},
      {"0018:0000046D:0000C52B", "hidraw12", "\\\\?\\hid#vid_046d&pid_c52b#hidraw12"},
      {"0003:7a3d:2150", "hidraw0", "\\\\?\\hid#vid_7a3d&pid_2150#hidraw0"},
      {"0003:00017A3D:00007413", "hidraw0", nullptr},  // not a 16-bit vendor id
      {"0003:00007A3D", "hidraw0", nullptr},
      {"0003:00007A3D:7413x", "hidraw0", nullptr},
      {"", "hidraw0", nullptr},
      {"0003::7413", "hidraw0", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hidId);
    char out[64] = "unchanged";
    bool ok = qz::notify::hidrawInterfaceName(c.hidId, c.node, out, sizeof out);
    EXPECT_EQ(ok, c.name != nullptr);
    if (c.name) {
      EXPECT_STREQ(out, c.name);
    }
  }
  char small[20];
  EXPECT_FALSE(qz::notify::hidrawInterfaceName("0003:00007A3D:00007413", "hidraw3", small, sizeof small));
}

}  // namespace
