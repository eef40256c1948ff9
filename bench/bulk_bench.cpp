// One raw-count frame (40 sensor lines x (30 drivers + 4 sectors + 1 total) = 1 400 values)
// read with ReceiveRawCount from a simulated HID controller, at block sizes 64 and 8.
// Counters per frame: feature reports on the wire (sends and reads), block reads, the floor
// of one report per block, and heap allocations the call made on the caller's thread.
#include <benchmark/benchmark.h>

#include <vector>

#include "alloc_count.h"
#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace sim = qzsim;

namespace {

constexpr int32_t kFrameValues = 40 * (30 + 4 + 1);

void BM_ReceiveRawCountFrame(benchmark::State& state) {
  const uint16_t blockSize = uint16_t(state.range(0));
  sim::Simulator s;
  sim::Device& dev = s.addHid(sim::Controller{});
  s.start();
  s.exportEnvironment();
  dev.setBlockSize(blockSize);
  std::vector<uint16_t> frame(kFrameValues);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint16_t(3000 + i % 97);
  dev.setBulkValues(frame);

  DeviceHandle h;
  char name[QZ_MODEL_NAME_SIZE];
  if (!FindHidDevice(&h, name)) {
    state.SkipWithError("no simulated controller");
    return;
  }
  std::vector<uint16_t> values(kFrameValues);

  // One recorded frame for the wire counts; the timed frames are not recorded.
  dev.clearRequests();
  if (!ReceiveRawCount(h, kFrameValues, values.data()) || values != frame) {
    state.SkipWithError("transfer failed");
    CloseDevice(h);
    return;
  }
  const auto requests = dev.requests();
  size_t blockReads = 0;
  for (const auto& r : requests)
    if (r.op == sim::kGetFeature && r.length == size_t(blockSize) + 1) ++blockReads;
  dev.setRecording(false);

  const uint64_t allocationsBefore = qzbench::AllocationsOnThisThread();
  for (auto _ : state) {
    if (!ReceiveRawCount(h, kFrameValues, values.data())) {
      state.SkipWithError("transfer failed");
      break;
    }
    benchmark::DoNotOptimize(values.data());
  }
  const uint64_t allocations = qzbench::AllocationsOnThisThread() - allocationsBefore;

  const size_t perBlock = blockSize / 2;
  state.counters["reports"] = double(requests.size());
  state.counters["blockReads"] = double(blockReads);
  state.counters["floor"] = double((kFrameValues + perBlock - 1) / perBlock);
  state.counters["allocs"] = benchmark::Counter(double(allocations), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(int64_t(state.iterations()) * kFrameValues);
  CloseDevice(h);
}

BENCHMARK(BM_ReceiveRawCountFrame)->Arg(64)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
