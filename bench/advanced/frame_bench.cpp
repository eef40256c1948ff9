// One frame of 40 sensor x 30 driver lines with 4 sectors and total drive, read from the
// in-process simulator over virtual HID, pair by pair (SendE8) and in bulk
// (ReceiveRawCount). Counters per frame: commands exchanged and bulk blocks read.
//
//   build/dev/bin/bench_advanced_frames
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "qz/advanced.h"
#include "qzsim/simulator.h"

namespace {

struct Setup {
  qzsim::Simulator sim;
  qzsim::Device* dev = nullptr;
  DeviceHandle handle = QZ_NO_DEVICE;
  PinNumberInfo pins{};
  RawCountBuffer buf{};
  std::vector<uint16_t> mutual, sector, total;

  Setup() {
    setenv("QZ_NO_REAL_HID", "1", 1);
    qzsim::Controller c;
    c.sensor.sensorLines = 40;
    c.sensor.driverLines = 30;
    c.sensor.sectors = 4;
    c.sensor.dataFlags = 0x10;  // no baseline selection: GetBaseLine reads the frame alone
    dev = &sim.addHid(c);
    sim.start();
    sim.exportEnvironment();
    char name[QZ_MODEL_NAME_SIZE];
    if (!FindHidDevice(&handle, name) || !GetPinNumber(handle, &pins) || !GetRawCountBufferSize(handle, &buf)) {
      handle = QZ_NO_DEVICE;
      return;
    }
    mutual.resize(size_t(buf.mutualValueCount));
    sector.resize(size_t(buf.sectorValueCount));
    total.resize(size_t(buf.totalDriveValueCount));
    buf.mutualValues = mutual.data();
    buf.sectorValues = sector.data();
    buf.totalDriveValues = total.data();
  }
  ~Setup() {
    if (handle != QZ_NO_DEVICE) CloseDevice(handle);
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

void readFrames(benchmark::State& state, int32_t bulk) {
  Setup& s = setup();
  if (s.handle == QZ_NO_DEVICE) {
    state.SkipWithError("simulated controller not found");
    return;
  }
  s.buf.bulkTransfer = bulk;
  // One recorded frame gives the exchange counts; the timed frames are not recorded.
  s.dev->clearRequests();
  s.dev->setRecording(true);
  if (!GetBaseLine(s.handle, &s.pins, &s.buf)) {
    state.SkipWithError("frame read failed");
    return;
  }
  size_t blocks = 0;
  for (const auto& r : s.dev->requests())
    if (r.op == qzsim::kGetFeature && r.length > 6) ++blocks;
  const size_t commands = s.dev->commands().size();
  s.dev->setRecording(false);
  for (auto _ : state)
    if (!GetBaseLine(s.handle, &s.pins, &s.buf)) state.SkipWithError("frame read failed");
  state.counters["commands"] = double(commands);
  state.counters["blocks"] = double(blocks);
  state.counters["values"] = double(s.pins.sensorCount) * (s.pins.driverCount + s.pins.sectorCount + 1);
}

void BM_FramePairByPair(benchmark::State& state) { readFrames(state, 0); }
void BM_FrameBulk(benchmark::State& state) { readFrames(state, 1); }

BENCHMARK(BM_FramePairByPair)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameBulk)->Unit(benchmark::kMillisecond);

}  // namespace
