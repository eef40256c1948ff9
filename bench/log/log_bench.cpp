// A whole firmware information log against a simulated hopping controller (40 x 30 sensor,
// two slaves, no reply latency), ticked every 100 ms as the tray program's timer does.
// Reports the wall time next to its floor: the collection's own time plus one timer period
// per tick, each tick starting no earlier than its period after the one before. The
// collection is shown on its own too (its only fixed wait here is the 50 ms after selecting
// the baseline), so a slow collection cannot hide inside the floor.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>

#include "log/headless.h"
#include "qzsim/simulator.h"

namespace {

class BenchEnvironment : public qz::toolkit::log::SystemEnvironment {
 public:
  std::string dir;
  std::string programDirectory() override { return dir; }
};

void BM_FirmwareLog(benchmark::State& state) {
  qzsim::Simulator sim;
  qzsim::Controller c;
  c.sensor.sensorLines = 40;
  c.sensor.driverLines = 30;
  c.sensor.sectors = 0;
  c.chips.resize(3);
  c.status.features = {0x82, 0x40, 0x00, 0x20};
  sim.addDriverObject(c, "QZUKRXM_API0");
  sim.start();
  sim.exportEnvironment();
  BenchEnvironment env;
  env.dir = sim.dir() + "/";
  double wall = 0, floor = 0, longest = 0, collection = 0;
  for (auto _ : state) {
    qz::toolkit::log::HeadlessLog run(env);
    run.run(true);
    if (run.log().outcome() != qz::toolkit::log::Outcome::Written) state.SkipWithError(run.log().message().c_str());
    wall += std::chrono::duration<double>(run.wall()).count();
    // Ticks of 100 ms; a step longer than its period pushes the rest back by the excess.
    collection += std::chrono::duration<double>(run.collection()).count();
    floor += run.ticks() * 0.1 + std::chrono::duration<double>(run.collection()).count();
    longest = std::max(longest, std::chrono::duration<double>(run.longestTick()).count());
  }
  state.counters["wall_s"] = wall / double(state.iterations());
  state.counters["floor_s"] = floor / double(state.iterations());
  state.counters["over_floor_pct"] = 100.0 * (wall - floor) / floor;
  state.counters["longest_tick_ms"] = longest * 1000.0;
  state.counters["collection_ms"] = collection * 1000.0 / double(state.iterations());
}
BENCHMARK(BM_FirmwareLog)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
