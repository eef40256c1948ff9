/*
 * qz/basic.h: device access library (libQZ_BASIC.so) for Tarvanel KRX touch controllers.
 *
 * The library finds controllers on three transports (HID feature reports, the vendor
 * driver's device objects, a plain serial port), keeps a table of 16 opened controllers
 * and exchanges five-byte commands with them.
 *
 * Conventions for every export:
 *  - Results are int32_t: non-zero (1) on success, 0 on failure. Outputs are written only
 *    on success; a failed call leaves every output as the caller had it.
 *  - A command refused by the controller fails with 0; the refusal shows only as 0xAA in
 *    byte 0 of the reply (SendCmd) or of the library's shared command packet.
 *  - Integer arguments are 32-bit; only the low byte is sent unless a line says otherwise.
 *  - State is process-wide and unguarded: make all calls from one thread at a time.
 *  - The library prints nothing, never aborts, and allocates nothing per exchange.
 *
 * Environment read at run time:
 *  QZ_VIRTUAL_HID_DIR  directory of virtual HID sockets (simulator), listed after real devices
 *  QZ_NO_REAL_HID=1    hide real hidraw devices
 *  QZ_DRIVER_DIR       directory of vendor-driver device objects (default /run/qz)
 *  QZ_COM<N>           device path for serial port N (default /dev/ttyS<N-1>)
 */
#ifndef QZ_BASIC_H
#define QZ_BASIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QZ_EXPORT __attribute__((visibility("default")))
#else
#define QZ_EXPORT
#endif

/* Handle of an opened controller; QZ_NO_DEVICE (-1) means none. For device types 2 and 3
 * it is the descriptor of the connected device-object socket. */
typedef intptr_t DeviceHandle;
#define QZ_NO_DEVICE ((DeviceHandle)-1)

/* Transport of an opened controller. */
typedef int32_t DeviceType;
#define QZ_TYPE_HID 1          /* HID feature reports */
#define QZ_TYPE_DRIVER_USB 2   /* vendor driver, controller on USB */
#define QZ_TYPE_DRIVER_SERIAL 3 /* vendor driver, controller on a serial line */
#define QZ_TYPE_SERIAL 4       /* plain serial port, six-byte frames */

/* Five bytes: opcode, then four argument (or reply) bytes. */
typedef uint8_t CommandPacket[5];

/* Called once per verified controller during an enumeration. Both strings are valid only
 * during the call. */
typedef void (*DeviceFoundCallback)(const char* path, const char* modelName);

/* Size of the model-name buffers the find functions fill (at most 19 characters + NUL). */
#define QZ_MODEL_NAME_SIZE 20
/* Capacity of a device path, terminator included; longer paths are refused. */
#define QZ_PATH_SIZE 260

/* ---- Device table ---------------------------------------------------------------- */

/* Reopens the controller whose slot holds exactly this path (first matching slot), without
 * the identity command. Writes *handle. 0 when no slot holds the path, the path is 260
 * characters or longer, or the device cannot be opened. */
QZ_EXPORT int32_t OpenDevice(const char* path, DeviceHandle* handle);
/* Closes a handle the library opened and frees its slot (path and settings are kept for
 * OpenDevice). A handle the library does not know is left alone. Always 1. */
QZ_EXPORT int32_t CloseDevice(DeviceHandle handle);
/* Writes the transport (1 to 4) of the handle's controller. 0 for an unknown handle. */
QZ_EXPORT int32_t GetDeviceType(DeviceHandle handle, int32_t* type);
/* Writes 1 for a 2K-family controller, 0 for KRXM. 0 for an unknown handle. */
QZ_EXPORT int32_t IsQZ2K(DeviceHandle handle, int32_t* is2K);

/* ---- HID transport ----------------------------------------------------------------- */

/* Opens the first HID controller (vendor 7a3d, product 7xxx or 2xxx) that answers the
 * identity command EE 00 00 00 00; writes its handle and model name ("QZ%d" or "QZ%d%c",
 * name buffer of QZ_MODEL_NAME_SIZE). 0 when none answers (also when a device exists but
 * cannot be opened for lack of permission). Later candidates are not opened. */
QZ_EXPORT int32_t FindHidDevice(DeviceHandle* handle, char* name);
/* Opens and verifies every HID controller, calling the callback for each; all stay open in
 * their slots. 1 when at least one was verified. */
QZ_EXPORT int32_t EnumerateHidDevices(DeviceFoundCallback callback);
/* Sends one command and reads its reply (five attempts of up to five polls). command and
 * reply may be the same buffer. On success writes all five reply bytes (nothing while
 * replies are switched off by SendD0). On a refusal writes only reply[0] = 0xAA and returns
 * 0; on any other failure writes nothing. */
QZ_EXPORT int32_t SendCmd(DeviceHandle handle, const uint8_t* command, uint8_t* reply);
/* Sends the report id and the first (length & 0xFFFF) bytes as one HID output report.
 * 0 for a handle that is not a HID controller or when the report is not accepted. */
QZ_EXPORT int32_t SetOutputReport(DeviceHandle handle, int32_t length, const uint8_t* bytes);

/* ---- Vendor-driver transport --------------------------------------------------------- */
/* Device objects are Unix sockets in $QZ_DRIVER_DIR (default /run/qz) named QZUKRXM_API<n>,
 * QZU2K_API<n> (USB), QZSKRXM_API<n>, QZS2K_API<n> (serial line), n = 0..15. The first
 * object opened in the process decides the request codes for USB controllers: driver
 * versions above 2.03 use the newer pair; serial-line objects always use it. */

/* Opens the first device object (USB names first, then serial-line names) that answers the
 * identity command; writes its handle (the socket descriptor) and model name. Leaves the
 * current device type 2, or 3 when nothing answered on USB. 0 when none answers. */
QZ_EXPORT int32_t FindQZDevice(DeviceHandle* handle, char* name);
/* Opens and verifies every device object of the four name patterns, calling the callback
 * for each; all stay open. 1 when at least one answered. */
QZ_EXPORT int32_t EnumerateQZDevices(DeviceFoundCallback callback);
/* Queries the driver's major, minor and third version numbers into values[0..2]; a query
 * that fails leaves its value as the caller set it. 0 for a handle that is not a vendor-
 * driver controller (types 2 and 3), else 1. */
QZ_EXPORT int32_t GetQZDriverVersion(DeviceHandle handle, int32_t* values);

/* ---- Serial transport ------------------------------------------------------------------ */
/* Port N is $QZ_COM<N> when set (e.g. QZ_COM3=/dev/ttyUSB0), else /dev/ttyS<N-1>. Frames are
 * the five command bytes and a checksum (complement of their 8-bit sum). The family is not
 * learnt from the line: the slot keeps the family of the previously current device (KRXM
 * after load); read it with IsQZ2K and tell 2K controllers by their model number. */

/* Opens port N exclusively at the speed (8N1, raw, no flow control, DTR and RTS inactive)
 * and verifies the controller with the identity command; writes handle and model name.
 * 0 when the port cannot be opened or set up, the speed is unknown, or nothing answers. */
QZ_EXPORT int32_t FindRSDevice(int32_t port, int32_t speed, DeviceHandle* handle, char* name);
/* Finds again on the transport of the current device: HID, the vendor driver (all four
 * patterns), or the serial port and speed of the current device. Resets the reported
 * size to 64. 0 when the current type is none of 1 to 4 or nothing answers. */
QZ_EXPORT int32_t FindPreDevice(DeviceHandle* handle, char* name);

#ifdef __cplusplus
}
#endif

#endif /* QZ_BASIC_H */
