/*
 * qz/other.h: data files library (libQZ_OTHER.so) for Tarvanel KRX touch controllers:
 * device arrival and removal notification, parameter files, firmware package files, test
 * result files and golden sample files.
 *
 * Conventions for every export:
 *  - Results are int32_t: 1 for success, 0 for failure, unless a line says otherwise.
 *  - Paths are 8-bit texts with '/' as separator; a null path, or one of 260 characters or
 *    more, fails (0) before any file is touched.
 *  - Text files are written as the Windows tools write them: every line feed stored as
 *    CR LF, numbers in the C locale whatever the process locale is. Readers drop a CR
 *    before LF and parse numbers in the C locale.
 *  - Output files are created by "OpenForWrite": when the path has a directory part, that
 *    one directory level is created first (a failure there is ignored; the open decides).
 *  - A writer returns 0 also when a write or the close fails (disk full), and leaves no
 *    partial data behind: a writer that replaces a file writes a scratch file beside it
 *    and renames it over the old one (which stays whole on failure); a writer that
 *    appends cuts the file back to its old length (or removes a file it created).
 *  - Readers refuse directories and fail (0) on a read error.
 *  - Fixed-size texts in records are read up to their capacity even without a terminator,
 *    and texts read from files are cut to fit their field.
 *  - The library keeps no state between calls apart from notification watches, prints
 *    nothing and never aborts. The file functions may be called from any thread.
 *
 * Compiles as C99 and as C++.
 */
#ifndef QZ_OTHER_H
#define QZ_OTHER_H

#include <stdint.h>

#include "qz/advanced.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Device arrival and removal ===================================================== */

/* Event codes of a device change. */
#define QZ_DEVICE_ARRIVAL 0x8000         /* an interface arrived */
#define QZ_DEVICE_REMOVE_COMPLETE 0x8004 /* an interface is gone */
/* Device type of a device-interface broadcast record. */
#define QZ_DEVICE_TYPE_INTERFACE 5
/* Offset of the interface name in a broadcast record. */
#define QZ_BROADCAST_NAME_OFFSET 28

/* Fixed part of a device broadcast record. The interface name follows at offset 28, in
 * 8-bit characters or in 16-bit (UTF-16LE) units, ended by two zero bytes; size counts the
 * whole record, name and end included. Records the library makes have deviceType 5, the
 * class identifier of the registration (QZ_CLASS_*) and an 8-bit name:
 *   "\\?\hid#vid_%04x&pid_%04x#hidrawN"  hidraw devices (from udev)
 *   "\\?\hid#vid_...#<tail>"             virtual HID sockets in $QZ_VIRTUAL_HID_DIR
 *   "\\?\qz#vid_7a3d&pid_7480#<object>"  KRXM device objects in the driver directory
 *   "\\?\qz#vid_7a3d&pid_2150#<object>"  2K device objects in the driver directory */
typedef struct QZDeviceBroadcast {
  uint32_t size;          /* bytes of the record, name and its end included */
  uint32_t deviceType;    /* 5: device interface */
  uint32_t reserved;      /* 0 */
  uint8_t classGuid[16];  /* interface class, in the Windows GUID byte layout */
} QZDeviceBroadcast;

/* Interface classes in the order of the three registration handles, as classGuid bytes. */
#define QZ_CLASS_DRIVER_USB                                                              \
  { 0x27, 0x3E, 0x1C, 0x5A, 0x40, 0x9B, 0x6F, 0x4D,                                    \
    0xA2, 0x18, 0x7C, 0x0E, 0x4B, 0x9D, 0x3F, 0x61 } /* {5A1C3E27-9B40-4D6F-A218-7C0E4B9D3F61} */
#define QZ_CLASS_DRIVER_SERIAL                                                           \
  { 0x90, 0x2B, 0x4F, 0xC8, 0x17, 0x3E, 0x5D, 0x4A,                                    \
    0x8B, 0x6C, 0x1D, 0x29, 0xE7, 0xF0, 0x5A, 0x43 } /* {C84F2B90-3E17-4A5D-8B6C-1D29E7F05A43} */
#define QZ_CLASS_HID                                                                     \
  { 0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,                                    \
    0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30 } /* {4D1E55B2-F16F-11CF-88CB-001111000030} */

/* Receives device changes: the event code (QZ_DEVICE_ARRIVAL or QZ_DEVICE_REMOVE_COMPLETE)
 * and a broadcast record, valid only during the call; hand both to QZDeviceChange. Called
 * on the watching thread of the registration handle that saw the change (one thread per
 * handle, so calls of different handles may overlap). It may call UnRegisterNotify. */
typedef void (*QZNotifyCallback)(void* context, uint32_t event, const void* record);

/* A registration handle: a watch with a thread of its own; null when the watch failed. */
typedef void* QZNotifyHandle;

