// qztool raw: one or more frames of raw counts, baselines or mode differences, printed as a
// table and optionally kept as a raw-count file, a CSV grid, a heat-map PNG or JSON.
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qz/other.h"
#include "qztool.h"

namespace qztool {
namespace {

struct Options {
  DeviceChoice choice;
  bool baseline = false;
  int modeDiff = -1;
  int frames = 1;
  std::string rawFile, csv, png;
};

struct Frame {
  int rows = 0, drivers = 0, sectors = 0;
  bool totals = false;
  std::vector<uint16_t> mutual, sector, total;
  int width() const { return drivers + sectors + (totals ? 1 : 0); }
  uint16_t at(int r, int j) const {
    if (j < drivers) return mutual[size_t(r) * drivers + j];
    if (j < drivers + sectors) return sector[size_t(r) * sectors + (j - drivers)];
    return total[size_t(r)];
  }
};

// 3x5 digits for the scale's labels.
const char* const kDigits[10] = {"111101101101111", "010110010010111", "111001111100111", "111001111001111",
                                 "101101111001001", "111100111001111", "111100111101111", "111001001001001",
                                 "111101111101111", "111101111001111"};

struct Image {
  int w, h;
  std::vector<uint8_t> px;
  Image(int width, int height) : w(width), h(height), px(size_t(width) * height * 3, 255) {}
  void fill(int x, int y, int fw, int fh, const uint8_t* rgb) {
    for (int yy = std::max(0, y); yy < std::min(h, y + fh); ++yy)
      for (int xx = std::max(0, x); xx < std::min(w, x + fw); ++xx)
        std::copy(rgb, rgb + 3, &px[(size_t(yy) * w + xx) * 3]);
  }
  void number(int x, int y, unsigned v, int scale) {
    const std::string text = std::to_string(v);
    const uint8_t black[3] = {0, 0, 0};
    for (char ch : text) {
      const char* g = kDigits[ch - '0'];
      for (int i = 0; i < 15; ++i)
        if (g[i] == '1') fill(x + (i % 3) * scale, y + (i / 3) * scale, scale, scale, black);
      x += 4 * scale;
    }
  }
};

// Blue (low) through green to red (high).
void colour(double t, uint8_t* rgb) {
  t = std::clamp(t, 0.0, 1.0);
  rgb[0] = uint8_t(255 * std::clamp(2 * t - 0.5, 0.0, 1.0));
  rgb[1] = uint8_t(255 * (1 - std::abs(2 * t - 1)));
  rgb[2] = uint8_t(255 * std::clamp(1.5 - 2 * t, 0.0, 1.0));
}

constexpr int kCell = 16, kGap = 8, kMargin = 8, kScaleHeight = 12, kLabel = 2;

// Columns: the mutual grid, a gap, the sector columns, a gap, the total-drive column; each
// block on its own colour range, the mutual range drawn as the scale below.
bool writePng(const std::string& path, const Frame& f, std::string* why) {
  const int blocks = 1 + (f.sectors ? 1 : 0) + (f.totals ? 1 : 0);
  const int gridW = f.width() * kCell + (blocks - 1) * kGap;
  const int w = std::max(gridW, 160) + 2 * kMargin;
  const int h = f.rows * kCell + 2 * kMargin + kGap + kScaleHeight + kGap + 5 * kLabel;
  Image img(w, h);
  auto range = [&](int from, int to, uint16_t* lo, uint16_t* hi) {
    *lo = 0xFFFF;
    *hi = 0;
    for (int r = 0; r < f.rows; ++r)
      for (int j = from; j < to; ++j) {
        *lo = std::min(*lo, f.at(r, j));
        *hi = std::max(*hi, f.at(r, j));
      }
  };
  uint16_t mlo = 0, mhi = 0;
  range(0, f.drivers, &mlo, &mhi);
  int x0 = kMargin;
  const int starts[3] = {0, f.drivers, f.drivers + f.sectors};
  const int ends[3] = {f.drivers, f.drivers + f.sectors, f.width()};
  for (int b = 0; b < 3; ++b) {
    if (ends[b] <= starts[b]) continue;
    uint16_t lo, hi;
    range(starts[b], ends[b], &lo, &hi);
    for (int r = 0; r < f.rows; ++r)
      for (int j = starts[b]; j < ends[b]; ++j) {
        uint8_t rgb[3];
        colour(hi > lo ? double(f.at(r, j) - lo) / (hi - lo) : 0.0, rgb);
        img.fill(x0 + (j - starts[b]) * kCell, kMargin + r * kCell, kCell - 1, kCell - 1, rgb);
      }
    x0 += (ends[b] - starts[b]) * kCell + kGap;
  }
  const int sy = kMargin + f.rows * kCell + kGap, sw = w - 2 * kMargin;
  for (int x = 0; x < sw; ++x) {
    uint8_t rgb[3];
    colour(double(x) / std::max(1, sw - 1), rgb);
    img.fill(kMargin + x, sy, 1, kScaleHeight, rgb);
  }
  img.number(kMargin, sy + kScaleHeight + 4, mlo, kLabel);
  const int hiWidth = int(std::to_string(mhi).size()) * 4 * kLabel;
  img.number(w - kMargin - hiWidth, sy + kScaleHeight + 4, mhi, kLabel);

  FILE* out = fopen(path.c_str(), "wb");
  if (!out) {
    *why = "cannot be created";
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(out);
    *why = "could not be written";
    return false;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, uint32_t(w), uint32_t(h), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, &img.px[size_t(y) * w * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (fclose(out) != 0) {
    *why = "could not be written (disk full?)";
    return false;
  }
  return true;
}

void printTable(const Frame& f, int index, bool json) {
  if (json) {
    printf("%s{\"index\":%d,\"mutual\":[", index ? "," : "", index);
    for (int r = 0; r < f.rows; ++r) {
      printf("%s[", r ? "," : "");
      for (int j = 0; j < f.drivers; ++j) printf("%s%u", j ? "," : "", f.at(r, j));
      printf("]");
    }
    printf("],\"sector\":[");
    for (int r = 0; r < f.rows && f.sectors; ++r) {
      printf("%s[", r ? "," : "");
      for (int j = 0; j < f.sectors; ++j) printf("%s%u", j ? "," : "", f.at(r, f.drivers + j));
      printf("]");
    }
    printf("],\"totalDrive\":[");
    for (int r = 0; r < f.rows && f.totals; ++r) printf("%s%u", r ? "," : "", f.at(r, f.drivers + f.sectors));
    printf("]}");
    return;
  }
  printf("Frame %d (%d sensor x %d driver lines, %d sectors%s)\n", index + 1, f.rows, f.drivers, f.sectors,
         f.totals ? ", total drive" : "");
  for (int r = 0; r < f.rows; ++r) {
    for (int j = 0; j < f.width(); ++j)
      printf("%s %5u", (j == f.drivers || (f.totals && j == f.drivers + f.sectors)) ? " |" : "", f.at(r, j));
    printf("\n");
  }
}

bool writeCsv(const std::string& path, const Frame& f) {
  FILE* out = fopen(path.c_str(), "w");
  if (!out) return false;
  for (int r = 0; r < f.rows; ++r)
    for (int j = 0; j < f.width(); ++j) fprintf(out, "%u%s", f.at(r, j), j + 1 < f.width() ? "," : "\n");
  return fclose(out) == 0;
}

int run(const Options& o) {
  Controller c;
  if (int rc = openController(o.choice, "raw", &c)) return rc;
  PinNumberInfo pins{};
  RawCountBuffer buf{};
  if (!GetPinNumber(c.handle, &pins)) return commandFailed(c, "raw", "reading the pin counts");
  if (!GetRawCountBufferSize(c.handle, &buf)) return commandFailed(c, "raw", "sizing the frame");
  Frame f;
  f.rows = pins.sensorCount;
  f.drivers = pins.driverCount;
  f.sectors = buf.sectorValueCount > 0 ? pins.sectorCount : 0;
  f.totals = buf.totalDriveValueCount > 0;
  f.mutual.assign(size_t(std::max(buf.mutualValueCount, f.rows * f.drivers)) + 1, 0);
  f.sector.assign(size_t(std::max(buf.sectorValueCount, f.rows * f.sectors)) + 1, 0);
  f.total.assign(size_t(std::max(buf.totalDriveValueCount, f.rows)) + 1, 0);
  buf.mutualValues = f.mutual.data();
  buf.sectorValues = f.sector.data();
  buf.totalDriveValues = f.total.data();
  if (o.modeDiff >= 0 && !((buf.dataFlags & 0x02) && (buf.dataFlags & 0x10))) {
    EnableDiagMode(c.handle, 0);
    fprintf(stderr, "qztool raw: %s (%s) offers no mode differences\n", c.model.c_str(), c.path.c_str());
    return kRefused;
  }
  if (o.choice.json) printf("{\"sensors\":%d,\"drivers\":%d,\"sectors\":%d,\"totalDrive\":%s,\"kind\":\"%s\",\"frames\":[",
                            f.rows, f.drivers, f.sectors, f.totals ? "true" : "false",
                            o.baseline ? "baseline" : o.modeDiff >= 0 ? "mode-diff" : "raw");
  int rc = kOk;
  {
    Progress progress("reading frames", o.frames > 1 ? o.frames : 0);
    for (int i = 0; i < o.frames; ++i) {
      const bool ok = o.baseline ? GetBaseLine(c.handle, &pins, &buf)
                      : o.modeDiff >= 0 ? GetModeDiff(c.handle, &pins, &buf, o.modeDiff)
                                        : GetRawCount(c.handle, &pins, &buf);
      if (!ok) {
        rc = commandFailed(c, "raw", "reading frame " + std::to_string(i + 1));
        break;
      }
      progress.step();
      printTable(f, i, o.choice.json);
      if (!o.rawFile.empty() && !WriteRawCount(o.rawFile.c_str(), &pins, &buf)) {
        fprintf(stderr, "qztool raw: cannot append to %s\n", o.rawFile.c_str());
        rc = kFailure;
        break;
      }
    }
  }
  // Leave the controller as it was found: raw counts selected, out of the diagnostic mode.
  EnableDiagMode(c.handle, 0);
  if (o.choice.json) printf("]}\n");
  if (rc != kOk) return rc;
  if (!o.csv.empty() && !writeCsv(o.csv, f)) {
    fprintf(stderr, "qztool raw: cannot write %s\n", o.csv.c_str());
    return kFailure;
  }
  std::string why;
  if (!o.png.empty() && !writePng(o.png, f, &why)) {
    fprintf(stderr, "qztool raw: the picture %s %s\n", o.png.c_str(), why.c_str());
    return kFailure;
  }
  return kOk;
}

}  // namespace

void addRawCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("raw", "Read frames of raw counts (or baselines, or mode differences)");
  auto* o = optionStorage<Options>();
  addDeviceOptions(cmd, &o->choice);
  auto* kind = cmd->add_option_group("kind");
  kind->add_flag("--baseline", o->baseline, "baseline frames");
  kind->add_option("--mode-diff", o->modeDiff, "difference frames of frequency-hopping mode M")->check(CLI::Range(0, 255));
  kind->require_option(0, 1);
  cmd->add_option("--frames", o->frames, "number of frames (default 1)")->check(CLI::Range(1, 10000));
  cmd->add_option("--raw-file", o->rawFile, "append each frame as a \"[Raw]\" section of a raw-count file");
  cmd->add_option("--csv", o->csv, "write the last frame as comma-separated rows (mutual, sectors, total drive)");
  cmd->add_option("--png", o->png, "write the last frame as a heat-map picture");
  cmd->add_flag("--json", o->choice.json, "print JSON instead of tables (schema below)");
  cmd->footer(
      "Table: one row per sensor line: the driver lines' values | the sector values | the total drive.\n"
      "JSON: {\"sensors\",\"drivers\",\"sectors\",\"totalDrive\":bool,\"kind\":\"raw\"|\"baseline\"|\"mode-diff\",\n"
      "  \"frames\":[{\"index\",\"mutual\":[[drivers values] per sensor],\"sector\":[[sectors values] per sensor],\n"
      "  \"totalDrive\":[one per sensor]}]}\n"
      "PNG: 16x16 pixels per node, sensor lines as rows; sector and total-drive columns apart, each on\n"
      "  its own colour range; below, the colour scale (blue low, red high) with the mutual range.\n");
  cmd->callback([o, exitCode] { *exitCode = run(*o); });
}

}  // namespace qztool
