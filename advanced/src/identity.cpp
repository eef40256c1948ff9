// Firmware identity: version texts of the master and its slaves, the compact identity of
// the master, and two single values.
#include <cstring>

#include "bindings.h"
#include "text.h"

using namespace qz::adv;

namespace {

constexpr int kMaxSlaves = 4;
constexpr uint16_t kSlaveMarker = 0xAA55;  // build field 55 AA, low byte first

// Release mark of a version text.
void versionSuffix(char (&out)[10], uint8_t code) {
  if (code == 0)
    out[0] = '\0';
  else if (code <= 199)
    formatInto(out, ".D%02d", code);
  else if (code <= 249)
    formatInto(out, ".A%02d", code - 199);
  else if (code == 250)
    formatInto(out, ".T");
  else
    formatInto(out, ".T%d", code - 250);
}

// Release mark of FWInfo: like the version text's, without the dot for D codes.
void infoSuffix(char (&out)[5], uint8_t code) {
  if (code >= 1 && code <= 199) {
    formatInto(out, "D%02d", code);
    return;
  }
  char text[10];
  versionSuffix(text, code);
  formatInto(out, "%s", text);
}

int bcd(uint8_t x) { return (x >> 4) * 10 + (x & 0x0F); }

struct Identity {
  uint16_t model = 0;
  uint8_t major = 0, letter = 0, minor = 0, release = 0;
  uint16_t build = 0;
};

void shortForm(char (&out)[50], const Identity& id) {
  char letter[3], suffix[10];
  letterText(letter, id.letter);
  versionSuffix(suffix, id.release);
  formatInto(out, "QZ%u%s%s.%u.%u", unsigned(id.model), letter, suffix, unsigned(id.major), unsigned(id.minor));
}

void longForm(char (&out)[50], const Identity& id, uint8_t bootMajor, uint8_t bootLetter, uint8_t bootMinor) {
  char letter[3], suffix[10], bootLetterText[3], boot[20];
  letterText(letter, id.letter);
  versionSuffix(suffix, id.release);
  letterText(bootLetterText, bootLetter);
  formatInto(boot, "Boot : %u.%u %s", unsigned(bootMajor), unsigned(bootMinor), bootLetterText);
  formatInto(out, "QZ%u%s%s.%u.%u.%u %s", unsigned(id.model), letter, suffix, unsigned(id.major),
             unsigned(id.minor), unsigned(id.build), boot);
}

// While slaves are read through the master's selection, scanning is paused and one slave
// may be selected. A failure on the way still gives the master back and restarts
// scanning, so the following calls do not reach a slave or find the panel dead.
struct SlaveSession {
  DeviceHandle h;
  bool active = false;
  bool wasScanning = false;
  bool selected = false;

  void abandon() {
    if (!active) return;
    active = false;
    if (selected) releaseSlaves(h);
    resumeScanning(h, wasScanning);
  }
  bool finish() {
    active = false;
    if (!releaseSlaves(h)) {
      resumeScanning(h, wasScanning);
      return false;
    }
    return resumeScanning(h, wasScanning);
  }
};

int32_t readFWVersion(DeviceHandle h, FWVersionInfo* out, SlaveSession& session) {
  const auto& b = g_basic;
  Identity master;
  if (!b.SendED(h, &master.minor, &master.release, &master.build)) return 0;
  int32_t is2K = 0;
  if (!b.IsQZ2K(h, &is2K)) return 0;
  const uint16_t masterMarker = is2K ? 0x55AA : kSlaveMarker;
  out->masterShortForm = master.build == masterMarker ? 1 : 0;

  int slaves = 0;
  if (!(out->masterShortForm && is2K)) {
    uint8_t chips, x1, x2, x3;
    if (!b.SendEF(h, &chips, &x1, &x2, &x3)) return 0;
    // No chip count counts as one chip; the record holds four slaves.
    slaves = chips > 1 ? chips - 1 : 0;
    if (slaves > kMaxSlaves) slaves = kMaxSlaves;
  }
  out->slaveCount = slaves;

  bool addressed = false;
  if (!out->masterShortForm && slaves > 0) {
    uint16_t model;
    uint8_t x1, x2;
    if (!b.NewSlvEE(h, 0, &model, &x1, &x2)) return 0;
    if (model == kSlaveMarker) {
      addressed = true;  // the master answers for each slave itself
    } else {
      if (!pauseScanning(h, kSettleMs, &session.wasScanning)) return 0;
      session.active = true;
    }
  }

  if (!b.SendEE(h, &master.model, &master.major, &master.letter)) return 0;

  if (out->masterShortForm) {
    shortForm(out->masterVersion, master);
    // No slave is read here; the entries the count promises are left empty, not stale.
    for (int n = 0; n < slaves; ++n) {
      out->slaveVersion[n][0] = '\0';
      out->slaveShortForm[n] = 0;
    }
    return 1;
  }

  uint8_t bootMajor, bootLetter, bootMinor, unused;
  if (!b.SendEB(h, &bootMajor, &bootLetter, &bootMinor, &unused)) return 0;
  longForm(out->masterVersion, master, bootMajor, bootLetter, bootMinor);

  for (int n = 0; n < slaves; ++n) {
    if (!addressed) {
      session.selected = true;
      if (!selectSlave(h, n)) return 0;
    }
    Identity slave;
    int ok = addressed ? b.NewSlvED(h, n, &slave.minor, &slave.release, &slave.build)
                       : b.SendED(h, &slave.minor, &slave.release, &slave.build);
    if (!ok) return 0;
    out->slaveShortForm[n] = slave.build == kSlaveMarker ? 1 : 0;
    ok = addressed ? b.NewSlvEE(h, n, &slave.model, &slave.major, &slave.letter)
                   : b.SendEE(h, &slave.model, &slave.major, &slave.letter);
    if (!ok) return 0;
    slave.model &= 0x7FFF;  // set when a slave answers through the master
    if (out->slaveShortForm[n]) {
      shortForm(out->slaveVersion[n], slave);
      continue;
    }
    ok = addressed ? b.NewSlvEB(h, n, &bootMajor, &bootLetter, &bootMinor, &unused)
                   : b.SendEB(h, &bootMajor, &bootLetter, &bootMinor, &unused);
    if (!ok) return 0;
    longForm(out->slaveVersion[n], slave, bootMajor, bootLetter, bootMinor);
  }

  if (session.active) return session.finish() ? 1 : 0;
  return 1;
}

}  // namespace

