// Scenario files: controllers described as text (format in sim/scenarios/README.md).
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "qzsim/simulator.h"
#include "sim_impl.h"

namespace qzsim {
namespace {

struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

std::vector<std::string> words(const std::string& s, const char* seps = " \t,") {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find_first_of(seps, i);
    if (j == std::string::npos) j = s.size();
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

long number(const std::string& s, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 0);
  if (s.empty() || *end || errno || v < lo || v > hi)
    throw ParseError("\"" + s + "\" is not a number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

uint8_t byteOf(const std::string& s) { return uint8_t(number(s, 0, 255)); }

// A hexadecimal byte as lists write it: "3A" or "0x3A".
uint8_t hexByte(const std::string& s) {
  std::string t = s.size() > 2 && (s[1] == 'x' || s[1] == 'X') ? s.substr(2) : s;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 16);
  if (t.empty() || *end || v < 0 || v > 255) throw ParseError("\"" + s + "\" is not a hexadecimal byte");
  return uint8_t(v);
}

std::vector<uint8_t> hexBytes(const std::string& s) {
  std::vector<uint8_t> out;
  for (const std::string& w : words(s)) out.push_back(hexByte(w));
  return out;
}

bool yes(const std::string& s) {
  std::string v = lower(s);
  if (v == "yes" || v == "on" || v == "true" || v == "1") return true;
  if (v == "no" || v == "off" || v == "false" || v == "0") return false;
  throw ParseError("\"" + s + "\" is not yes or no");
}

// "2.5" into two bytes.
void version(const std::string& s, uint8_t* major, uint8_t* minor) {
  auto p = words(s, ".");
  if (p.size() != 2) throw ParseError("\"" + s + "\" is not a version like 2.5");
  *major = byteOf(p[0]);
  *minor = byteOf(p[1]);
}

// "A".."Z" or "-" (none) into a letter code.
uint8_t letter(const std::string& s) {
  if (s == "-" || s == "0") return 0;
  if (s.size() == 1 && std::isalpha(uint8_t(s[0]))) return uint8_t(std::toupper(uint8_t(s[0])) - 0x40);
  return byteOf(s);
}

bool chipKey(Chip& c, const std::string& key, const std::string& v) {
  if (key == "model") c.modelNumber = uint16_t(number(v, 0, 65535));
  else if (key == "letter") c.modelLetter = letter(v);
  else if (key == "version") version(v, &c.major, &c.minor);
  else if (key == "release") c.releaseCode = byteOf(v);
  else if (key == "build") c.build = uint16_t(number(v, 0, 65535));
  else if (key == "short-form") c.shortForm = yes(v);
  else if (key == "boot") version(v, &c.bootMajor, &c.bootMinor);
  else if (key == "boot-letter") c.bootLetter = letter(v);
  else if (key == "sensor-lines") c.sensorLines = byteOf(v);
  else if (key == "parameters") c.parameters = hexBytes(v);
  else return false;
  return true;
}

struct Pending {
  Transport transport = Transport::Hid;
  std::string name;  // driver object name
  std::string link;  // serial link
  Controller c;
  std::vector<std::pair<long, uint8_t>> touches;  // ms after start, state
  long cycleMs = 0;
};

bool controllerKey(Pending& p, const std::string& key, const std::string& v) {
  Controller& c = p.c;
  if (chipKey(c.chips[0], key, v)) return true;
  if (key == "family") {
    std::string f = lower(v);
    if (f == "krxm") c.family = Family::Krxm;
    else if (f == "2k") c.family = Family::TwoK;
    else throw ParseError("family is krxm or 2k");
  } else if (key == "vendor") {
    c.vendorId = uint16_t(std::strtoul(v.c_str(), nullptr, 16));
  } else if (key == "product") {
    char* end = nullptr;
    unsigned long pid = std::strtoul(v.c_str(), &end, 16);
    if (v.size() != 4 || *end) throw ParseError("product is four hexadecimal digits, as in 7480");
    c.productId = uint16_t(pid);
  } else if (key == "tail") {
    c.tail = v;
  } else if (key == "socket-name") {
    c.socketName = v;
  } else if (key == "report-id") {
    c.reportId = int(number(v, -1, 1));
  } else if (key == "name") {
    p.name = v;
  } else if (key == "link") {
    p.link = v;
  } else if (key == "addressed-queries") {
    c.addressedQueries = yes(v);
  } else if (key == "sectioned") {
    c.parameters.sectioned = yes(v);
  } else if (key == "paired-reads") {
    c.parameters.pairedReads = yes(v);
  } else if (key == "application") {
    c.parameters.application = hexBytes(v);
  } else if (key == "boot-list") {
    c.parameters.boot = hexBytes(v);
  } else if (key == "debug") {
    c.parameters.debug = hexBytes(v);
  } else if (key == "block-size") {
    c.blockSize = uint16_t(number(v, 0, 65535));
  } else if (key == "d2-size") {
    c.d2Size = uint32_t(number(v, 0, 0xFFFFFF));
  } else if (key == "d2-wait") {
    c.d2Wait = byteOf(v);
  } else if (key == "d3-size") {
    c.d3Size = uint16_t(number(v, 0, 65535));
  } else if (key == "driver-version") {
    auto w = words(v, ".");
    if (w.size() != 3) throw ParseError("driver-version is like 2.4.0");
    for (size_t i = 0; i < 3; ++i) c.driverVersion[i] = int32_t(number(w[i], 0, 0x7FFFFFFF));
  } else if (key == "sensor") {
    auto w = words(v, "x");
    if (w.size() != 2) throw ParseError("sensor is SENSORSxDRIVERS, as in 12x16");
    c.sensor.sensorLines = byteOf(w[0]);
    c.sensor.driverLines = byteOf(w[1]);
  } else if (key == "sectors") {
    c.sensor.sectors = uint8_t(number(v, 0, 15));
  } else if (key == "driver-first") {
    c.sensor.driverFirst = yes(v);
  } else if (key == "data-flags") {
    c.sensor.dataFlags = byteOf(v);
  } else if (key == "baseline") {
    c.sensor.baseline = uint16_t(number(v, 0, 65535));
  } else if (key == "noise") {
    c.sensor.noise = uint16_t(number(v, 0, 1000));
  } else if (key == "seed") {
    c.sensor.seed = uint32_t(number(v, 0, 0x7FFFFFFF));
  } else if (key == "ready-after-polls") {
    c.sensor.readyAfterPolls = uint16_t(number(v, 0, 1000));
  } else if (key == "touch") {
    if (lower(v) == "off") {
      c.sensor.touch = false;
    } else {
      auto w = words(v);
      if (w.size() != 4) throw ParseError("touch is ROW COLUMN RADIUS DEPTH, or off");
      c.sensor.touch = true;
      c.sensor.touchRow = std::strtof(w[0].c_str(), nullptr);
      c.sensor.touchColumn = std::strtof(w[1].c_str(), nullptr);
      c.sensor.touchRadius = std::strtof(w[2].c_str(), nullptr);
      c.sensor.touchDepth = uint16_t(number(w[3], 0, 65535));
    }
  } else if (key == "hopping") {
    if (lower(v) == "off") {
      c.hopping.present = false;
    } else {
      auto w = words(v);
      if (w.size() != 2) throw ParseError("hopping is MODES FREQUENCIES, or off");
      c.hopping.present = true;
      c.hopping.modeCount = byteOf(w[0]);
      c.hopping.frequencyCount = byteOf(w[1]);
    }
  } else if (key == "hop-current") {
    c.hopping.current = byteOf(v);
  } else if (key == "abnormal-scan") {
    c.hopping.abnormalScan = byteOf(v);
  } else if (key == "abnormal-level") {
    if (lower(v) == "off") c.hopping.hasAbnormalLevel = false;
    else c.hopping.abnormalLevel = byteOf(v);
  } else if (key == "flag") {
    c.status.flag = byteOf(v);
  } else if (key == "stat") {
    c.status.stat = byteOf(v);
  } else if (key == "stat2") {
    c.status.stat2 = byteOf(v);
  } else if (key == "diag") {
    c.status.diag = byteOf(v);
  } else if (key == "live-test") {
    c.status.liveTest = byteOf(v);
  } else if (key == "features") {
    auto b = hexBytes(v);
    if (b.size() != 4) throw ParseError("features are four hexadecimal bytes");
    for (size_t i = 0; i < 4; ++i) c.status.features[i] = b[i];
  } else if (key == "capabilities") {
    auto b = hexBytes(v);
    if (b.size() != 3) throw ParseError("capabilities are three hexadecimal bytes (EF reply bytes 2..4)");
    for (size_t i = 0; i < 3; ++i) c.efBytes[i] = b[i];
  } else if (key == "panel") {
    auto w = words(v);
    if (w.size() < 3 || w.size() > 4 || w[0].size() > 8) throw ParseError("panel is NAME INCHES TENTHS [wide]");
    PanelEntry e;
    e.name.fill(0);
    for (size_t i = 0; i < w[0].size(); ++i) e.name[i] = w[0][i] == '_' ? ' ' : w[0][i];
    long inches = number(w[1], 0, 99), tenths = number(w[2], 0, 9);
    e.inches = uint8_t((inches / 10) << 4 | inches % 10);
    e.tenthsWide = uint8_t(tenths << 4 | (w.size() == 4 && lower(w[3]) == "wide" ? 1 : 0));
    c.panels.push_back(e);
  } else if (key == "cover-lens") {
    auto w = words(v);
    if (w.size() != 3 || w[2].size() != 1) throw ParseError("cover-lens is THICKNESS MAX|- MATERIAL, as in 1.1 - G");
    auto mm = [](const std::string& t) {
      uint8_t a, b;
      version(t, &a, &b);
      return uint8_t(a << 4 | (b & 0x0F));
    };
    CoverLensEntry e;
    e.thickness = mm(w[0]);
    e.maxThickness = w[1] == "-" ? 0xFF : mm(w[1]);
    e.material = w[2][0];
    c.coverLenses.push_back(e);
  } else if (key == "refuse" || key == "accept") {
    for (uint8_t op : hexBytes(v)) c.refused.set(op, key == "refuse");
  } else if (key == "touch-at") {
    auto w = words(v);
    if (w.size() != 2) throw ParseError("touch-at is MS STATE, as in 500 8A");
    p.touches.emplace_back(number(w[0], 0, 86400000), hexByte(w[1]));
  } else if (key == "touch-cycle") {
    p.cycleMs = number(v, 0, 86400000);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::vector<Device*> Simulator::loadScenarioText(const std::string& text) {
  std::vector<Pending> list;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  bool inSlave = false;
  // Explicit panel or cover-lens lines replace the default tables.
  bool panelsGiven = false, lensesGiven = false;
  try {
    while (std::getline(in, line)) {
      ++lineNo;
      size_t hash = line.find('#');
      std::string t = trim(hash == std::string::npos ? line : line.substr(0, hash));
      if (t.empty()) continue;
      if (t.front() == '[') {
        if (t.back() != ']') throw ParseError("a section is written [hid], [driver NAME], [serial] or [slave]");
        auto w = words(t.substr(1, t.size() - 2));
        std::string kind = w.empty() ? "" : lower(w[0]);
        if (kind == "slave") {
          if (list.empty()) throw ParseError("[slave] comes after its controller");
          if (list.back().c.chips.size() >= 5) throw ParseError("a controller has at most four slaves");
          list.back().c.chips.emplace_back();
          inSlave = true;
          continue;
        }
        Pending p;
        if (kind == "hid") p.transport = Transport::Hid;
        else if (kind == "driver") p.transport = Transport::Driver;
        else if (kind == "serial") p.transport = Transport::Serial;
        else throw ParseError("unknown section [" + kind + "]");
        if (w.size() > 1) (kind == "serial" ? p.link : p.name) = w[1];
        list.push_back(p);
        inSlave = false;
        panelsGiven = lensesGiven = false;
        continue;
      }
      size_t eq = t.find('=');
      if (eq == std::string::npos) throw ParseError("expected KEY = VALUE");
      std::string key = lower(trim(t.substr(0, eq))), value = trim(t.substr(eq + 1));
      if (list.empty()) throw ParseError("a key before the first section");
      Pending& p = list.back();
      if (inSlave) {
        if (!chipKey(p.c.chips.back(), key, value)) throw ParseError("unknown slave key \"" + key + "\"");
        continue;
      }
      if (key == "panel" && !panelsGiven) {
        p.c.panels.clear();
        panelsGiven = true;
      }
      if (key == "cover-lens" && !lensesGiven) {
        p.c.coverLenses.clear();
        lensesGiven = true;
      }
      if (key == "family" && lower(value) == "2k" && p.c.productId == 0x7480) p.c.productId = 0x2150;
      if (!controllerKey(p, key, value)) throw ParseError("unknown key \"" + key + "\"");
    }
    for (const Pending& p : list)
      if (p.transport == Transport::Driver && p.name.empty())
        throw ParseError("a [driver] section needs its object name, as in [driver QZUKRXM_API0]");
  } catch (const ParseError& e) {
    throw std::runtime_error("qzsim: scenario line " + std::to_string(lineNo) + ": " + e.what());
  }

  std::vector<Device*> out;
  for (const Pending& p : list) {
    Device* d;
    if (p.transport == Transport::Hid) d = &addHid(p.c);
    else if (p.transport == Transport::Driver) d = &addDriverObject(p.c, p.name);
    else d = &addSerial(p.c, p.link);
    for (const auto& t : p.touches) d->scheduleTouchState(std::chrono::milliseconds(t.first), t.second);
    if (p.cycleMs > 0) {
      // Disabled and enabled in turn, for ever.
      auto period = std::chrono::milliseconds(p.cycleMs);
      auto cycle = std::make_shared<std::function<void(uint8_t)>>();
      Impl* sim = impl_.get();
      std::weak_ptr<std::function<void(uint8_t)>> weak = cycle;
      *cycle = [d, sim, period, weak](uint8_t state) {
        d->raiseTouchState(state);
        if (auto self = weak.lock())
          sim->schedule(period, [self, state] { (*self)(state == 0x8A ? 0x0A : 0x8A); });
      };
      impl_->cycles.push_back(cycle);
      impl_->schedule(period, [cycle] { (*cycle)(0x8A); });
    }
    out.push_back(d);
  }
  return out;
}

std::vector<Device*> Simulator::loadScenario(const std::string& path) {
  std::ifstream f(path);
  if (!f) throw std::runtime_error("qzsim: cannot read the scenario " + path);
  std::stringstream ss;
  ss << f.rdbuf();
  return loadScenarioText(ss.str());
}

}  // namespace qzsim
