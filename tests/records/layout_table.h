/* Expected layout of every public record on LP64 systems: size, then each field's offset.
 * The same table is evaluated by the C compiler (layout_c.c) and the C++ compiler
 * (layout_test.cpp), so both must agree with it and with each other. */
#ifndef QZ_TEST_LAYOUT_TABLE_H
#define QZ_TEST_LAYOUT_TABLE_H

#include <stddef.h>

#include "qz/other.h"

/* SIZE(type, bytes) and FIELD(type, field, offset) */
#define QZ_LAYOUT(SIZE, FIELD)                   \
  SIZE(FWVersionInfo, 276)                       \
  FIELD(FWVersionInfo, masterVersion, 0)         \
  FIELD(FWVersionInfo, slaveVersion, 50)         \
  FIELD(FWVersionInfo, masterShortForm, 252)     \
  FIELD(FWVersionInfo, slaveShortForm, 256)      \
  FIELD(FWVersionInfo, slaveCount, 272)          \
  SIZE(FWInfo, 56)                               \
  FIELD(FWInfo, modelText, 0)                    \
  FIELD(FWInfo, versionMajor, 20)                \
  FIELD(FWInfo, versionMinor, 24)                \
  FIELD(FWInfo, buildNumber, 28)                 \
  FIELD(FWInfo, releaseSuffix, 32)               \
  FIELD(FWInfo, panelSize, 40)                   \
  FIELD(FWInfo, coverLens, 44)                   \
  FIELD(FWInfo, sensorPinNumber, 48)             \
  FIELD(FWInfo, driverPinNumber, 52)             \
  SIZE(ParaListInfo, 6)                          \
  FIELD(ParaListInfo, sections, 0)               \
  FIELD(ParaListInfo, addressing, 1)             \
  FIELD(ParaListInfo, apLength, 2)               \
  FIELD(ParaListInfo, bootLength, 3)             \
  FIELD(ParaListInfo, debugLength, 4)            \
  FIELD(ParaListInfo, slaveLength, 5)            \
  SIZE(PanelInfo, 4)                             \
  FIELD(PanelInfo, panelSizeCode, 0)             \
  FIELD(PanelInfo, panelSizeCount, 1)            \
  FIELD(PanelInfo, coverLensCode, 2)             \
  FIELD(PanelInfo, coverLensCount, 3)            \
  SIZE(ParaUISetting, 64)                        \
  FIELD(ParaUISetting, boot4Span, 0)             \
  FIELD(ParaUISetting, boot4Value, 1)            \
  FIELD(ParaUISetting, nibbleHigh, 2)            \
  FIELD(ParaUISetting, nibbleLow, 6)             \
  FIELD(ParaUISetting, capabilityFlags, 12)      \
  FIELD(ParaUISetting, interfaceSetting, 36)     \
  FIELD(ParaUISetting, baudRate, 40)             \
  FIELD(ParaUISetting, selection, 44)            \
  FIELD(ParaUISetting, selectionCount, 45)       \
  FIELD(ParaUISetting, rangeMax, 46)             \
  FIELD(ParaUISetting, rangeMin, 47)             \
  FIELD(ParaUISetting, rangeExtra, 48)           \
  FIELD(ParaUISetting, rangeValue, 49)           \
  FIELD(ParaUISetting, panel, 50)                \
  FIELD(ParaUISetting, orientation, 56)          \
  FIELD(ParaUISetting, boot3Bit7, 60)            \
  FIELD(ParaUISetting, featureKind, 61)          \
  SIZE(PinNumberInfo, 12)                        \
  FIELD(PinNumberInfo, sensorCount, 0)           \
  FIELD(PinNumberInfo, driverCount, 1)           \
  FIELD(PinNumberInfo, sectorCount, 2)           \
  FIELD(PinNumberInfo, masterSensorCount, 3)     \
  FIELD(PinNumberInfo, slaveSensorCount, 4)      \
  FIELD(PinNumberInfo, sensorFirst, 8)           \
  SIZE(RawCountBuffer, 48)                       \
  FIELD(RawCountBuffer, bulkTransfer, 0)         \
  FIELD(RawCountBuffer, dataFlags, 4)            \
  FIELD(RawCountBuffer, mutualValues, 8)         \
  FIELD(RawCountBuffer, sectorValues, 16)        \
  FIELD(RawCountBuffer, totalDriveValues, 24)    \
  FIELD(RawCountBuffer, mutualValueCount, 32)    \
  FIELD(RawCountBuffer, sectorValueCount, 36)    \
  FIELD(RawCountBuffer, totalDriveValueCount, 40) \
  SIZE(FirmwarePackage, 32)                      \
  FIELD(FirmwarePackage, header, 0)              \
  FIELD(FirmwarePackage, data, 16)               \
  FIELD(FirmwarePackage, next, 24)               \
  SIZE(StdevGroup, 56)                           \
  FIELD(StdevGroup, maxValues, 0)                \
  FIELD(StdevGroup, minValues, 8)                \
  FIELD(StdevGroup, avgValues, 16)               \
  FIELD(StdevGroup, stdevValues, 24)             \
  FIELD(StdevGroup, summaryAverage, 32)          \
  FIELD(StdevGroup, summaryMax, 40)              \
  FIELD(StdevGroup, summaryMin, 48)              \
  SIZE(StdevRecord, 464)                         \
  FIELD(StdevRecord, testCount, 0)               \
  FIELD(StdevRecord, fwVersion, 4)               \
  FIELD(StdevRecord, pins, 280)                  \
  FIELD(StdevRecord, totalDrive, 296)            \
  FIELD(StdevRecord, mutual, 352)                \
  FIELD(StdevRecord, sector, 408)                \
  SIZE(TestRecord, 504)                          \
  FIELD(TestRecord, fwVersion, 0)                \
  FIELD(TestRecord, fwInfo, 276)                 \
  FIELD(TestRecord, golden, 336)                 \
  FIELD(TestRecord, testFrame, 384)              \
  FIELD(TestRecord, flags, 432)                  \
  FIELD(TestRecord, result, 433)                 \
  FIELD(TestRecord, valueMarks, 440)             \
  FIELD(TestRecord, goldenHeaderNumber, 448)     \
  FIELD(TestRecord, sampleFrame, 456)            \
  SIZE(QZDeviceBroadcast, 28)                    \
  FIELD(QZDeviceBroadcast, size, 0)              \
  FIELD(QZDeviceBroadcast, deviceType, 4)        \
  FIELD(QZDeviceBroadcast, reserved, 8)          \
  FIELD(QZDeviceBroadcast, classGuid, 12)

/* One measured entry: "Type" for a size, "Type.field" for an offset. */
struct QzLayoutEntry {
  const char* name;
  size_t measured;
  size_t expected;
};

#ifdef __cplusplus
extern "C" {
#endif
/* The table as the C compiler measures it, ended by an entry with a null name. */
extern const struct QzLayoutEntry qz_layout_c[];
#ifdef __cplusplus
}
#endif

#endif