/* Starts three watches that call callback(context, ...) for every change, and stores their
 * handles, null for a watch that could not start:
 *  [0] device objects of the vendor driver on USB ("QZUKRXM_API<n>", "QZU2K_API<n>",
 *      n = 0..15) appearing in or leaving $QZ_DRIVER_DIR (default /run/qz), by inotify;
 *  [1] the same for serial-line objects ("QZSKRXM_API<n>", "QZS2K_API<n>");
 *  [2] HID interfaces: hidraw devices by a udev monitor (not when QZ_NO_REAL_HID=1), and
 *      virtual HID sockets in $QZ_VIRTUAL_HID_DIR when it is set, by inotify.
 * A directory made later, or removed and made again, is followed through its parent; the
 * sockets found in it when it appears are reported as arrivals. Devices present at
 * registration are not reported. Handles already in the array are overwritten, not stopped
 * (unregister them first). A null callback starts nothing and stores null handles; a null
 * array is left alone. Always 1. */
QZ_EXPORT int32_t RegisterNotify(QZNotifyCallback callback, void* context,
                                 QZNotifyHandle handles[3]);

/* Stops every non-null handle of the array (waiting for its thread, so no callback of it
 * runs after the return, except when called from that callback) and sets it to null.
 * Null handles and a null array are left alone. Always 1. */
QZ_EXPORT int32_t UnRegisterNotify(QZNotifyHandle handles[3]);

/* Decides whether a device change concerns a supported controller: writes to *result 1 for
 * an arrival (event 0x8000), 0 for a removal (0x8004), -1 for anything else: a null record,
 * a record whose deviceType is not 5, another event, or a name that does not hold
 * "vid_7a3d" and one of "pid_741", "pid_742", "pid_748", "pid_215" (ASCII letters compared
 * without case). The name is read as 8-bit and as 16-bit text; a reading shorter than 3 or
 * of 260 characters or more is not examined. Nothing at or past the record's size is read
 * (the 4-byte size field itself must be there). A null result is not written. Always 1. */
QZ_EXPORT int32_t QZDeviceChange(uint32_t event, const void* data, int32_t* result);

/* ==== Parameter files ================================================================ */

/* Writes two lines: the apLength application bytes, then the bootLength boot bytes that
 * follow them in bytes, each as "%03d " (an empty list gives an empty line). The section
 * flags are not consulted. Replaces an older file. 0 when the file cannot be created. */
QZ_EXPORT int32_t SaveParameterFile(const char* path, const ParaListInfo* info,
                                    const uint8_t* bytes);

/* Reads whitespace-separated decimal integers: apLength of them when bit 7 of sections is
 * set, then bootLength of them when bit 6 is set, storing each one's low 8 bits in bytes
 * from its start (room for the selected lengths). Values missing from the file are stored
 * as 0. 0 when the file cannot be opened or read (bytes untouched: they are filled only
 * after the whole file was read). */
QZ_EXPORT int32_t LoadParameterFile(const char* path, const ParaListInfo* info, uint8_t* bytes);

/* ==== Firmware package files ========================================================= */

/* One verified block of a firmware package. */
typedef struct FirmwarePackage {
  uint8_t header[16];            /* the block's first 16 bytes as in the file ("QZFF"...) */
  uint8_t* data;                 /* the block's data bytes (length: header bytes 8..11, LE) */
  struct FirmwarePackage* next;  /* the second block; null for the last */
} FirmwarePackage;

/* Loads a package: one block, or two when the path ends with ".qzc" (any letter case).
 * A block is 16 header bytes ("QZFF", 4 bytes, u32 LE data length L, 3 bytes, a check
 * making the 16 bytes add up to 0xFF), L data bytes and a u32 LE check making check plus
 * data sum 0xFFFFFFFF. Data buffers (never null after a load, even for L = 0) and the
 * second record are allocated with malloc; release them with ReleaseQZFFile. 0 when the
 * file cannot be opened (record untouched), a magic or check fails, or the file ends
 * early; the record then keeps the header bytes read, with data and next null. */
QZ_EXPORT int32_t LoadQZFFile(const char* path, FirmwarePackage* package);

/* Frees the data buffers and the second record of a loaded package and clears the whole
 * record (the caller's first record is not freed). Harmless on a cleared record.
 * 0 for a null address, else 1. */
QZ_EXPORT int32_t ReleaseQZFFile(FirmwarePackage* package);

/* ==== Test result files ============================================================== */

/* Statistics of one kind of value (one value per line or per grid point). */
typedef struct StdevGroup {
  int32_t* maxValues;     /* maxima */
  int32_t* minValues;     /* minima */
  double* avgValues;      /* averages */
  double* stdevValues;    /* standard deviations */
  double summaryAverage;  /* printed as A */
  double summaryMax;      /* printed as M */
  double summaryMin;      /* printed as m */
} StdevGroup;

/* Noise statistics of a repeated measurement, laid out by WriteSTDEVResult. */
typedef struct StdevRecord {
  int32_t testCount;         /* number of measurements */
  FWVersionInfo fwVersion;   /* masterVersion, slaveVersion[0] and slaveCount are used */
  PinNumberInfo pins;        /* sensorCount rows; driverCount and sectorCount columns */
  StdevGroup totalDrive;     /* sensorCount values */
  StdevGroup mutual;         /* sensorCount x driverCount values, row by row */
  StdevGroup sector;         /* sensorCount x sectorCount values, row by row */
} StdevRecord;

