/*
 * qz/advanced.h: controller functions library (libQZ_ADVANCED.so) for Tarvanel KRX touch
 * controllers: firmware identity, parameter lists, raw data frames, panel and status
 * information, mode switches.
 *
 * The records below are shared with the data files library (qz/other.h includes this
 * header). They are plain C structs with fixed-width fields in a fixed order and natural
 * alignment; the caller owns every record and every array a record refers to. Texts are
 * 8-bit, zero-terminated within their capacity.
 *
 * Compiles as C99 and as C++.
 */
#ifndef QZ_ADVANCED_H
#define QZ_ADVANCED_H

#include <stdint.h>

#include "qz/basic.h" /* DeviceHandle */

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Records ======================================================================== */

/* Capacity of one firmware version text, terminator included. */
#define QZ_VERSION_TEXT_SIZE 50
/* Number of slave chips a record has room for. */
#define QZ_MAX_SLAVES 4

/* Version texts of the master and its slaves, filled by GetFWVersion. */
typedef struct FWVersionInfo {
  char masterVersion[QZ_VERSION_TEXT_SIZE];                 /* version text of the master */
  char slaveVersion[QZ_MAX_SLAVES][QZ_VERSION_TEXT_SIZE];   /* slaves 1 to 4; first slaveCount written */
  int32_t masterShortForm;                                  /* 1: masterVersion is the short form */
  int32_t slaveShortForm[QZ_MAX_SLAVES];                    /* the same for each slave written */
  int32_t slaveCount;                                       /* slave chips: chip count minus 1 */
} FWVersionInfo;

/* Numeric identity of the master with its panel and sensor figures, filled by GetFWInfo. */
typedef struct FWInfo {
  char modelText[20];       /* "QZ%d" or "QZ%d%c": model number and model letter */
  int32_t versionMajor;     /* firmware version, first number */
  int32_t versionMinor;     /* firmware version, second number */
  int32_t buildNumber;      /* firmware build number, 0 to 65535 */
  char releaseSuffix[5];    /* release mark, possibly empty */
  float panelSize;          /* panel diagonal in inches, one decimal */
  float coverLens;          /* cover lens thickness in millimetres, one decimal */
  int32_t sensorPinNumber;  /* number of sensor lines */
  int32_t driverPinNumber;  /* number of driver lines */
} FWInfo;

/* Which parameter lists a parameter image holds and how long each is (6 bytes). */
typedef struct ParaListInfo {
  uint8_t sections;     /* bit 7 application, 6 boot, 5 debug, 3..0 slaves 1 to 4 */
  uint8_t addressing;   /* 0 flat addressing, other values sectioned addressing */
  uint8_t apLength;     /* bytes in the application list */
  uint8_t bootLength;   /* bytes in the boot list */
  uint8_t debugLength;  /* bytes in the debug list */
  uint8_t slaveLength;  /* bytes in each slave's list */
} ParaListInfo;

/* Panel-size and cover-lens selection of the controller (4 bytes), filled by GetPanelInfo. */
typedef struct PanelInfo {
  uint8_t panelSizeCode;   /* selected panel-size entry (parameter index 0x3A) */
  uint8_t panelSizeCount;  /* number of panel-size entries the controller holds */
  uint8_t coverLensCode;   /* selected cover-lens entry (parameter index 0x3B) */
  uint8_t coverLensCount;  /* number of cover-lens entries */
} PanelInfo;

/* Decoded parameter values of a settings dialog (GetParaUISetting, UpdateParaUISetting). */
typedef struct ParaUISetting {
  uint8_t boot4Span;            /* span read with boot byte 4; halved into boot4Value */
  uint8_t boot4Value;           /* boot byte 4 plus half the span */
  uint8_t nibbleHigh[4];        /* bits 7..4 of application bytes 0x34 to 0x37 */
  uint8_t nibbleLow[4];         /* bits 3..0 of application bytes 0x34 to 0x37 */
  int32_t capabilityFlags[6];   /* bits 7, 6, 3, 2, 1, 0 of the chip capability byte, 0 or 1 */
  uint8_t interfaceSetting;     /* bits 1..0 host interface, bits 3..2 from boot byte 0 */
  int32_t baudRate;             /* serial line rate: 115200, 57600, 38400, 19200; 0 for another code */
  uint8_t selection;            /* chosen entry of the feature selection */
  uint8_t selectionCount;       /* number of entries of the feature selection */
  uint8_t rangeMax;             /* upper bound of rangeValue (0 without a range) */
  uint8_t rangeMin;             /* lower bound of rangeValue (0xFF without a range) */
  uint8_t rangeExtra;           /* companion value of the range */
  uint8_t rangeValue;           /* ranged value, clamped when written back */
  PanelInfo panel;              /* panel-size and cover-lens selection */
  int32_t orientation;          /* rotation in degrees, 360 added for mirrored variants */
  uint8_t boot3Bit7;            /* 1: bit 7 of boot byte 3 clear, 0: set, 0xFF: not available */
  uint8_t featureKind;          /* 1, 2 or 3: how the feature selection is stored */
} ParaUISetting;

