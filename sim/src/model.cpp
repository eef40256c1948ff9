// The controller: what each five-byte command means to a KRX master (and the slaves behind
// it) and what it answers.
#include "qzsim/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qzsim {
namespace {

constexpr uint8_t kRefusal = 0xAA;

Packet echo(const Packet& cmd) { return cmd; }

Packet make(uint8_t op, uint8_t r1, uint8_t r2, uint8_t r3, uint8_t r4) {
  return Packet{op, r1, r2, r3, r4};
}

uint32_t mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

}  // namespace

std::bitset<256> defaultRefused() {
  std::bitset<256> b;
  for (int op = 0; op < 0xD0; ++op) b.set(size_t(op));
  return b;
}

Controller Controller::twoK() {
  Controller c;
  c.family = Family::TwoK;
  c.productId = 0x2150;
  c.chips[0].modelNumber = 2150;
  c.chips[0].modelLetter = 0;
  return c;
}

int Controller::effectiveReportId() const {
  if (reportId == 0 || reportId == 1) return reportId;
  return productId == 0x7413 || productId == 0x7416 ? 1 : 0;
}

std::string Controller::hidSocketName() const {
  if (!socketName.empty()) return socketName;
  char buf[32];
  snprintf(buf, sizeof buf, "hid#vid_%04x&pid_%04x#", vendorId, productId);
  return buf + tail;
}

ControllerModel::ControllerModel(Controller desc) : desc_(std::move(desc)) {
  if (desc_.chips.empty()) desc_.chips.resize(1);
  storedApplication_ = defaultApplication_ = desc_.parameters.application;
  storedBoot_ = defaultBoot_ = desc_.parameters.boot;
}

size_t ControllerModel::blockBytes() const { return desc_.blockSize ? desc_.blockSize : 8; }

void ControllerModel::setBulkValues(std::vector<uint16_t> values) {
  bulkValues_ = std::move(values);
}

bool ControllerModel::command(const Packet& cmd, Packet* reply) {
  // Any command ends a running bulk transfer; FA starts a new one below.
  state_.bulkActive = false;
  const bool quiet = state_.repliesOff;
  Packet r;
  bool taken = !desc_.refused.test(cmd[0]) && handle(cmd, &r);
  if (!taken) r = make(kRefusal, cmd[1], cmd[2], cmd[3], cmd[4]);
  last_ = cmd;
  if (quiet) {
    if (cmd[0] != 0xD1 || !taken) {
      ++state_.quietCommands;
      for (uint8_t b : cmd) state_.quietSum = uint8_t(state_.quietSum + b);
      return false;
    }
    state_.repliesOff = false;
  } else if (cmd[0] == 0xD0 && taken) {
    // D0 itself is answered; the commands after it are not.
    state_.repliesOff = true;
    state_.quietCommands = 0;
    state_.quietSum = 0;
  }
  *reply = r;
  return true;
}

// The chip an addressed query (EE/ED/EB with F0+n in byte 1) or the slave selection names;
// nullptr for the master itself.
const Chip* ControllerModel::addressedChip(uint8_t arg) const {
  size_t slaves = desc_.chips.size() - 1;
  if (desc_.addressedQueries && arg >= 0xF0 && size_t(arg - 0xF0) < slaves)
    return &desc_.chips[size_t(arg - 0xF0) + 1];
  if (state_.selectedSlave >= 0) return &desc_.chips[size_t(state_.selectedSlave) + 1];
  return nullptr;
}