/* Flag bits of TestRecord.flags. */
#define QZ_TEST_GOLDEN_LOADED 0x01        /* a golden sample is loaded */
#define QZ_TEST_WRITE_PRODUCT_GOLDEN 0x10 /* write the product golden file after a pass */

/* A production or diagnostic test of one panel. S = fwInfo.sensorPinNumber rows and
 * D = fwInfo.driverPinNumber columns; of the three frames only mutualValues (and the
 * golden sample's mutualValueCount) are used. */
typedef struct TestRecord {
  FWVersionInfo fwVersion;    /* masterVersion, slaveVersion[0], slaveCount */
  FWInfo fwInfo;              /* panelSize, coverLens, sensorPinNumber, driverPinNumber */
  RawCountBuffer golden;      /* golden values (S x D), their count */
  RawCountBuffer testFrame;   /* measured values of a production test (S x D) */
  uint8_t flags;              /* QZ_TEST_* bits */
  uint8_t result;             /* 0: the production test passed; bit 0x10: interface failed */
  uint8_t* valueMarks;        /* one byte per test value; non-zero: out of limits */
  int32_t goldenHeaderNumber; /* first number of the product golden file */
  RawCountBuffer sampleFrame; /* values to save as a new diagnostic golden sample (S x D) */
} TestRecord;

/* Appends a statistics report (local time, firmware, counts, summaries, then the tables
 * STDEV, Avg, Max and Min of sensorCount rows of driverCount + sectorCount + 1 columns).
 * 0 when the file cannot be opened, or an array the counts need is null. */
QZ_EXPORT int32_t WriteSTDEVResult(const char* path, const StdevRecord* record);

/* Appends the section "Raw": sensorCount rows of driverCount + sectorCount + 1 values
 * ("%4d\t"), mutual, sector, total drive. An array whose count is 0 or less gives zeros;
 * values past an array's count are written as 0. 0 when the file cannot be opened or an
 * array with a positive count is null. */
QZ_EXPORT int32_t WriteRawCount(const char* path, const PinNumberInfo* pins,
                                const RawCountBuffer* buffer);

/* Appends a production result in Big5 to an existing result file: result, interface test
 * (pass when bit 0x10 of result is clear), the S x D test values ('*' before a marked one),
 * and the serial number: the number after the file's last comma plus 1 (1 in a file
 * without a comma). With result 0 and flag 0x10 it then writes the product golden file
 * (the golden header number, then S rows of D golden values "%d ") to goldenPath and
 * returns what that returns. 0 when the result file cannot be read or appended, or when
 * testFrame.mutualValues or valueMarks is null while S x D > 0 (nothing written then). */
QZ_EXPORT int32_t WriteProductTestResult(const char* resultPath, const char* goldenPath,
                                         TestRecord* record);

/* An entry point without a function. Does nothing; always 0. */
QZ_EXPORT int32_t WriteDiagTestResult(void);

/* ==== Golden sample files ============================================================ */

/* Largest pin count the golden sample functions accept. */
#define QZ_MAX_PIN_COUNT 255

/* Writes a diagnostic golden sample file (keys, then a table of S + 1 rows of D items: the
 * column labels, then per row its label and D - 1 sample values), then sets flags to 0x01,
 * golden.mutualValueCount to S x D and copies S x D sample values to golden.mutualValues.
 * 0 when the file cannot be created, S or D is outside 0..255, or an array is null while
 * S x D > 0 (nothing written then). */
QZ_EXPORT int32_t WriteDiagnoseGoldenSampleFile(const char* path, TestRecord* record);

/* Reads a diagnostic golden sample file into the record: version texts, panel size, cover
 * lens, and at "[Golden Sample]" the table. There it frees golden.mutualValues with free()
 * and, when both pin counts were given and lie in 1..255, allocates S x D zeroed values with
 * malloc (the caller frees them with free()), reads S x (D - 1) values into them, sets
 * flag 0x01, the count and the pin counts. Without usable pin counts the golden values are
 * left null with count 0 and the result is 0. So golden.mutualValues must be null or come
 * from malloc. Clears flags first. 0 also when the file cannot be opened. */
QZ_EXPORT int32_t ReadDiagnoseGoldenSampleFile(const char* path, TestRecord* record);

/* Reads a product golden sample file: the golden header number, then S x D decimal
 * integers (S, D from the record) into golden.mutualValues (room for S x D values, low 16
 * bits stored). Numbers missing from the file are stored as 0. 0 when the file cannot be
 * opened, or golden.mutualValues is null while S x D > 0. */
QZ_EXPORT int32_t ReadProductGoldenSampleFile(const char* path, TestRecord* record);

#ifdef __cplusplus
}
#endif

#endif /* QZ_OTHER_H */