/* Dimensions of the sensor grid, filled by GetPinNumber. */
typedef struct PinNumberInfo {
  uint8_t sensorCount;        /* sensor lines; rows of a frame */
  uint8_t driverCount;        /* driver lines; mutual values per row */
  uint8_t sectorCount;        /* sector values per row */
  uint8_t masterSensorCount;  /* sensor lines served by the master chip */
  uint8_t slaveSensorCount;   /* sensor lines served by slave chips */
  int32_t sensorFirst;        /* 1: the controller reported the sensor count first */
} PinNumberInfo;

/* One frame of 16-bit values in three caller-owned arrays, with their counts. */
typedef struct RawCountBuffer {
  int32_t bulkTransfer;          /* 1: frames come in one bulk transfer */
  uint8_t dataFlags;             /* bit 1 baseline, bits 1+4 mode differences, 2/3 totals/sectors left out */
  uint16_t* mutualValues;        /* receives mutualValueCount values, row by row */
  uint16_t* sectorValues;        /* receives sectorValueCount values, row by row */
  uint16_t* totalDriveValues;    /* receives totalDriveValueCount values, one per row */
  int32_t mutualValueCount;      /* sensorCount x driverCount */
  int32_t sectorValueCount;      /* sensorCount x sectorCount, 0 when left out */
  int32_t totalDriveValueCount;  /* sensorCount, 0 when left out */
} RawCountBuffer;

/* ==== Exports of libQZ_ADVANCED.so ==================================================== */
/* Conventions: the first argument is the DeviceHandle of an opened controller (from
 * libQZ_BASIC.so, which this library uses as already loaded in the process, else loads, so
 * both see one device table). Results are non-zero on success, 0 on failure; a failing
 * command ends the call with 0 and outputs written before it keep their values. NULL
 * record or buffer pointers, or a command function missing from libQZ_BASIC.so, give 0
 * with nothing sent. State is process-wide and unguarded: one thread at a time. */

/* Firmware identity */

/* Sends ED, EF (not to a 2K controller with the short-form marker), EE, EB; for slaves the
 * master's addressed queries (ED/EE/EB F0+n) or, with scanning paused 50 ms, F4 n 1 per
 * slave and F4 0 0 and F1 at the end. Writes the version texts ("QZ%d%s%s.%d.%d" short form,
 * "QZ%d%s%s.%d.%d.%d Boot : %d.%d %s" long form), the flags and slaveCount (at most 4).
 * 0 at the first failing command; a failure while a slave is selected still releases the
 * slaves and restarts scanning before returning. */
QZ_EXPORT int32_t GetFWVersion(DeviceHandle handle, FWVersionInfo* info);
/* Sends EE, ED, E0 3A (3B), E3 1 code 2, E3 2 code 0, E5 1. Writes the model text, version,
 * build, suffix ("D%02d" for 1-199, ".A%02d", ".T", ".T%d"), panel size, cover lens and
 * pin counts. 0 at the first failing command. */
QZ_EXPORT int32_t GetFWInfo(DeviceHandle handle, FWInfo* info);
/* E0 00 3E: writes the parameter version. 0 when refused. */
QZ_EXPORT int32_t GetParameterVersion(DeviceHandle handle, uint8_t* version);
/* E0 00 (bits 15..8 of selector): writes reply byte (bits 1..0 of selector) + 1, so 0xF003
 * is KRXM_FLAG and 0xF002 KRXM_STAT. 0 when refused. */
QZ_EXPORT int32_t GetFirmwareFlag(DeviceHandle handle, uint32_t selector, uint8_t* value);

/* Parameter lists */

/* Sends EF, E0 00 FB (sectioned controllers answer the four lengths), else E0 00 80 to probe
 * the debug list. Writes sections (one slave bit per slave from bit 3 down), addressing and
 * lengths; a chip count of 0 counts as one chip. 0 when EF fails. */
