// Bulk transfer of 16-bit values (ReceiveRawCount) and the report-size query
// (GetBufferSize) over virtual HID, for both families.
#include <gtest/gtest.h>

#include <optional>

#include "rig.h"

namespace {

using sim::Family;
using sim::Fault;

const Packet kAnnounce = {0xFA, 0, 0, 0, 0};
const Packet kClose = {0xEE, 0, 0, 0, 0};

// Values the controller hands out: distinct in both bytes, none equal to the unset pattern.
uint16_t Streamed(size_t i) { return uint16_t(0x0102 + 0x0301 * i); }

std::vector<uint16_t> Stream(size_t n) {
  std::vector<uint16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = Streamed(i);
  return v;
}

// The block reads of a transfer: reads after the FA reply and before the next command.
std::vector<sim::Request> BlockReads(const sim::Device& d) {
  std::vector<sim::Request> out;
  bool afterAnnounce = false, replyRead = false;
  for (const auto& r : d.requests()) {
    Packet p;
    if (r.packet(&p)) {
      afterAnnounce = p == kAnnounce;
      replyRead = false;
    } else if (afterAnnounce && r.op == sim::kGetFeature) {
      if (replyRead) out.push_back(r);
      replyRead = true;
    }
  }
  return out;
}

class Bulk : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    dev_ = &rig_.add(ControllerOf(GetParam()));
    h_ = rig_.connect().at(0);
    rid_ = uint8_t(ControllerOf(GetParam()).effectiveReportId());
  }
  void TearDown() override { dev_->clearFaults(); }
  void prepare(uint16_t blockSize, size_t streamed) {
    dev_->clearFaults();
    dev_->clearRequests();
    dev_->setBlockSize(blockSize);
    dev_->setBulkValues(Stream(streamed));
  }
  // The caller's array: count values and a guard behind them, all unset.
  static std::vector<uint16_t> Destination(int32_t count) { return std::vector<uint16_t>(count + 4, kUnset16); }

  Rig rig_;
  sim::Device* dev_ = nullptr;
  DeviceHandle h_ = QZ_NO_DEVICE;
  uint8_t rid_ = 0;
};

struct TransferCase {
  const char* name;
  uint16_t blockSize;  // as announced
  int32_t count;
  size_t blocks;        // block reads
  size_t reportLength;  // bytes per block report, report id included
};

TEST_P(Bulk, ReadsWholeBlocksAndStoresExactlyCountValues) {
  const TransferCase cases[] = {
      {"count 0 reads no block", 64, 0, 0, 65},
      {"block size 0 means 8", 0, 8, 2, 9},
      {"block size 7 carries three values", 7, 6, 2, 8},
      {"count 5 over blocks of 8 drops the rest of the second", 8, 5, 2, 9},
      {"block size 5: reports as long as a reply", 5, 5, 3, 6},
      {"a frame of 40 x 35 over blocks of 64", 64, 1400, 44, 65},
      {"largest block size", 0xFFFF, 32768, 2, 65536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(c.blockSize, size_t(c.count) + 70000);
    std::vector<uint16_t> values = Destination(c.count);
    EXPECT_EQ(ReceiveRawCount(h_, c.count, values.data()), 1);
    EXPECT_EQ(Wire(*dev_), (std::vector<Packet>{kAnnounce, kClose}));
    const auto reads = BlockReads(*dev_);
    EXPECT_EQ(reads.size(), c.blocks);
    for (const auto& r : reads) {
      EXPECT_EQ(r.length, c.reportLength);
      ASSERT_FALSE(r.bytes.empty());
      EXPECT_EQ(r.bytes[0], rid_) << "report id in the request";
    }
    const std::vector<uint16_t> expected = Stream(size_t(c.count));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), values.begin())) << "values in order";
    for (size_t i = size_t(c.count); i < values.size(); ++i) ASSERT_EQ(values[i], kUnset16) << "past count at " << i;
  }
}

TEST_P(Bulk, ReportIdFollowsTheProductId) {
  // 7413 and 7416 number their reports; the others do not.
  EXPECT_EQ(rid_, GetParam() == Family::Krxm ? 1 : 0);
  prepare(8, 16);
  std::vector<uint16_t> values = Destination(4);
  ASSERT_EQ(ReceiveRawCount(h_, 4, values.data()), 1);
  for (const auto& r : dev_->requests()) {
    ASSERT_FALSE(r.bytes.empty());
    EXPECT_EQ(r.bytes[0], rid_);
  }
}

struct FailureCase {
  const char* name;
  uint16_t blockSize;
  std::optional<Fault> fault;
  std::vector<Packet> wire;
  size_t blockReads;  // attempted, the failing one included
  size_t stored;      // values written before the failure
};

