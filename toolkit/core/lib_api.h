// Calling shapes of the library functions the tray program binds by name. The program never
// links the libraries: it loads them by file name and looks every function up at run time.
#pragma once
#include <cstdint>

namespace qz::toolkit {

using DeviceHandle = intptr_t;
constexpr DeviceHandle kNoDevice = -1;
constexpr int kModelNameSize = 20;

inline constexpr char kBasicLibraryFile[] = "libQZ_BASIC.so";
inline constexpr char kOtherLibraryFile[] = "libQZ_OTHER.so";
inline constexpr char kAdvancedLibraryFile[] = "libQZ_ADVANCED.so";

// libQZ_BASIC.so
using FindQZDeviceFn = int32_t (*)(DeviceHandle* handle, char* modelName);
using FindHidDeviceFn = int32_t (*)(DeviceHandle* handle, char* modelName);
using CloseDeviceFn = int32_t (*)(DeviceHandle handle);
using SendCmdFn = int32_t (*)(DeviceHandle handle, const uint8_t* command, uint8_t* reply);

// libQZ_OTHER.so. RegisterNotify arranges for the callback to run, on a thread of the
// library, with every device-change event (its code and broadcast record); the record is
// valid during the call only.
using DeviceEventCallback = void (*)(void* context, uint32_t event, const void* record);
using RegisterNotifyFn = int32_t (*)(DeviceEventCallback callback, void* context,
                                     void* registrations[3]);
using UnRegisterNotifyFn = int32_t (*)(void* registrations[3]);
using QZDeviceChangeFn = int32_t (*)(uint32_t event, const void* record, int32_t* result);

// libQZ_ADVANCED.so
using EnablePCAPScanFn = int32_t (*)(DeviceHandle handle, int32_t on);

// Device-change event codes and the decision codes of QZDeviceChange.
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;
constexpr int32_t kChangeRemoved = 0;
constexpr int32_t kChangeArrived = 1;

}  // namespace qz::toolkit
