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

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QZ_EXPORT
#if defined(__GNUC__)
#define QZ_EXPORT __attribute__((visibility("default")))
#else
#define QZ_EXPORT
#endif
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
  int32_t baudRate;             /* serial line rate: 115200, 57600, 38400 or 19200 */
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
/* (declared below by the controller functions library) */

#ifdef __cplusplus
}
#endif

#endif /* QZ_ADVANCED_H */