// The parameter list a read or write addresses and the offset in it; nullptr when none.
std::vector<uint8_t>* ControllerModel::listFor(uint8_t selector, uint8_t index, size_t* offset) {
  Parameters& p = desc_.parameters;
  std::vector<uint8_t>* list = nullptr;
  size_t at = index;
  if (state_.selectedSlave >= 0) {
    if (selector == 0 || selector == 0x80) list = &desc_.chips[size_t(state_.selectedSlave) + 1].parameters;
  } else if (selector == 0 || (selector != 0x80 && selector != 0x90 && selector != 0xA0)) {
    // Flat numbering: application from 0x00, boot from 0x40, debug from 0x80. Selectors the
    // controller does not know are ignored.
    if (index < 0x40) {
      list = &p.application;
    } else if (index < 0x80) {
      list = &p.boot;
      at = index - 0x40u;
    } else {
      list = &p.debug;
      at = index - 0x80u;
    }
  } else if (p.sectioned) {
    if (selector == 0x80) list = &p.application;
    if (selector == 0x90) list = &p.boot;
    if (selector == 0xA0) list = &p.debug;
  }
  if (!list || at >= list->size()) return nullptr;
  *offset = at;
  return list;
}

bool ControllerModel::readParameter(const Packet& cmd, Packet* reply) {
  uint8_t selector = cmd[1], index = cmd[2];
  const Status& st = desc_.status;
  if (selector == 0 && index >= 0xF0) {
    // Status and feature registers belong to the master, whatever slave is selected.
    uint8_t flag = uint8_t((st.flag & ~1u) | (state_.scanning ? 1u : 0u));
    const Parameters& p = desc_.parameters;
    switch (index) {
      case 0xF0: *reply = make(0xE0, 0, 0, st.stat, flag); return true;
      case 0xF1: *reply = make(0xE0, 0, 0, st.diag, st.stat2); return true;
      case 0xF2: *reply = make(0xE0, 0, 0, 0, st.liveTest); return true;
      case 0xF4:
        *reply = make(0xE0, st.features[0], st.features[1], st.features[2], st.features[3]);
        return true;
      case 0xF7:
        if (!st.selectionCount) return false;
        *reply = make(0xE0, 0, 0, 0, st.selectionCount);
        return true;
      case 0xFB: {
        if (!p.sectioned) return false;
        uint8_t slaveLength = desc_.chips.size() > 1 ? uint8_t(desc_.chips[1].parameters.size()) : 0;
        *reply = make(0xE0, uint8_t(p.debug.size()), slaveLength, uint8_t(p.boot.size()),
                      uint8_t(p.application.size()));
        return true;
      }
      default: return false;
    }
  }
  size_t at;
  std::vector<uint8_t>* list = listFor(selector, index, &at);
  if (!list) return false;
  uint8_t value = (*list)[at];
  if (desc_.parameters.pairedReads && at + 1 < list->size() && index != 0xFF)
    *reply = make(0xE0, 1, 0, (*list)[at + 1], value);
  else
    *reply = make(0xE0, 0, 0, 0, value);
  return true;
}

bool ControllerModel::writeParameter(const Packet& cmd) {
  if (desc_.parameters.requireOpen && !state_.changeOpen) return false;
  if (cmd[1] == 0 && cmd[2] >= 0xF0) return false;
  size_t at;
  std::vector<uint8_t>* list = listFor(cmd[1], cmd[2], &at);
  if (!list) return false;
  (*list)[at] = cmd[4];
  return true;
}

void ControllerModel::reset() {
  ++state_.resets;
  state_.scanning = true;
  state_.reporting = true;
  state_.selectedSlave = -1;
  state_.changeOpen = false;
  state_.bootChip = -1;
  state_.diagnostic = false;
  state_.selection = DataSelection::RawCounts;
  desc_.parameters.application = storedApplication_;
  desc_.parameters.boot = storedBoot_;
  frame_.clear();
}

