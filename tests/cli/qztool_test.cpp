// qztool as a user runs it, against simulated controllers served by this test process.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "qztool_fixture.h"

namespace {

using qztooltest::Qztool;
using qztooltest::Result;
using qztooltest::slurp;

TEST_F(Qztool, ListAndInfoJsonDescribeTheControllers) {
  qzsim::Controller two = qzsim::Controller::twoK();
  two.tail = "sim1";
  two.chips[0].modelNumber = 2150;
  serveHid();
  sim.addHid(two);
  qzsim::Controller driver;
  driver.chips[0].modelNumber = 1234;
  driver.chips.push_back({});
  sim.addDriverObject(driver, "QZUKRXM_API0");

  Result list = run({"list", "--json"});
  ASSERT_EQ(list.rc, 0) << list.err;
  Json l = json(list);
  ASSERT_EQ(l["controllers"].items.size(), 3u);
  EXPECT_EQ(l["controllers"][0]["model"].text, "QZ1234A");
  EXPECT_EQ(l["controllers"][0]["transport"].text, "driver-usb");
  EXPECT_EQ(l["controllers"][1]["family"].text, "2K");  // HID sockets in byte order of their names
  EXPECT_EQ(l["controllers"][2]["path"].text, "\\\\?\\hid#vid_7a3d&pid_7480#sim0");

  Result info = run({"info", "--json"});  // the driver comes first
  ASSERT_EQ(info.rc, 0) << info.err;
  Json i = json(info);
  EXPECT_EQ(i["model"].text, "QZ1234A");
  EXPECT_EQ(i["slaves"].items.size(), 1u);
  EXPECT_EQ(i["fwinfo"]["version"].text, "2.5");
  EXPECT_EQ(i["pins"]["sensors"].number, 12);
  EXPECT_EQ(i["driverVersion"][1].number, 4);
  EXPECT_EQ(i["coverLens"].text, "1.1 mm Glass");

  Result hid = run({"info", "--json", "--device", "\\\\?\\hid#vid_7a3d&pid_2150#sim1"});
  ASSERT_EQ(hid.rc, 0) << hid.err;
  EXPECT_EQ(json(hid)["family"].text, "2K");
  EXPECT_FALSE(json(hid).has("driverVersion"));
}

TEST_F(Qztool, ExitCodesNameTheProblem) {
  struct Case {
    std::vector<std::string> args;
    int rc;
    const char* says;
  };
  sim.start();
  sim.exportEnvironment();
  const Case noDevice[] = {
      {{"info"}, 3, "no controller found"},
      {{"list", "--serial", "/nonexistent/tty@38400"}, 3, "serial port /nonexistent/tty"},
      {{"info", "--device", "\\\\?\\hid#vid_7a3d&pid_7480#gone"}, 3, "no controller answers at"},
      {{"echo", "1", "2", "3"}, 2, ""},
      {{"echo", "zz", "2", "3", "4"}, 2, "'zz' is not a byte"},
      {{"scan", "maybe"}, 2, ""},
      {{"nosuchcommand"}, 2, ""},
      {{"list", "--serial", "3@fast"}, 2, "bad line speed"},
  };
  for (const auto& c : noDevice) {
    Result r = run(c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  Result v = run({"--version"});
  EXPECT_EQ(v.rc, 0);
  EXPECT_NE(v.out.find("qztool "), std::string::npos);
}

TEST_F(Qztool, RefusedAndFailedCommands) {
  auto& dev = serveHid();
  dev.addFault(qzsim::Fault::refuse(0xFE, qzsim::kForever));
  Result r = run({"mpu-reset"});
  EXPECT_EQ(r.rc, 5) << r.err;
  EXPECT_NE(r.err.find("refused by QZ4321A"), std::string::npos) << r.err;
  dev.clearFaults();
  dev.addFault(qzsim::Fault::replyWith(0xFC, qzsim::Packet{0xFC, 1, 2, 3, 5}));  // a bad echo
  Result echo = run({"echo", "01", "02", "03", "04"});
  EXPECT_EQ(echo.rc, 5);
  EXPECT_NE(echo.err.find("the echo"), std::string::npos);
}

TEST_F(Qztool, SwitchesReachTheController) {
  auto& dev = serveHid();
  struct Case {
    std::vector<std::string> args;
    bool scanning, reporting;
  };
  const Case cases[] = {
      {{"scan", "off"}, false, true}, {{"report", "off"}, false, false}, {{"reset"}, true, false},
      {{"report", "on"}, true, true},
  };
  for (const auto& c : cases) {
    Result r = run(c.args);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(dev.state().scanning, c.scanning) << c.args[0];
    EXPECT_EQ(dev.state().reporting, c.reporting) << c.args[0];
  }
  EXPECT_EQ(run({"mpu-reset"}).rc, 0);
  EXPECT_EQ(dev.state().resets, 1u);
  Result echo = run({"echo", "12", "0x34", "56", "78"});
  EXPECT_EQ(echo.rc, 0) << echo.err;
  EXPECT_EQ(dev.commands().back(), (qzsim::Packet{0xFC, 0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(run({"live"}).out, "live test: 0x5A\n");
  EXPECT_EQ(run({"freqhop"}).out, "frequency hopping: yes\n");
}

TEST_F(Qztool, BootAsksFirst) {
  auto& dev = serveHid();
  Result noTty = run({"boot"});
  EXPECT_EQ(noTty.rc, 2);
  EXPECT_NE(noTty.err.find("--yes"), std::string::npos);
  EXPECT_EQ(dev.state().bootChip, -1);
  Result yes = run({"boot", "--yes"});
  EXPECT_EQ(yes.rc, 0) << yes.err;
  EXPECT_EQ(dev.state().bootChip, 0);
}

qzsim::Controller withWater(uint8_t byte) {
  qzsim::Controller c;
  c.status.features = {0x02, 0x40, 0x00, 0x10};
  c.parameters.boot[0x43 - 0x40] = byte;  // flat index 0x43 lies in the boot list
  return c;
}

TEST_F(Qztool, WaterModeReadsAndSwitchesTheBitPair) {
  auto& dev = serveHid(withWater(0x08));
  EXPECT_EQ(run({"water"}).out, "water mode off\n");
  Result on = run({"water", "on"});
  ASSERT_EQ(on.rc, 0) << on.err;
  EXPECT_EQ(run({"water"}).out, "water mode on\n");
  Result off = run({"water", "off"});
  ASSERT_EQ(off.rc, 0) << off.err;
  std::vector<qzsim::Packet> writes;
  for (const auto& p : dev.commands())
    if (p[0] == 0xE1) writes.push_back(p);
  // 0x08 reads off; on clears both bits, off then sets 0x80.
  EXPECT_EQ(writes, (std::vector<qzsim::Packet>{{0xE1, 0x00, 0x43, 0x00, 0x00}, {0xE1, 0x00, 0x43, 0x00, 0x80}}));
  EXPECT_GE(dev.state().bootStores, 2u);
}

TEST_F(Qztool, WaterModeWritesNothingWhenTheReadFails) {
  auto& dev = serveHid(withWater(0x00));
  // The second E0 00 43 (inside the change window) is refused.
  dev.addFault(qzsim::Fault::replyWith(0xE0, qzsim::Packet{0xE0, 0x02, 0x40, 0x00, 0x10}, 1));
  dev.addFault(qzsim::Fault::replyWith(0xE0, qzsim::Packet{0xE0, 0x00, 0x43, 0x00, 0x00}, 1));
  dev.addFault(qzsim::Fault::refuse(0xE0, 1));
  Result r = run({"water", "off"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("nothing was written, the water mode is still on"), std::string::npos) << r.err;
  for (const auto& p : dev.commands()) {
    EXPECT_NE(p[0], 0xE1);
    EXPECT_NE(p[0], 0xEA);
  }
  EXPECT_EQ(dev.commands().back(), (qzsim::Packet{0xF7, 0, 0, 0, 0}));  // the change window closed
}

std::string parameterFile(const std::vector<int>& ap, const std::vector<int>& boot) {
  std::string s;
  for (int v : ap) s += std::to_string(v) + " ";
  s += "\r\n";
  for (int v : boot) s += std::to_string(v) + " ";
  return s + "\r\n";
}

TEST_F(Qztool, ParamsSaveDiffAndGuardedLoad) {
  qzsim::Controller c;
  for (size_t i = 0; i < c.parameters.application.size(); ++i) c.parameters.application[i] = uint8_t(i);
  auto& dev = serveHid(c);
  ASSERT_EQ(run({"params", "save", "p.txt"}).rc, 0);
  std::string saved = slurp(work + "/p.txt");
  EXPECT_EQ(saved.substr(0, 12), "000 001 002 ");
  EXPECT_EQ(run({"params", "diff", "p.txt"}).rc, 0);

  std::vector<int> ap(64), boot(16, 7);
  for (int i = 0; i < 64; ++i) ap[size_t(i)] = 100 + i;
  { std::ofstream(work + "/new.txt") << parameterFile(ap, boot); }
  Result diff = run({"params", "diff", "new.txt"});
  EXPECT_EQ(diff.rc, 1);
  EXPECT_NE(diff.out.find("AP[0x05]: file 0x69, controller 0x05"), std::string::npos) << diff.out;

  Result load = run({"params", "load", "new.txt", "--backup", "before.txt"});
  ASSERT_EQ(load.rc, 0) << load.err;
  EXPECT_EQ(slurp(work + "/before.txt"), saved);  // the backup holds the lists as they were
  EXPECT_EQ(run({"params", "diff", "new.txt"}).rc, 0);
  EXPECT_GE(dev.state().applicationStores, 1u);

  // Back to the backup.
  ASSERT_EQ(run({"params", "load", "before.txt", "--backup", "b2.txt"}).rc, 0);
  EXPECT_EQ(run({"params", "diff", "p.txt"}).rc, 0);
}

TEST_F(Qztool, ParamsLoadReportsAByteThatDidNotStick) {
  auto& dev = serveHid();
  std::vector<int> ap(64, 9), boot(16, 3);
  { std::ofstream(work + "/new.txt") << parameterFile(ap, boot); }
  // The fourth write is dropped: not carried out, while the transport still sees the
  // previous write's echo and takes it for the answer.
  for (int i = 0; i < 3; ++i) dev.addFault(qzsim::Fault::delay(0xE1, 0, 1));
  dev.addFault(qzsim::Fault::noAnswer(0xE1, 1));
  Result r = run({"params", "load", "new.txt", "--backup", "backup.txt"});
  EXPECT_EQ(r.rc, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("AP[0x03]: wrote 0x09, reads 0x00"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("1 byte did not stick"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qztool params load backup.txt"), std::string::npos) << r.err;
}

TEST_F(Qztool, ParamsLoadRefusesAFileOfTheWrongShape) {
  auto& dev = serveHid();
  struct Case {
    std::string text, says;
  };
  const Case cases[] = {
      {parameterFile(std::vector<int>(63, 1), std::vector<int>(16, 1)), "line 1 holds 63 application values"},
      {parameterFile(std::vector<int>(64, 1), std::vector<int>(15, 1)), "line 2 holds 15 boot values"},
      {parameterFile(std::vector<int>(64, 256), std::vector<int>(16, 1)), "'256', not a byte value"},
      {"", "line 1 holds 0 application values"},
  };
  for (const auto& c : cases) {
    { std::ofstream(work + "/bad.txt") << c.text; }
    dev.clearRequests();
    Result r = run({"params", "load", "bad.txt"});
    EXPECT_EQ(r.rc, 6);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    for (const auto& p : dev.commands()) EXPECT_NE(p[0], 0xE1);
  }
  EXPECT_EQ(run({"params", "load", "missing.txt"}).rc, 6);
}

struct Png {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * w + x) * 3]; }
};

bool readPng(const std::string& path, Png* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  out->w = int(png_get_image_width(png, info));
  out->h = int(png_get_image_height(png, info));
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB) longjmp(png_jmpbuf(png), 1);
  out->rgb.resize(size_t(out->w) * out->h * 3);
  for (int y = 0; y < out->h; ++y) png_read_row(png, &out->rgb[size_t(y) * out->w * 3], nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(f);
  return true;
}

TEST_F(Qztool, RawFramesInEveryForm) {
  qzsim::Controller c;
  c.sensor.touch = true;  // a touch around row 5, column 7
  auto& dev = serveHid(c);
  Result r = run({"raw", "--frames", "2", "--json", "--png", "f.png", "--csv", "f.csv", "--raw-file", "f.txt"});
  ASSERT_EQ(r.rc, 0) << r.err;
  Json j = json(r);
  ASSERT_EQ(j["frames"].items.size(), 2u);
  const Json& m = j["frames"][1]["mutual"];
  ASSERT_EQ(m.items.size(), 12u);
  ASSERT_EQ(m[0].items.size(), 16u);
  EXPECT_LT(m[5][7].number, m[0][0].number);  // the touched node reads lower
  EXPECT_EQ(j["frames"][0]["sector"][0].items.size(), 2u);
  EXPECT_EQ(j["frames"][0]["totalDrive"].items.size(), 12u);
  EXPECT_FALSE(dev.state().diagnostic);  // left as found

  std::string csv = slurp(work + "/f.csv");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 12);
  std::string firstRow = csv.substr(0, csv.find('\n'));
  EXPECT_EQ(std::count(firstRow.begin(), firstRow.end(), ','), 18);  // 16 + 2 + 1 values
  std::string raw = slurp(work + "/f.txt");
  EXPECT_EQ(raw.substr(0, 7), "[Raw]\r\n");
  EXPECT_NE(raw.find("[Raw]", 5), std::string::npos);  // one section per frame

  Png png;
  ASSERT_TRUE(readPng(work + "/f.png", &png));
  // 16 px a node; mutual block, gap, two sector columns, gap, total column, plus margins.
  EXPECT_EQ(png.w, 8 + 16 * 16 + 8 + 2 * 16 + 8 + 16 + 8);
  EXPECT_GT(png.h, 8 + 12 * 16);
  auto node = [&](int row, int col) { return png.at(8 + col * 16 + 8, 8 + row * 16 + 8); };
  EXPECT_NE(std::vector<uint8_t>(node(5, 7), node(5, 7) + 3), std::vector<uint8_t>(node(0, 15), node(0, 15) + 3));
}

TEST_F(Qztool, RawBaselineAndModeDiff) {
  auto& dev = serveHid();
  Result base = run({"raw", "--baseline", "--json"});
  ASSERT_EQ(base.rc, 0) << base.err;
  EXPECT_EQ(json(base)["kind"].text, "baseline");
  Result diff = run({"raw", "--mode-diff", "1"});
  ASSERT_EQ(diff.rc, 0) << diff.err;
  EXPECT_EQ(run({"raw", "--baseline", "--mode-diff", "1"}).rc, 2);
  EXPECT_FALSE(dev.state().diagnostic);
}

}  // namespace

namespace {

// One block: "QZFF", 4 bytes, u32 length, 3 bytes, a header check; data; a data check.
std::string block(const std::string& data, int breakAt = -1) {
  std::string h = "QZFF";
  h += std::string(4, '\0');
  for (int i = 0; i < 4; ++i) h += char((data.size() >> (8 * i)) & 0xFF);
  h += std::string(3, '\0');
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  h += char((0xFF - sum) & 0xFF);
  uint32_t dsum = 0;
  for (unsigned char c : data) dsum += c;
  const uint32_t check = 0xFFFFFFFFu - dsum;
  std::string out = h + data;
  for (int i = 0; i < 4; ++i) out += char((check >> (8 * i)) & 0xFF);
  if (breakAt >= 0) out[size_t(breakAt)] ^= 1;
  return out;
}

TEST_F(Qztool, PackageVerify) {
  struct Case {
    std::string name, bytes;
    int rc;
  };
  const std::string good = block("firmware");
  const Case cases[] = {
      {"one.qzf", good, 0},
      {"two.qzc", good + block("second"), 0},
      {"short.qzc", good, 6},
      {"magic.qzf", block("firmware", 1), 6},
      {"data.qzf", block("firmware", 18), 6},
      {"cut.qzf", good.substr(0, good.size() - 2), 6},
  };
  for (const auto& c : cases) {
    { std::ofstream(work + "/" + c.name, std::ios::binary) << c.bytes; }
    Result r = run({"package", "verify", c.name});
    EXPECT_EQ(r.rc, c.rc) << c.name << r.err;
  }
  EXPECT_EQ(run({"package", "verify", "missing.qzf"}).rc, 6);
}

}  // namespace

namespace {

using qztooltest::Qztool;
using qztooltest::Result;
using qztooltest::slurp;

TEST_F(Qztool, ListDeviceShowsOnlyThatController) {
  serveHid();
  sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
  const std::string driverPath = sim.driverDir() + "/QZUKRXM_API0";
  struct Case {
    std::string device;
    int rc;
    size_t listed;
  };
  const Case cases[] = {
      {driverPath, 0, 1},
      {"\\\\?\\hid#vid_7a3d&pid_7480#sim0", 0, 1},
      {"\\\\?\\hid#vid_7a3d&pid_7480#gone", 3, 0},
  };
  for (const auto& c : cases) {
    Result r = run({"list", "--json", "--device", c.device});
    EXPECT_EQ(r.rc, c.rc) << c.device << ": " << r.err;
    Json j = json(r);
    ASSERT_EQ(j["controllers"].items.size(), c.listed) << c.device;
    if (c.listed) {
      EXPECT_EQ(j["controllers"][0]["path"].text, c.device);
    } else {
      EXPECT_NE(r.err.find("no controller answers at " + c.device), std::string::npos) << r.err;
    }
  }
}

TEST_F(Qztool, ParamsDefaultsReloadTheListAfterABackup) {
  struct Case {
    const char* list;
    uint8_t code;  // EC 00 code 00 00
  };
  const Case cases[] = {{"ap", 0x00}, {"boot", 0xAA}};
  const qzsim::Controller ctl;
  auto& dev = serveHid(ctl);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    dev.clearRequests();
    // Both lists changed away from their defaults.
    dev.modify([](qzsim::ControllerModel& m) {
      m.desc().parameters.application[1] = 0x77;
      m.desc().parameters.boot[1] = 0x66;
    });
    Result r = run({"params", "defaults", c.list, "--backup", "b.txt"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string backup = slurp(work + "/b.txt");
    EXPECT_NE(backup.find(" 119 "), std::string::npos) << "the changed application byte was saved: " << backup;
    EXPECT_NE(backup.find(" 102 "), std::string::npos) << "the changed boot byte was saved: " << backup;
    qzsim::Controller now;
    dev.modify([&](qzsim::ControllerModel& m) { now = m.desc(); });
    const bool ap = c.code == 0x00;
    EXPECT_EQ(now.parameters.application[1], ap ? ctl.parameters.application[1] : 0x77);
    EXPECT_EQ(now.parameters.boot[1], ap ? 0x66 : ctl.parameters.boot[1]);
    // The reload sits inside an opened and closed parameter change.
    std::vector<qzsim::Packet> tail;
    for (const auto& p : dev.commands())
      if (p[0] == 0xEC || p[0] == 0xF7) tail.push_back(p);
    EXPECT_EQ(tail, (std::vector<qzsim::Packet>{{0xF7, 0, 0, 0, 1}, {0xEC, 0, c.code, 0, 0}, {0xF7, 0, 0, 0, 0}}));
    EXPECT_FALSE(dev.state().changeOpen);
  }
}

TEST_F(Qztool, ParamsDefaultsRefusedTellsHowToRestore) {
  auto& dev = serveHid();
  dev.addFault(qzsim::Fault::refuse(0xEC, qzsim::kForever));
  Result r = run({"params", "defaults", "boot", "--backup", "b.txt"});
  EXPECT_EQ(r.rc, 5) << r.err;
  EXPECT_NE(r.err.find("qztool params load b.txt"), std::string::npos) << r.err;
  EXPECT_EQ(run({"params", "defaults", "debug"}).rc, 2);
}

TEST_F(Qztool, FreqHopModeGoesOutAsF5) {
  auto& dev = serveHid();
  struct Case {
    std::string mode;
    int rc;
    uint8_t argument;  // F5 00 argument 00 00; 0: nothing sent
  };
  const Case cases[] = {
      {"18", 0, 0x02}, {"5", 0, 0xF5}, {"255", 0, 0xEF},
      // These would go out as the probe, the table query, the abnormal-scan query and the
      // frequency setter.
      {"31", 2, 0}, {"20", 2, 0}, {"30", 2, 0}, {"15", 2, 0}, {"256", 2, 0},
  };
  for (const auto& c : cases) {
    dev.clearRequests();
    Result r = run({"freqhop", c.mode});
    EXPECT_EQ(r.rc, c.rc) << c.mode << ": " << r.err;
    std::vector<qzsim::Packet> f5;
    for (const auto& p : dev.commands())
      if (p[0] == 0xF5) f5.push_back(p);
    if (c.argument) {
      EXPECT_EQ(f5, (std::vector<qzsim::Packet>{{0xF5, 0, c.argument, 0, 0}})) << c.mode;
      EXPECT_EQ(dev.state().hopSetting, uint8_t(std::stoi(c.mode))) << c.mode;
      EXPECT_EQ(r.out, "hopping mode " + c.mode + "\n");
    } else {
      EXPECT_TRUE(f5.empty()) << c.mode;
    }
  }
  qzsim::Controller noHop;
  noHop.hopping.present = false;
  noHop.tail = "sim1";
  sim.addHid(noHop);
  Result refused = run({"freqhop", "18", "--device", "\\\\?\\hid#vid_7a3d&pid_7480#sim1"});
  EXPECT_EQ(refused.rc, 5) << refused.err;
}

}  // namespace