QZ_EXPORT int32_t GetParaListInfo(DeviceHandle handle, ParaListInfo* info);
/* Reads the lists selected by info->sections with E0 into image, packed back to back
 * (application, boot, debug, slaves 1..4). Slave lists pause scanning 50 ms, select each
 * slave with F4 n 1, then F4 0 0 and F1. image needs room for the selected lengths.
 * 0 at the first failing command (a failure with a slave selected still releases it and
 * restarts scanning). */
QZ_EXPORT int32_t GetParaList(DeviceHandle handle, const ParaListInfo* info, uint8_t* image);
/* Writes the master's selected lists from image: pause, F7 1, E1 per byte (E6 00 AA after
 * the boot list when boot byte 4 changed), EA 0 / EA AA to store application and boot list
 * (the debug list is written, not stored), F7 0, resume. Slave bits are ignored.
 * 0 at the first failing command; nothing is undone. */
QZ_EXPORT int32_t SetParaList(DeviceHandle handle, const ParaListInfo* info, const uint8_t* image);
/* EA 00 (which != 0: application list) or EA AA (boot list), twice: stores the list.
 * 0 when refused. */
QZ_EXPORT int32_t FlushParameter(DeviceHandle handle, int32_t which);
/* F7 1, EC 00 (which != 0) or EC AA, F7 0: reloads the list's defaults. 0 when one fails. */
QZ_EXPORT int32_t ReloadDefaultParameter(DeviceHandle handle, int32_t which);

/* Parameter UI settings */

/* Reads the record with E0 43, E6 0 0, E0 34..37, EF, E0 F0, 40, F4, (F7, 45), E6 1 0
 * (E6 1 1), GetPanelInfo, E0 0E, F4. A refused F4 or F7 read or a missing range takes its
 * default; any other failing command gives 0. baudRate is 0 for a code without a rate. */
QZ_EXPORT int32_t GetParaUISetting(DeviceHandle handle, ParaUISetting* ui);
/* Sends nothing (handle unused): writes ui into the parameter image laid out by info at
 * the settings' positions, skipping any that fall outside its list; clamps ui->rangeValue
 * in place. 1, or 0 for a NULL pointer. */
QZ_EXPORT int32_t UpdateParaUISetting(DeviceHandle handle, ParaUISetting* ui,
                                      const ParaListInfo* info, uint8_t* image);

/* Raw data */

/* E5 1, EF, and E5 2 for a controller with slaves: writes the sensor, driver and sector
 * counts. 0 at the first failing command. */
QZ_EXPORT int32_t GetPinNumber(DeviceHandle handle, PinNumberInfo* pins);
/* As GetPinNumber, then F9 0 0 0 (leaves the diagnostic mode; data flags) and ChkFACmd
 * (bulk transfer available). Writes bulkTransfer, dataFlags and the three counts, not the
 * array pointers. 0 when a command before ChkFACmd fails. */
QZ_EXPORT int32_t GetRawCountBufferSize(DeviceHandle handle, RawCountBuffer* buffer);
/* F9 0 C0 1 (a fresh frame), then status polls F9 0 80 1 every 50 ms until reply bytes 1
 * and 2 agree (at most 100 polls) or, when the first reply byte 3 is 0, a 500 ms wait;
 * then reads the frame (bulk or E8 pairs) into the buffer's arrays, no more values than
 * their counts. 0 when a command fails or the frame never gets ready. */
QZ_EXPORT int32_t GetRawCount(DeviceHandle handle, const PinNumberInfo* pins, RawCountBuffer* buffer);
/* Baseline frame: pauses scanning 100 ms when slaves serve sensor lines, selects baseline
 * data (F9 AA 0 0, 50 ms) when data flag bit 1 is set, reads the frame, resumes. 0 when a
 * command fails. */
QZ_EXPORT int32_t GetBaseLine(DeviceHandle handle, const PinNumberInfo* pins, RawCountBuffer* buffer);
/* Mode-difference frame of frequency-hopping mode (low byte of mode): F9 AA 0 mode, 50 ms,
 * the frame. 0 with nothing sent unless data flags bits 1 and 4 are both set. */
QZ_EXPORT int32_t GetModeDiff(DeviceHandle handle, const PinNumberInfo* pins, RawCountBuffer* buffer,
                              int32_t mode);