extern "C" {

QZ_EXPORT int32_t GetFWVersion(DeviceHandle h, FWVersionInfo* out) {
  const auto& b = g_basic;
  if (!out || !bound(b.SendED, b.IsQZ2K, b.SendEF, b.NewSlvEE, b.NewSlvED, b.NewSlvEB, b.SendE0, b.SendF0,
                     b.SendF1, b.SendF4, b.SendEE, b.SendEB))
    return 0;
  SlaveSession session{h};
  int32_t result = readFWVersion(h, out, session);
  session.abandon();
  return result;
}

QZ_EXPORT int32_t GetFWInfo(DeviceHandle h, FWInfo* out) {
  const auto& b = g_basic;
  if (!out || !bound(b.SendEE, b.SendED, b.SendE0, b.SendE3, b.SendE5)) return 0;
  Identity id;
  if (!b.SendEE(h, &id.model, &id.major, &id.letter)) return 0;
  if (!b.SendED(h, &id.minor, &id.release, &id.build)) return 0;
  if (id.letter != 0)
    formatInto(out->modelText, "QZ%u%c", unsigned(id.model), char(uint8_t(id.letter + 64)));
  else
    formatInto(out->modelText, "QZ%u", unsigned(id.model));
  out->versionMajor = id.major;
  out->versionMinor = id.minor;
  out->buildNumber = id.build;
  infoSuffix(out->releaseSuffix, id.release);

  uint8_t panelCode, lensCode;
  if (!readPair(h, 0x3A, &panelCode, &lensCode)) return 0;
  uint8_t r[4];
  if (!b.SendE3(h, 1, panelCode, 2, r)) return 0;
  out->panelSize = float((bcd(r[0]) * 10 + (r[1] >> 4)) / 10.0);
  if (!b.SendE3(h, 2, lensCode, 0, r)) return 0;
  out->coverLens = float(bcd(r[0]) / 10.0);
  if (!b.SendE5(h, 1, r)) return 0;
  if (r[3] & 0x01) {
    out->driverPinNumber = r[0];
    out->sensorPinNumber = r[1];
  } else {
    out->sensorPinNumber = r[0];
    out->driverPinNumber = r[1];
  }
  return 1;
}

QZ_EXPORT int32_t GetParameterVersion(DeviceHandle h, uint8_t* version) {
  if (!version || !bound(g_basic.SendE0)) return 0;
  return readIndex(h, 0x3E, version) ? 1 : 0;
}

QZ_EXPORT int32_t GetFirmwareFlag(DeviceHandle h, uint32_t selector, uint8_t* value) {
  if (!value || !bound(g_basic.SendE0)) return 0;
  uint8_t r[4];
  if (!g_basic.SendE0(h, 0, (selector >> 8) & 0xFF, r)) return 0;
  *value = r[selector & 0x03];
  return 1;
}

}  // extern "C"