std::vector<uint16_t> ControllerModel::computeFrame() const {
  const Sensor& s = desc_.sensor;
  unsigned rows = s.sensorLines, drivers = s.driverLines, sectors = s.sectors;
  unsigned len = drivers + sectors + 1;
  std::vector<uint16_t> f(size_t(rows) * len);
  uint32_t noiseSpan = 2u * s.noise + 1u;
  for (unsigned r = 0; r < rows; ++r) {
    for (unsigned j = 0; j < len; ++j) {
      int base;
      if (j < drivers)
        base = s.baseline + int((r * 7 + j * 3) % 32);
      else if (j < drivers + sectors)
        base = s.baseline / 4 + int(r * 10 + (j - drivers));
      else
        base = s.baseline / 2 + int(r);
      int v = base;
      switch (state_.selection) {
        case DataSelection::Baseline: break;
        case DataSelection::ModeDiff:
          // Differences of a hopping mode against the baseline: small, of either sign.
          v = int((r + j + state_.modeDiff) % 9) - 4;
          break;
        case DataSelection::RawCounts: {
          if (j < drivers && s.touch) {
            float dr = float(r) - s.touchRow, dc = float(j) - s.touchColumn;
            float rad = s.touchRadius > 0.1f ? s.touchRadius : 0.1f;
            float d2 = dr * dr + dc * dc;
            float w = d2 > 9.0f * rad * rad ? 0.0f : std::exp(-d2 / (2.0f * rad * rad));
            v -= int(float(s.touchDepth) * w);
          }
          if (s.noise) {
            uint32_t h = mix(s.seed ^ mix(frameSerial_ * 0x9E3779B9u + r * len + j));
            v += int(h % noiseSpan) - int(s.noise);
          }
          break;
        }
      }
      f[size_t(r) * len + j] = uint16_t(v);
    }
  }
  return f;
}

void ControllerModel::takeFrame() { frame_ = computeFrame(); }

std::vector<uint16_t> ControllerModel::frame() const {
  return frame_.empty() ? computeFrame() : frame_;
}

uint16_t ControllerModel::frameValue(unsigned row, unsigned position) const {
  const Sensor& s = desc_.sensor;
  unsigned len = unsigned(s.driverLines) + s.sectors + 1;
  if (row >= s.sensorLines || position >= len) return 0;
  size_t i = size_t(row) * len + position;
  if (frame_.size() > i) return frame_[i];
  return computeFrame()[i];
}

size_t ControllerModel::nextBlock(uint8_t* out, size_t cap) {
  size_t n = blockBytes();
  const std::vector<uint16_t>& src = bulkValues_.empty() ? frame_ : bulkValues_;
  for (size_t k = 0; k < n && k < cap; ++k) {
    size_t v = bulkPos_ + k / 2;
    uint16_t value = (k / 2 < n / 2 && v < src.size()) ? src[v] : 0;
    out[k] = k % 2 ? uint8_t(value >> 8) : uint8_t(value);
  }
  bulkPos_ += n / 2;
  return n;
}