/* E0 00 16 (and E0 00 17 unless the reply carried both): writes the two scan counts.
 * 0 when refused. */
QZ_EXPORT int32_t GetScanCount(DeviceHandle handle, uint32_t* first, uint32_t* second);

/* Panel and status */

/* E0 00 3A (3B) and E3 0 0 0: writes codes and table lengths. 0 when one fails. */
QZ_EXPORT int32_t GetPanelInfo(DeviceHandle handle, PanelInfo* panel);
/* E3 1 code 0/1/2: writes text[40] = eight name characters (0 as blank), a blank, the
 * diagonal ("15.6\""), and " (W)" for a wide-screen panel. 0 (text untouched) on failure. */
QZ_EXPORT int32_t GetPanelSizeInfo(DeviceHandle handle, int32_t code, char* text);
/* E3 2 code 0: writes text[40] = "AFFF", "%d.%d mm %s" or "%d.%d ~ %d.%d mm %s" with the
 * material Glass, PMMA or nothing. 0 (text untouched) on failure. */
QZ_EXPORT int32_t GetCoverLensInfo(DeviceHandle handle, int32_t code, char* text);
/* E0 00 F0, E0 00 F1: writes flags[4] = KRXM_FLAG, KRXM_STAT, KRXM_STAT2, KRXM_DIAG.
 * 0 when one fails (bytes read before stay). */
QZ_EXPORT int32_t GetStateFlag(DeviceHandle handle, uint8_t* flags);
/* E0 00 F4: writes flags[4] = feature flags 1 to 4. 0 when refused. */
QZ_EXPORT int32_t GetFeatureFlag(DeviceHandle handle, uint8_t* flags);
/* E0 00 00, 33, 40, 43, 4E: writes flags[5] in this order. 0 at the first refusal. */
QZ_EXPORT int32_t GetParameterFlag(DeviceHandle handle, uint8_t* flags);
/* E0 00 01, E0 00 02 (03): writes thresholds[3]. 0 at the first refusal. */
QZ_EXPORT int32_t GetThreshold(DeviceHandle handle, uint32_t* thresholds);

/* Mode control */

/* on != 0: F1 00 00 00 01 (touch data report on); else F0 ... 01. The command's result. */
QZ_EXPORT int32_t EnableDataReport(DeviceHandle handle, int32_t on);
/* on != 0: F1 00 00 00 00 (scanning on); else F0 ... 00. The command's result. */
QZ_EXPORT int32_t EnablePCAPScan(DeviceHandle handle, int32_t on);
/* on != 0: F9 0 80 1 (diagnostic mode on); else F9 0 0 0. Always 0. */
QZ_EXPORT int32_t EnableDiagMode(DeviceHandle handle, int32_t on);
/* F7 1, E1 00 4E value, F7 0: writes the diagnostic scan skip value. 0 when one fails. */
QZ_EXPORT int32_t SetDiagScanSkip(DeviceHandle handle, uint32_t value);
/* SendFF: the addressed chip enters its boot loader. The command's result. */
QZ_EXPORT int32_t EnterBootMode(DeviceHandle handle);
/* F4 n 1 (the slave stays selected), then SendFF. 0 when either fails; nothing more is
 * sent after a failed selection. */
QZ_EXPORT int32_t EnterSlaveBootMode(DeviceHandle handle, int32_t slave);
/* F5 00 ((mode - 16) mod 256): 1 only when it succeeds and reply byte 4 equals the low
 * byte of mode. */
QZ_EXPORT int32_t SetFreqHopMode(DeviceHandle handle, int32_t mode);
/* F5 00 0F (the probe): writes 1 when accepted, 0 when refused. Always 1 (0 only for a
 * NULL pointer or a missing command function). */
QZ_EXPORT int32_t IsFreqHop(DeviceHandle handle, int32_t* hasFreqHop);
/* SendFE: resets the controller's microprocessor. The command's result. */
QZ_EXPORT int32_t ResetMPU(DeviceHandle handle);
/* FC bytes[0..3]: non-zero only when the controller echoes the four bytes unchanged. */
QZ_EXPORT int32_t QZEcho(DeviceHandle handle, const uint8_t* bytes);
/* E0 00 F2: writes the live-test value. 0 (value untouched) when refused. */
QZ_EXPORT int32_t QZLiveTest(DeviceHandle handle, uint8_t* value);


#ifdef __cplusplus
}
#endif

#endif /* QZ_ADVANCED_H */