TEST_P(Bulk, FailuresEndTheTransferWithoutWritingPastWhatArrived) {
  const FailureCase cases[] = {
      {"block size 1 carries no value", 1, std::nullopt, {kAnnounce}, 0, 0},
      {"announcement refused", 8, Fault::refuse(0xFA), {kAnnounce}, 0, 0},
      {"second block read fails: no closing exchange", 8, Fault::readFail(0xFA, 2), {kAnnounce}, 2, 4},
      {"closing exchange refused", 8, Fault::refuse(0xEE), {kAnnounce, kClose}, 2, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(c.blockSize, 64);
    if (c.fault) dev_->addFault(*c.fault);
    std::vector<uint16_t> values = Destination(8);
    EXPECT_EQ(ReceiveRawCount(h_, 8, values.data()), 0);
    EXPECT_EQ(Wire(*dev_), c.wire);
    EXPECT_EQ(BlockReads(*dev_).size(), c.blockReads);
    for (size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(values[i], i < c.stored ? Streamed(i) : kUnset16) << "at " << i;
  }
}

TEST_P(Bulk, UnknownHandleOrMissingArraySendsNothing) {
  prepare(8, 16);
  std::vector<uint16_t> values = Destination(4);
  EXPECT_EQ(ReceiveRawCount(QZ_NO_DEVICE, 4, values.data()), 0);
  EXPECT_EQ(ReceiveRawCount(h_, 4, nullptr), 0);
  EXPECT_TRUE(dev_->requests().empty());
  EXPECT_EQ(values, Destination(4));
}

struct SizeCase {
  const char* name;
  int32_t length;
  std::vector<std::optional<std::array<uint8_t, 4>>> replies;  // nullopt: refused
  std::vector<Packet> wire;
  int32_t result, flag, size;
};

TEST_P(Bulk, GetBufferSizeAsksF4ForALengthAndD3ForTheSize) {
  using R = std::array<uint8_t, 4>;
  const SizeCase cases[] = {
      {"length 0: D3 alone", 0, {R{0x40, 0x00, 9, 9}}, {{0xD3, 0, 0, 0, 1}}, 1, 1, 64},
      {"length 0: 16-bit D3 size", 0, {R{0x10, 0x02, 9, 9}}, {{0xD3, 0, 0, 0, 1}}, 1, 1, 0x0210},
      {"length 3: F4 size wins", 3, {R{0x20, 9, 9, 9}, R{0x40, 0, 9, 9}},
       {{0xF4, 0, 0x02, 0, 1}, {0xD3, 0, 0, 0, 1}}, 1, 1, 32},
      {"length 3: F4 without a size", 3, {R{0, 9, 9, 9}, R{0x40, 0, 9, 9}},
       {{0xF4, 0, 0x02, 0, 1}, {0xD3, 0, 0, 0, 1}}, 1, 1, 8},
      {"length 3: D3 refused", 3, {R{0x20, 9, 9, 9}, std::nullopt},
       {{0xF4, 0, 0x02, 0, 1}, {0xD3, 0, 0, 0, 1}}, 1, 0, 8},
      {"length 0: D3 refused", 0, {std::nullopt}, {{0xD3, 0, 0, 0, 1}}, 1, 0, 8},
      {"low byte of length - 1", 0x101, {R{0x10, 9, 9, 9}, R{0x40, 0, 9, 9}},
       {{0xF4, 0, 0x00, 0, 1}, {0xD3, 0, 0, 0, 1}}, 1, 1, 0x10},
      {"negative length: no F4, size stays", -1, {R{0x40, 0, 9, 9}}, {{0xD3, 0, 0, 0, 1}}, 1, 1, 8},
      {"F4 refused", 3, {std::nullopt}, {{0xF4, 0, 0x02, 0, 1}}, 0, kUnset32, kUnset16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(64, 0);
    for (size_t i = 0; i < c.replies.size(); ++i) {
      if (c.replies[i])
        Answer(*dev_, c.wire[i][0], *c.replies[i]);
      else
        dev_->addFault(Fault::refuse(c.wire[i][0]));
    }
    int32_t flag = kUnset32;
    uint16_t size = kUnset16;
    EXPECT_EQ(GetBufferSize(h_, c.length, &flag, &size), c.result);
    EXPECT_EQ(Wire(*dev_), c.wire);
    EXPECT_EQ(flag, c.flag);
    EXPECT_EQ(size, c.size);
  }
}

TEST_P(Bulk, GetBufferSizeWithAnUnknownHandleWritesNothing) {
  prepare(64, 0);
  int32_t flag = kUnset32;
  uint16_t size = kUnset16;
  EXPECT_EQ(GetBufferSize(QZ_NO_DEVICE, 0, &flag, &size), 0);
  EXPECT_EQ(flag, kUnset32);
  EXPECT_EQ(size, kUnset16);
  EXPECT_TRUE(dev_->requests().empty());
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, Bulk, ::testing::Values(Family::Krxm, Family::TwoK),
                         [](const auto& info) { return FamilyName(info.param); });

}  // namespace
