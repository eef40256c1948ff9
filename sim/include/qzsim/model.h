// The controller model of the simulator: a description of a KRX controller as plain data,
// and the controller itself as a class that takes five-byte commands and answers them.
// No I/O happens here; the transports of simulator.h wrap one model each.
//
// A description is meant to be copied and changed one field at a time:
//   qzsim::Controller c;          // one-chip KRXM controller, product id 7480, model QZ4321A
//   c.chips.push_back({});        // ... now with one slave
//   c.blockSize = 7;              // ... and an odd bulk block size
#pragma once
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qzsim {

// One command or reply: opcode (or 0xAA for a refusal) and four bytes.
using Packet = std::array<uint8_t, 5>;

enum class Family : uint8_t { Krxm = 0, TwoK = 1 };

// One chip of the controller: the master (chips[0]) or a slave.
struct Chip {
  uint16_t modelNumber = 4321;  // sent as it stands; bit 15 may be set
  uint8_t modelLetter = 1;      // letter code: 1 = 'A', 2 = 'B', 0 = no letter
  uint8_t major = 2;            // firmware version major.minor
  uint8_t minor = 5;
  uint8_t releaseCode = 3;      // 0 none, 1..199 D, 200..249 A, 250..255 T
  uint16_t build = 120;         // build number
  bool shortForm = false;       // the build field carries the short-form marker 55 AA instead
  uint8_t bootMajor = 1;        // boot loader version and letter code
  uint8_t bootLetter = 0;
  uint8_t bootMinor = 0;
  uint8_t sensorLines = 0;      // slave chips: sensor lines they serve
  // Slave chips: their own parameter list (read and written while the slave is selected).
  std::vector<uint8_t> parameters = std::vector<uint8_t>(32);
};

// Parameter lists of the master.
struct Parameters {
  // false: one flat byte index (application 0x00.., boot 0x40.., debug 0x80..; index 0xFB
  // and the list selectors refused). true: each list by its selector (0x80 application,
  // 0x90 boot, 0xA0 debug) and index 0xFB reports the four lengths; flat indices keep
  // working. Any other selector is ignored: the index is read as a flat one.
  bool sectioned = false;
  // Reads answer two values (reply byte 1 = 1, reply byte 3 = the next index's value) when
  // the next index lies in the same list.
  bool pairedReads = false;
  // true: writes (E1) and default reloads (EC) are refused unless a change is open
  // (F7 00 00 00 01 until F7 00 00 00 00).
  bool requireOpen = false;
  std::vector<uint8_t> application = std::vector<uint8_t>(64);
  std::vector<uint8_t> boot = std::vector<uint8_t>(16);
  std::vector<uint8_t> debug = std::vector<uint8_t>(16);  // empty: no debug list
  uint8_t boot4Span = 0x20;   // E6 00 00: reply byte 4 (reply byte 3 is boot byte 4)
  bool hasRange = true;       // E6 00 01 00 00 answers 55 in reply byte 2
  uint8_t rangeMin = 10;      // E6 00 01: reply bytes 3 and 4
  uint8_t rangeMax = 40;
  uint8_t rangeExtra = 0;     // E6 01 01: reply byte 3 (reply byte 4 is application 0x1F)
};

// Status and feature registers read through E0 00 F0..FB.
struct Status {
  uint8_t flag = 0x00;   // KRXM_FLAG; bit 0 is replaced by the live scanning state
  uint8_t stat = 0x00;   // KRXM_STAT; bits 5..4 host interface
  uint8_t stat2 = 0x00;  // KRXM_STAT2
  uint8_t diag = 0x00;   // KRXM_DIAG
  uint8_t liveTest = 0x5A;                            // index 0xF2
  std::array<uint8_t, 4> features = {0x02, 0x40, 0x00, 0x00};  // index 0xF4
  uint8_t selectionCount = 5;                         // index 0xF7; 0 = refused
};

// Frequency hopping (F5). Without it every F5 is refused.
struct Hopping {
  bool present = true;
  uint8_t modeCount = 3;
  uint8_t frequencyCount = 2;
  uint8_t current = 0x00;       // bits 7..2 frequency index, bits 1..0 mode (F5 00 0F)
  uint8_t abnormalScan = 0x01;  // F5 00 0E
  bool hasAbnormalLevel = true; // F6 06 01 answers the level (else FF FF)
  uint8_t abnormalLevel = 3;
};

// The sensor grid and the frames it hands out (E8 pairs or bulk blocks after F9 selection).
struct Sensor {
  uint8_t sensorLines = 12;     // rows of a frame
  uint8_t driverLines = 16;     // mutual values per row
  uint8_t sectors = 2;          // sector values per row (then one total-drive value)
  bool driverFirst = false;     // E5 00 00 00 01 reports the driver count first (bit 0 of r4)
  uint8_t dataFlags = 0x12;     // F9 00 00 00 00 reply byte 3
  uint16_t baseline = 3000;     // baseline level of every mutual value
  uint16_t noise = 0;           // raw counts vary by up to +-noise (deterministic per seed)
  uint32_t seed = 1;
  uint16_t readyAfterPolls = 1; // status polls (F9 00 00 80 01) until a fresh frame is ready
  bool touch = false;           // a touch blob lowers the raw counts around (row, column)
  float touchRow = 5.0f;
  float touchColumn = 7.0f;
  float touchRadius = 2.0f;
  uint16_t touchDepth = 400;
};

struct PanelEntry {
  std::array<char, 8> name = {'S', 'I', 'M', 'P', 'A', 'N', 'E', 'L'};  // 0 shows as a blank
  uint8_t inches = 0x15;     // whole inches, two BCD digits
  uint8_t tenthsWide = 0x60; // bits 7..4 tenths, bit 0 wide screen
};

struct CoverLensEntry {
  uint8_t thickness = 0x11;      // bits 7..4 mm, 3..0 tenths
  uint8_t maxThickness = 0xFF;   // 0xFF: a single thickness
  char material = 'G';           // A/a AFFF, G/g glass, P/p PMMA
};

// Opcodes refused by default: everything below 0xD0 (the catalogue lives in D0..FF).
std::bitset<256> defaultRefused();

// A whole controller.
struct Controller {
  Family family = Family::Krxm;
  uint16_t vendorId = 0x7a3d;
  uint16_t productId = 0x7480;  // printed with %04x, so 0x7413 reads as "7413"
  std::string tail = "sim0";    // HID socket name tail
  std::string socketName;       // HID socket name used verbatim when not empty
  int reportId = -1;            // -1: 1 for product ids 7413 and 7416, else 0; 0 or 1 forces it
  std::vector<Chip> chips = std::vector<Chip>(1);  // master first, then up to four slaves
  // The master answers EE/ED/EB F0+n for slave n itself; EE F0 right after EF answers 55 AA.
  bool addressedQueries = false;
  Parameters parameters;
  Status status;
  Hopping hopping;
  Sensor sensor;
  std::vector<PanelEntry> panels = std::vector<PanelEntry>(2);
  std::vector<CoverLensEntry> coverLenses = std::vector<CoverLensEntry>(2);
  std::array<uint8_t, 3> efBytes = {0x00, 0x00, 0x00};  // EF reply bytes 2..4 (capabilities)
  uint32_t e7Value = 0x01020304;     // KRXM: E7 reply, most significant byte first
  uint32_t d2Size = 64;              // D2 reply bytes 1..3 (low first)
  uint8_t d2Wait = 0;                // D2 reply byte 4
  uint16_t d3Size = 64;              // D3 reply bytes 1..2 (low first)
  std::array<uint8_t, 4> d4Reply = {0x00, 0x00, 0x00, 0x00};  // D4 reply bytes 1..4
  uint16_t blockSize = 64;           // FA reply bytes 1..2 (low first); 0 means 8-byte blocks
  std::array<int32_t, 3> driverVersion = {2, 4, 0};  // device objects: major, minor, third
  std::bitset<256> refused = defaultRefused();       // opcodes answered with 0xAA

  // A 2K-family controller: product id 2150, one chip, model QZ2150 without a letter.
  static Controller twoK();
  // The report id its HID reports carry (0 or 1).
  int effectiveReportId() const;
  // The HID socket name: socketName, or "hid#vid_%04x&pid_%04x#<tail>".
  std::string hidSocketName() const;
};

// What a frame delivers after F9 selection.
enum class DataSelection : uint8_t { RawCounts, Baseline, ModeDiff };

// Live state of a model, as the tests see it.
struct ModelState {
  bool scanning = true;          // projected-capacitive scanning (F0/F1 ... 00)
  bool reporting = true;         // touch data report (F0/F1 ... 01)
  int selectedSlave = -1;        // F4 00 n 00 01; -1 when the master answers for itself
  bool changeOpen = false;       // F7 ... 01 until F7 ... 00
  bool repliesOff = false;       // between D0 and D1
  bool bulkActive = false;       // between an answered FA and the next command
  int bootChip = -1;             // chip in its boot loader (0 master), -1 none
  bool diagnostic = false;       // F9 diagnostic mode
  DataSelection selection = DataSelection::RawCounts;
  uint8_t modeDiff = 0;          // mode of a ModeDiff selection
  uint8_t hopSetting = 0;        // last F5 mode setting (argument + 16)
  uint32_t resets = 0;           // FE sequences taken
  uint32_t applicationStores = 0;  // EA 00 00 taken
  uint32_t bootStores = 0;         // EA 00 AA taken
  uint32_t d4Confirmations = 0;    // D4 r1 AA r3 r4 taken
  uint32_t quietCommands = 0;      // commands taken while replies were off
  uint8_t quietSum = 0;            // 8-bit sum of their bytes
};

// The controller: takes one command at a time. Not thread-safe; the simulator locks it.
class ControllerModel {
 public:
  explicit ControllerModel(Controller desc = {});

  // Takes one command and updates the state. Returns true and writes *reply when the
  // controller answers it; false while replies are switched off (after D0, until D1).
  // A refused command is answered AA followed by bytes 1..4 of the command.
  bool command(const Packet& cmd, Packet* reply);

  // Bulk transfer: after an answered FA every block read takes the next block.
  bool bulkActive() const { return state_.bulkActive; }
  // Bytes in one block as delivered: the announced block size, 8 when it is 0.
  size_t blockBytes() const;
  // Writes the next block (blockBytes() bytes: 16-bit values low byte first, an odd last
  // byte 0) into out and returns blockBytes(); when cap is smaller only cap bytes are
  // written (the block is still consumed). Values past the end of the data are 0.
  size_t nextBlock(uint8_t* out, size_t cap);
  // Values the bulk blocks carry instead of the sensor frame; empty: the selected frame.
  void setBulkValues(std::vector<uint16_t> values);

  // The frame of the current selection, rows of driver + sector + 1 values.
  std::vector<uint16_t> frame() const;
  // One frame value by row and position of the current selection (0 outside the grid).
  uint16_t frameValue(unsigned row, unsigned position) const;

  const ModelState& state() const { return state_; }
  // The description, changeable at run time (D2 reply, block size, versions, ...).
  Controller& desc() { return desc_; }
  const Controller& desc() const { return desc_; }

 private:
  Controller desc_;
  ModelState state_;
  std::vector<uint16_t> bulkValues_;
  std::vector<uint16_t> frame_;      // frame taken at the last selection or fresh request
  size_t bulkPos_ = 0;               // next value of the running transfer
  uint32_t frameSerial_ = 0;         // fresh frames requested
  uint32_t pollsLeft_ = 0;           // status polls until the fresh frame is ready
  Packet last_{};                    // the command taken before this one
  // Working copies and stored (non-volatile) copies of the master's lists.
  std::vector<uint8_t> storedApplication_, storedBoot_;
  std::vector<uint8_t> defaultApplication_, defaultBoot_;

  bool handle(const Packet& cmd, Packet* reply);
  bool readParameter(const Packet& cmd, Packet* reply);
  bool writeParameter(const Packet& cmd);
  std::vector<uint8_t>* listFor(uint8_t selector, uint8_t index, size_t* offset);
  const Chip* addressedChip(uint8_t arg) const;
  void takeFrame();
  std::vector<uint16_t> computeFrame() const;
  void reset();
};

}  // namespace qzsim