bool ControllerModel::handle(const Packet& c, Packet* r) {
  const bool twoK = desc_.family == Family::TwoK;
  const Chip& master = desc_.chips[0];
  size_t slaves = desc_.chips.size() - 1;
  *r = echo(c);
  if (state_.bootChip == 0 && c[0] != 0xEE && c[0] != 0xFC && c[0] != 0xFE) return false;

  switch (c[0]) {
    case 0xEE: {  // identity
      if (desc_.addressedQueries && c[1] == 0xF0 && slaves && last_[0] == 0xEF) {
        *r = make(0xEE, 0x55, 0xAA, 0, 0);  // the master answers addressed queries itself
        return true;
      }
      if (const Chip* chip = addressedChip(c[1])) {
        // A slave answering through the master marks its model number with bit 15.
        uint16_t m = uint16_t(chip->modelNumber | 0x8000);
        *r = make(0xEE, uint8_t(m), uint8_t(m >> 8), chip->major, chip->modelLetter);
      } else if (twoK) {
        *r = make(0xEE, uint8_t(master.modelNumber >> 8), uint8_t(master.modelNumber), 0, master.major);
      } else {
        *r = make(0xEE, uint8_t(master.modelNumber), uint8_t(master.modelNumber >> 8), master.major,
                  master.modelLetter);
      }
      return true;
    }
    case 0xED: {  // minor version, release code, build field
      const Chip* chip = addressedChip(c[1]);
      const Chip& k = chip ? *chip : master;
      uint8_t lo = k.shortForm ? 0x55 : uint8_t(k.build), hi = k.shortForm ? 0xAA : uint8_t(k.build >> 8);
      if (!chip && twoK)
        *r = make(0xED, k.releaseCode, k.minor, k.shortForm ? 0x55 : hi, k.shortForm ? 0xAA : lo);
      else
        *r = make(0xED, k.minor, k.releaseCode, lo, hi);
      return true;
    }
    case 0xEB: {  // boot loader version (the 2K family asks with E7)
      if (twoK) return false;
      const Chip* chip = addressedChip(c[1]);
      const Chip& k = chip ? *chip : master;
      *r = make(0xEB, k.bootMajor, k.bootLetter, k.bootMinor, 0);
      return true;
    }
    case 0xE7:
      if (twoK)
        *r = make(0xE7, master.bootMajor, master.bootLetter, master.bootMinor, 0);
      else
        *r = make(0xE7, uint8_t(desc_.e7Value >> 24), uint8_t(desc_.e7Value >> 16),
                  uint8_t(desc_.e7Value >> 8), uint8_t(desc_.e7Value));
      return true;
    case 0xEF:  // chip count and capability bytes
      *r = make(0xEF, uint8_t(desc_.chips.size()), desc_.efBytes[0], desc_.efBytes[1], desc_.efBytes[2]);
      return true;
    case 0xE0: return readParameter(c, r);
    case 0xE1: return writeParameter(c);
    case 0xE3: {  // panel-size and cover-lens tables
      if (c[1] == 0) {
        *r = make(0xE3, 0, uint8_t(desc_.panels.size()), uint8_t(desc_.coverLenses.size()), 0);
        return true;
      }
      if (c[1] == 1 && c[2] < desc_.panels.size()) {
        const PanelEntry& e = desc_.panels[c[2]];
        switch (c[4]) {
          case 0: *r = make(0xE3, uint8_t(e.name[0]), uint8_t(e.name[1]), uint8_t(e.name[2]), uint8_t(e.name[3])); return true;
          case 1: *r = make(0xE3, uint8_t(e.name[4]), uint8_t(e.name[5]), uint8_t(e.name[6]), uint8_t(e.name[7])); return true;
          case 2: *r = make(0xE3, e.inches, e.tenthsWide, 0, 0); return true;
          default: return false;
        }
      }
      if (c[1] == 2 && c[2] < desc_.coverLenses.size() && c[4] == 0) {
        const CoverLensEntry& e = desc_.coverLenses[c[2]];
        *r = make(0xE3, e.thickness, e.maxThickness, uint8_t(e.material), 0);
        return true;
      }
      return false;
    }
    case 0xE5: {  // sensor dimensions
      const Sensor& s = desc_.sensor;
      unsigned slaveLines = 0;
      for (size_t i = 1; i < desc_.chips.size(); ++i) slaveLines += desc_.chips[i].sensorLines;
      if (c[4] == 1) {
        uint8_t flags = uint8_t((s.sectors & 0x0F) << 4 | (s.driverFirst ? 1 : 0));
        if (s.driverFirst)
          *r = make(0xE5, s.driverLines, s.sensorLines, 0, flags);
        else
          *r = make(0xE5, s.sensorLines, s.driverLines, 0, flags);
        return true;
      }
      if (c[4] == 2) {
        *r = make(0xE5, s.sectors, 0, uint8_t(slaveLines), uint8_t(s.sensorLines - slaveLines));
        return true;
      }
      return false;
    }
    case 0xE6: {  // boot byte 4 span and the range setting
      const Parameters& p = desc_.parameters;
      if (c[1] == 0 && c[2] == 0) {
        *r = make(0xE6, 0, 0, p.boot.size() > 4 ? p.boot[4] : 0, p.boot4Span);
      } else if (c[1] == 1 && c[2] == 0) {
        *r = p.hasRange ? make(0xE6, 0, 0x55, p.rangeMin, p.rangeMax) : make(0xE6, 0, 0, 0, 0);
      } else if (c[1] == 1 && c[2] == 1) {
        *r = make(0xE6, 0, 0, p.rangeExtra, p.application.size() > 0x1F ? p.application[0x1F] : 0);
      }
      return true;
    }
    case 0xE8: {
      if (twoK && (c == Packet{0xE8, 0xAA, 0x55, 0xAA, 0x55} || c == Packet{0xE8, 0x55, 0xAA, 0x55, 0xAA})) {
        if (c[1] == 0x55 && last_ == Packet{0xE8, 0xAA, 0x55, 0xAA, 0x55}) state_.bootChip = 0;
        return true;
      }
      // Frame values: one (row, position) pair, or two when the second is not 0, 0.
      if (frame_.empty()) takeFrame();
      if (c[3] == 0 && c[4] == 0) {
        uint16_t v = frameValue(c[1], c[2]);
        *r = make(0xE8, 0, 0, uint8_t(v), uint8_t(v >> 8));
      } else {
        uint16_t a = frameValue(c[1], c[2]), b = frameValue(c[3], c[4]);
        *r = make(0xE8, uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8));
      }
      return true;
    }
    case 0xEA:  // store a list permanently: taken on the repeated packet
      if (c[2] != 0 && c[2] != 0xAA) return false;
      if (last_ == c) {
        if (c[2] == 0) {
          storedApplication_ = desc_.parameters.application;
          ++state_.applicationStores;
        } else {
          storedBoot_ = desc_.parameters.boot;
          ++state_.bootStores;
        }
        last_ = Packet{};  // a third EA arms again
      }
      return true;
    case 0xEC:  // reload a list's defaults
      if (desc_.parameters.requireOpen && !state_.changeOpen) return false;
      if (c[2] == 0)
        desc_.parameters.application = defaultApplication_;
      else if (c[2] == 0xAA)
        desc_.parameters.boot = defaultBoot_;
      else
        return false;
      return true;
    case 0xF0:
    case 0xF1: {  // stop / start: 0 scanning, 1 touch data report
      bool on = c[0] == 0xF1;
      if (c[4] == 0) state_.scanning = on;
      if (c[4] == 1) state_.reporting = on;
      return true;
    }
    case 0xF4:  // slave selection: F4 00 n 00 01 selects slave n, F4 00 00 00 00 releases
      if (c[4] == 1 && c[2] < slaves) state_.selectedSlave = c[2];
      if (c[4] == 0 && c[2] == 0) state_.selectedSlave = -1;
      return true;
    case 0xF5: {  // frequency hopping
      Hopping& h = desc_.hopping;
      if (!h.present) return false;
      switch (c[2]) {
        case 0x0F: *r = make(0xF5, 0, 0, 0, h.current); break;
        case 0x04: *r = make(0xF5, 0, h.modeCount, 0, h.frequencyCount); break;
        case 0x0E: *r = make(0xF5, 0, 0, 0, h.abnormalScan); break;
        case 0xFF:
          if ((c[4] & 3u) < h.modeCount && (c[4] >> 2) < h.frequencyCount) {
            h.current = c[4];
            *r = make(0xF5, 0, 0xFF, 0, c[4]);
          } else {
            *r = make(0xF5, 0, 0xFF, 0, 0xFF);
          }
          break;
        default:
          state_.hopSetting = uint8_t(c[2] + 16);
          *r = make(0xF5, 0, c[2], 0, state_.hopSetting);
      }
      return true;
    }
    case 0xF6:
      if (c[1] == 0x06 && c[2] == 0x01) {  // abnormal level
        const Hopping& h = desc_.hopping;
        *r = h.hasAbnormalLevel ? make(0xF6, 0, 0, 0, h.abnormalLevel) : make(0xF6, 0xFF, 0xFF, 0, 0);
      }
      return true;
    case 0xF7:  // open (1) or close (0) a parameter change
      state_.changeOpen = c[4] != 0;
      return true;
    case 0xF9: {  // diagnostic mode and data selection
      Sensor& s = desc_.sensor;
      if (c[2] == 0xAA) {
        state_.selection = c[4] ? DataSelection::ModeDiff : DataSelection::Baseline;
        state_.modeDiff = c[4];
        takeFrame();
        return true;
      }
      if (c[2] == 0 && c[3] == 0 && c[4] == 0) {
        state_.diagnostic = false;
        *r = make(0xF9, 0, 0, s.dataFlags, 0);
        return true;
      }
      if (c[2] == 0 && (c[3] == 0xC0 || c[3] == 0x80) && c[4] == 1) {
        state_.diagnostic = true;
        if (c[3] == 0xC0) {
          ++frameSerial_;
          pollsLeft_ = s.readyAfterPolls;
          state_.selection = DataSelection::RawCounts;
          takeFrame();
        } else if (pollsLeft_ > 0) {
          --pollsLeft_;
        }
        uint8_t requested = uint8_t(frameSerial_);
        uint8_t done = uint8_t(pollsLeft_ ? frameSerial_ - 1 : frameSerial_);
        *r = make(0xF9, requested, done, s.readyAfterPolls ? 1 : 0, 0);
        return true;
      }
      return true;
    }
    case 0xFA:  // bulk transfer: block size, then blocks until the next command
      *r = make(0xFA, uint8_t(desc_.blockSize), uint8_t(desc_.blockSize >> 8), 0, 0);
      if (bulkValues_.empty() && frame_.empty()) takeFrame();
      bulkPos_ = 0;
      state_.bulkActive = true;
      return true;
    case 0xFE:  // reset: taken on the repeated packet
      if (last_ == c) {
        reset();
        last_ = Packet{};
      }
      return true;
    case 0xFF:  // boot loader: FF AA 55 AA 55, then FF 55 AA 55 AA (2K: E8)
      if (twoK) return false;
      if (c == Packet{0xFF, 0x55, 0xAA, 0x55, 0xAA} && last_ == Packet{0xFF, 0xAA, 0x55, 0xAA, 0x55})
        state_.bootChip = state_.selectedSlave + 1;
      return true;
    case 0xD0:  // replies off until D1 (see command())
      return true;
    case 0xD1: {  // replies on: what was taken meanwhile, count and 8-bit sum
      uint16_t n = state_.repliesOff ? uint16_t(state_.quietCommands) : 0;
      uint8_t sum = state_.repliesOff ? state_.quietSum : 0;
      *r = make(0xD1, uint8_t(n), uint8_t(n >> 8), 0, sum);
      return true;
    }
    case 0xD2:
      *r = make(0xD2, uint8_t(desc_.d2Size), uint8_t(desc_.d2Size >> 8), uint8_t(desc_.d2Size >> 16), desc_.d2Wait);
      return true;
    case 0xD3:
      *r = make(0xD3, uint8_t(desc_.d3Size), uint8_t(desc_.d3Size >> 8), 0, 0);
      return true;
    case 0xD4:  // first packet answers the settings, the second (AA in byte 2) confirms
      if (c[2] == 0xAA)
        ++state_.d4Confirmations;
      else
        *r = make(0xD4, desc_.d4Reply[0], desc_.d4Reply[1], desc_.d4Reply[2], desc_.d4Reply[3]);
      return true;
    default:
      return true;  // known but without a meaning of its own here: echoed
  }
}

}  // namespace qzsim
