// qztool golden: a golden sample taken from a simulated panel, shown, compared again, and
// damaged files refused with their name.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "qztool_fixture.h"

namespace {

using qztooltest::Qztool;
using qztooltest::Result;
using qztooltest::slurp;

qzsim::Controller smallPanel() {
  qzsim::Controller c;
  c.sensor.sensorLines = 3;
  c.sensor.driverLines = 4;
  return c;
}

TEST_F(Qztool, GoldenRoundTripAndCompare) {
  auto& dev = serveHid(smallPanel());
  Result raw = run({"raw", "--json"});
  ASSERT_EQ(raw.rc, 0) << raw.err;
  const Json frame = json(raw)["frames"][0]["mutual"];

  Result w = run({"golden", "write", "g.csv"});
  ASSERT_EQ(w.rc, 0) << w.err;
  EXPECT_NE(w.out.find("3 sensor x 4 driver lines"), std::string::npos) << w.out;
  const std::string file = slurp(work + "/g.csv");
  EXPECT_EQ(file.substr(0, 8), "[KRXM]\r\n");
  EXPECT_NE(file.find("SensorPinNumber:,3\r\nDriverPinNumber:,4\r\n[Golden Sample]\r\n0,1,2,3,\r\n1,"),
            std::string::npos) << file;

  Result show = run({"golden", "show", "g.csv", "--json"});
  ASSERT_EQ(show.rc, 0) << show.err;
  Json s = json(show);
  EXPECT_EQ(s["kind"].text, "diagnostic");
  EXPECT_EQ(s["sensors"].number, 3);
  EXPECT_EQ(s["drivers"].number, 4);
  ASSERT_EQ(s["values"].items.size(), 3u);
  // The table keeps the frame's first S x (D - 1) values, in order.
  for (size_t k = 0; k < 9; ++k)
    EXPECT_EQ(s["values"][k / 3][k % 3].number, frame[k / 4][k % 4].number) << k;

  Result same = run({"golden", "read", "g.csv"});
  EXPECT_EQ(same.rc, 0) << same.out << same.err;
  EXPECT_NE(same.out.find("9 of 9 values within 10%"), std::string::npos) << same.out;

  // A hand on the panel: the touched nodes read lower and fall outside.
  dev.modify([](qzsim::ControllerModel& m) {
    m.desc().sensor.touch = true;
    m.desc().sensor.touchRow = 1;
    m.desc().sensor.touchColumn = 1;
    m.desc().sensor.touchRadius = 0.6f;
    m.desc().sensor.touchDepth = 1500;
  });
  Result off = run({"golden", "read", "g.csv", "--json"});
  EXPECT_EQ(off.rc, 1) << off.err;
  Json o = json(off);
  bool touched = false;  // sensor 1, driver 1: value 5 of the frame
  for (const Json& x : o["outside"].items)
    if (x["sensor"].number == 1 && x["driver"].number == 1) touched = x["index"].number == 5 && x["percent"].number < -10;
  EXPECT_TRUE(touched) << off.out;
  EXPECT_LT(o["outside"].items.size(), 9u) << "the untouched corner stays within: " << off.out;
  EXPECT_EQ(run({"golden", "read", "g.csv", "--tolerance", "1000"}).rc, 0);
}

TEST_F(Qztool, GoldenFilesThatAreNotSoundNameTheFile) {
  serveHid(smallPanel());
  ASSERT_EQ(run({"golden", "write", "good.csv"}).rc, 0);
  const std::string good = slurp(work + "/good.csv");
  const size_t table = good.find("[Golden Sample]");
  struct Case {
    const char* name;
    std::string text;
    const char* says;
  };
  const size_t lastRow = good.rfind("\r\n3,") + 2;
  const Case cases[] = {
      {"cut.csv", good.substr(0, lastRow), "the table ends early"},
      {"short.csv", good.substr(0, lastRow) + "3,1,2,\r\n", "holds 3 items, 4 comma-ended items expected"},
      {"nolabel.csv", good.substr(0, table) + "[Golden Sample]\r\n0,1,2,3,\r\n7,1,2,3,\r\n", "'7' is not the label 1"},
      {"value.csv", good.substr(0, lastRow) + "3,1,2,x,\r\n", "'x' is not a value from 0 to 65535"},
      {"notable.csv", good.substr(0, table), "no [Golden Sample] line"},
      {"zero.csv", "SensorPinNumber:,0\r\nDriverPinNumber:,4\r\n[Golden Sample]\r\n", "not a count from 1 to 255"},
      {"nocount.csv", "DriverPinNumber:,4\r\n[Golden Sample]\r\n", "without a SensorPinNumber: line"},
  };
  for (const auto& c : cases) {
    { std::ofstream(work + "/" + c.name, std::ios::binary) << c.text; }
    for (const char* verb : {"show", "read"}) {
      Result r = run({"golden", verb, c.name});
      EXPECT_EQ(r.rc, 6) << verb << " " << c.name << ": " << r.err;
      EXPECT_NE(r.err.find(std::string(c.name) + " is not a sound diagnostic golden sample file"), std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
    }
  }
  Result missing = run({"golden", "show", "missing.csv"});
  EXPECT_EQ(missing.rc, 6);
  EXPECT_NE(missing.err.find("missing.csv"), std::string::npos);

  // A sound file of another panel does not fit this controller.
  qzsim::Controller big;
  big.tail = "sim1";
  sim.addHid(big);
  Result other = run({"golden", "read", "good.csv", "--device", "\\\\?\\hid#vid_7a3d&pid_7480#sim1"});
  EXPECT_EQ(other.rc, 6) << other.err;
  EXPECT_NE(other.err.find("a 3 x 4 panel, but QZ4321A"), std::string::npos) << other.err;
}

TEST_F(Qztool, GoldenShowReadsProductFiles) {
  sim.start();
  sim.exportEnvironment();
  { std::ofstream(work + "/p.txt", std::ios::binary) << "17\r\n1 2 3 \r\n4 5 6 \r\n"; }
  { std::ofstream(work + "/short.txt", std::ios::binary) << "17\r\n1 2 3 \r\n4 5 \r\n"; }
  { std::ofstream(work + "/big.txt", std::ios::binary) << "17\r\n1 2 3 \r\n4 5 70000 \r\n"; }
  Result r = run({"golden", "show", "p.txt", "--product", "2x3", "--json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  Json j = json(r);
  EXPECT_EQ(j["header"].number, 17);
  EXPECT_EQ(j["values"][1][2].number, 6);
  struct Case {
    std::vector<std::string> args;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {{"golden", "show", "short.txt", "--product", "2x3"}, 6, "short.txt is not a sound product golden sample file: it holds 5 values, 6 expected"},
      {{"golden", "show", "big.txt", "--product", "2x3"}, 6, "value 6 '70000'"},
      {{"golden", "show", "p.txt"}, 6, "for a product golden sample file give --product SxD"},
      {{"golden", "show", "p.txt", "--product", "2by3"}, 2, "--product wants SENSORSxDRIVERS"},
      {{"golden"}, 2, ""},
  };
  for (const auto& c : cases) {
    Result e = run(c.args);
    EXPECT_EQ(e.rc, c.rc) << c.args.back() << ": " << e.err;
    EXPECT_NE(e.err.find(c.says), std::string::npos) << e.err;
  }
}

}  // namespace
