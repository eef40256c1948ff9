// Scenario files: the shipped ones load and mean what they say; malformed ones are refused
// with their line number.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qzsim/simulator.h"
#include "raw_client.h"

using namespace std::chrono_literals;
using qzsim::Packet;
using qzsim::Transport;
using rawsim::Bytes;

namespace {

Packet ask(qzsim::Device& d, const Packet& cmd) {
  Packet r{};
  d.modify([&](qzsim::ControllerModel& m) { m.command(cmd, &r); });
  return r;
}

std::string shipped(const char* name) { return std::string(QZSIM_SCENARIO_DIR) + "/" + name; }

TEST(SimScenario, ShippedFilesLoad) {
  {
    qzsim::Simulator sim;
    auto devs = sim.loadScenario(shipped("krxm-one-chip.scenario"));
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0]->path(), "\\\\?\\hid#vid_7a3d&pid_7480#onechip");
    EXPECT_EQ(ask(*devs[0], {0xEE, 0, 0, 0, 0}), (Packet{0xEE, 0xE1, 0x10, 2, 1}));
    EXPECT_EQ(ask(*devs[0], {0xE3, 1, 1, 0, 0}), (Packet{0xE3, 'W', 'I', 'D', 'E'}));
    EXPECT_EQ(ask(*devs[0], {0xE3, 1, 1, 0, 1}), (Packet{0xE3, ' ', '2', '1', 0}));
    EXPECT_EQ(ask(*devs[0], {0xE3, 1, 1, 0, 2}), (Packet{0xE3, 0x21, 0x51, 0, 0}));
    EXPECT_EQ(ask(*devs[0], {0xE3, 2, 1, 0, 0}), (Packet{0xE3, 0x07, 0x12, 'P', 0}));
  }
  {
    qzsim::Simulator sim;
    auto devs = sim.loadScenario(shipped("krxm-master-two-slaves.scenario"));
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0]->transport(), Transport::Driver);
    EXPECT_EQ(devs[0]->path(), sim.driverDir() + "/QZUKRXM_API0");
    EXPECT_EQ(ask(*devs[0], {0xEF, 0, 0, 0, 0})[1], 3);
    EXPECT_EQ(ask(*devs[0], {0xE5, 0, 0, 0, 2}), (Packet{0xE5, 0, 0, 27, 13}));
    ask(*devs[0], {0xF4, 0, 1, 0, 1});
    EXPECT_EQ(ask(*devs[0], {0xED, 0, 0, 0, 0}), (Packet{0xED, 1, 3, 0x36, 0x12}));
    EXPECT_EQ(ask(*devs[0], {0xF5, 0, 0x0F, 0, 0})[4], 0x04);
  }
  {
    qzsim::Simulator sim;
    auto devs = sim.loadScenario(shipped("2k.scenario"));
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(devs[0]->path(), "\\\\?\\hid#vid_7a3d&pid_2150#twok");
    EXPECT_EQ(devs[1]->link(), sim.dir() + "/com4");
    for (auto* d : devs) EXPECT_EQ(ask(*d, {0xEE, 0, 0, 0, 0}), (Packet{0xEE, 0x08, 0x66, 0, 1}));
  }
}

TEST(SimScenario, MalformedFilesNameTheLine) {
  struct Case {
    const char* text;
    int line;
  } cases[] = {
      {"model = 1\n", 1},
      {"[hid]\n\n# fine\nmodel = 70000\n", 4},
      {"[hid]\nmodle = 1\n", 2},
      {"[bogus]\n", 1},
      {"[slave]\n", 1},
      {"[hid]\n[slave]\n[slave]\n[slave]\n[slave]\n[slave]\n", 6},
      {"[hid]\nproduct = 74800\n", 2},
      {"[hid]\nfeatures = 1 2 3\n", 2},
      {"[hid]\nmodel 12\n", 2},
      {"[hid]\nversion = 2\n", 2},
      {"[driver]\n", 1},
  };
  for (const Case& k : cases) {
    qzsim::Simulator sim;
    try {
      sim.loadScenarioText(k.text);
      ADD_FAILURE() << "taken: " << k.text;
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("line " + std::to_string(k.line) + ":")) << k.text;
    }
    EXPECT_TRUE(sim.devices().empty()) << "nothing is served from a refused file: " << k.text;
  }
}

TEST(SimScenario, TimelineRaisesTouchStates) {
  qzsim::Simulator sim;
  auto devs = sim.loadScenarioText("[hid]\ntouch-at = 40 8A\ntouch-at = 80 0A\n");
  sim.start();
  rawsim::Hid h(devs[0]->endpoint());
  Bytes in;
  std::vector<uint8_t> states;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(h.sendReadInput(16));
    ASSERT_TRUE(rawsim::receive(h.fd(), &in, 1000));
    states.push_back(in.at(5));
  }
  EXPECT_EQ(states, (std::vector<uint8_t>{0x8A, 0x0A}));
}

}  // namespace
