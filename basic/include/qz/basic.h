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

/* Marks the exports of the SDK libraries (the other headers include this one). */
#ifndef QZ_EXPORT
#if defined(__GNUC__)
#define QZ_EXPORT __attribute__((visibility("default")))
#else
#define QZ_EXPORT
#endif
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

/* ---- Command catalogue ------------------------------------------------------------------
 *
 * One function per controller command. Each writes its command into the library's one
 * shared packet, exchanges it with SendCmd and decodes the reply bytes r1..r4 from there.
 * Common to all of them:
 *  - 1 when every exchange succeeded (and a stated check passed); 0 for an unknown handle, an
 *    unusable transport, exhausted retries, a refusal (0xAA), or a missing (NULL) output or
 *    byte pointer, in which case nothing is sent. On 0 no output is written.
 *  - p, q, v, s: only the low byte is sent. Outputs of "8/16/32 bits" are uint8_t, uint16_t,
 *    int32_t; multi-byte values are assembled in the byte order given per function.
 *  - "2K:" gives the decoding for 2K-family controllers where it differs from KRXM.
 *  - While replies are off (after SendD0) every exchange succeeds once sent and the
 *    outputs are decoded from the command's own bytes.
 * Functions marked "result" have no outputs. */

/* E0 p q 00 00; out[0..3] = r1..r4. */
QZ_EXPORT int32_t SendE0(DeviceHandle handle, int32_t p, int32_t q, uint8_t out[4]);
/* E1 p q 00 v; result. Waits the reply wait before polling. */
QZ_EXPORT int32_t SendE1(DeviceHandle handle, int32_t p, int32_t q, int32_t v);
/* E2 00 00 00 00; result. */
QZ_EXPORT int32_t SendE2(DeviceHandle handle);
/* E3 p q 00 v; out[0..3] = r1..r4. */
QZ_EXPORT int32_t SendE3(DeviceHandle handle, int32_t p, int32_t q, int32_t v, uint8_t out[4]);
/* E5 00 00 00 v; out[0..3] = r1..r4. */
QZ_EXPORT int32_t SendE5(DeviceHandle handle, int32_t v, uint8_t out[4]);
/* E6 p q 00 00; out[0..2] = r2, r3, r4. */
QZ_EXPORT int32_t SendE6(DeviceHandle handle, int32_t p, int32_t q, uint8_t out[3]);
/* E7 00 00 00 00; *out = r1 r2 r3 r4 as a 32-bit value, r1 most significant. */
QZ_EXPORT int32_t SendE7(DeviceHandle handle, int32_t* out);
/* E8 A[0] B[0] A[1] B[1]. With A[1] and B[1] both 0: out[0] = r3 + 256 r4, out[1] = 0;
 * otherwise out[0] = r1 + 256 r2, out[1] = r3 + 256 r4. */
QZ_EXPORT int32_t SendE8(DeviceHandle handle, const uint8_t A[2], const uint8_t B[2], uint16_t out[2]);
/* EA 00 v 00 00, then the shared packet again as the first exchange left it; 1 when both
 * succeeded. Each waits the reply wait before polling. */
QZ_EXPORT int32_t SendEA(DeviceHandle handle, int32_t v);
/* EB 00 00 00 00 (E7 00 00 00 00 to a 2K controller); a, b, c, d = r1..r4. */
QZ_EXPORT int32_t SendEB(DeviceHandle handle, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d);
/* EC 00 p 00 v; result. */
QZ_EXPORT int32_t SendEC(DeviceHandle handle, int32_t p, int32_t v);
/* ED 00 00 00 00; a = r1, b = r2, c (16 bits) = r3 + 256 r4. 2K: a = r2, b = 0,
 * c = 256 r3 + r4. */
QZ_EXPORT int32_t SendED(DeviceHandle handle, uint8_t* a, uint8_t* b, uint16_t* c);
/* EE 00 00 00 00 (identity); a (16 bits) = r1 + 256 r2, b = r3, c = r4. 2K: a = 256 r1 + r2,
 * b = r4, c = 0. */
QZ_EXPORT int32_t SendEE(DeviceHandle handle, uint16_t* a, uint8_t* b, uint8_t* c);
/* EF 00 00 00 00; a, b, c, d = r1..r4. 2K: a = 1. */
QZ_EXPORT int32_t SendEF(DeviceHandle handle, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d);
/* EB (s - 0x10, modulo 256) 00 00 00 to slave s; a, b, c, d = r1..r4. */
QZ_EXPORT int32_t NewSlvEB(DeviceHandle handle, int32_t s, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d);
/* ED (s - 0x10) 00 00 00; a = r1, b = r2, c (16 bits) = r3 + 256 r4, both families. */
QZ_EXPORT int32_t NewSlvED(DeviceHandle handle, int32_t s, uint8_t* a, uint8_t* b, uint16_t* c);
/* EE (s - 0x10) 00 00 00; a (16 bits) = r1 + 256 r2, b = r3, c = r4, both families. */
QZ_EXPORT int32_t NewSlvEE(DeviceHandle handle, int32_t s, uint16_t* a, uint8_t* b, uint8_t* c);
/* F0 00 00 00 v; result. */
QZ_EXPORT int32_t SendF0(DeviceHandle handle, int32_t v);
/* F1 00 00 00 v; result. */
QZ_EXPORT int32_t SendF1(DeviceHandle handle, int32_t v);
/* F3 00 p 00 v; result. */
QZ_EXPORT int32_t SendF3(DeviceHandle handle, int32_t p, int32_t v);
/* F4 00 p 00 v; result. */
QZ_EXPORT int32_t SendF4(DeviceHandle handle, int32_t p, int32_t v);
/* F5 00 p 00 00; out[0..3] = r1..r4. */
QZ_EXPORT int32_t SendF5(DeviceHandle handle, int32_t p, uint8_t out[4]);
/* F6 00 00 00 v; result. */
QZ_EXPORT int32_t SendF6(DeviceHandle handle, int32_t v);
/* F7 00 00 00 v; result. */
QZ_EXPORT int32_t SendF7(DeviceHandle handle, int32_t v);
/* F8 00 00 00 v; result. */
QZ_EXPORT int32_t SendF8(DeviceHandle handle, int32_t v);
/* F9 00 p q v; a, b, c = r1, r2, r3. */
QZ_EXPORT int32_t SendF9(DeviceHandle handle, int32_t p, int32_t q, int32_t v, uint8_t* a, uint8_t* b, uint8_t* c);
/* FA 00 00 p v; a = r1. */
QZ_EXPORT int32_t SendFA(DeviceHandle handle, int32_t p, int32_t v, uint8_t* a);
/* E0 00 F0 00 00 (0 when r3 & 0x30 is set, FA not sent), then FA 00 00 00 00. 1 for a HID
 * controller; behind the vendor driver on USB, 1 only when one block of the announced size
 * (r1 + 256 r2, 0 = 8) is read whole; 0 for every other transport. */
QZ_EXPORT int32_t ChkFACmd(DeviceHandle handle);
/* FB 00 00 00 00; a = r4. */
QZ_EXPORT int32_t SendFB(DeviceHandle handle, uint8_t* a);
/* FC D[0] D[1] D[2] D[3]; 1 only when r1..r4 echo D[0..3]. */
QZ_EXPORT int32_t SendFC(DeviceHandle handle, const uint8_t D[4]);
/* FD 00 00 00 v; result. */
QZ_EXPORT int32_t SendFD(DeviceHandle handle, int32_t v);
/* FE 00 00 00 00, then the shared packet again as the first exchange left it. */
QZ_EXPORT int32_t SendFE(DeviceHandle handle);
/* F0 00 00 00 00 (result ignored), FF AA 55 AA 55 (its result is the result), FF 55 AA 55 AA
 * (result ignored); 2K controllers get opcode E8 for the last two. 0 when the second fails,
 * and the third is then not sent. */
QZ_EXPORT int32_t SendFF(DeviceHandle handle);
/* D0 m-low m-high n-low n-high. On success replies are switched off for every controller
 * of the process: exchanges succeed once sent, until SendD1. */
QZ_EXPORT int32_t SendD0(DeviceHandle handle, int32_t m, int32_t n);
/* Switches replies back on (also when it then fails), then D1 00 00 m-low m-high;
 * a (16 bits) = r1 + 256 r2, b = r4. Waits the D1 wait set by SendD2 before polling. */
QZ_EXPORT int32_t SendD1(DeviceHandle handle, int32_t m, uint16_t* a, uint8_t* b);
/* D2 00 00 00 00; *a = r1 + 256 r2 + 65536 r3, kept as the reported size (above 256 the reply
 * wait of KRXM controllers is 50 ms, else 5 ms); r4 > 0 becomes the wait after D1 in ms.
 * Both return to 64 and 0 first, and stay so when the exchange fails. Process-wide. */
QZ_EXPORT int32_t SendD2(DeviceHandle handle, int32_t* a);
/* D3 00 00 00 01; a (16 bits) = r1 + 256 r2. */
QZ_EXPORT int32_t SendD3(DeviceHandle handle, uint16_t* a);
/* D4 00 00 00 00, then the reply sent back with byte 2 set to AA; when that is answered,
 * sleeps r4 (of the first reply) milliseconds. */
QZ_EXPORT int32_t SendD4(DeviceHandle handle);
/* D5 00 p 00 00; a = r4. */
QZ_EXPORT int32_t SendD5(DeviceHandle handle, int32_t p, uint8_t* a);
/* D6 00 p 00 v; a = r4. */
QZ_EXPORT int32_t SendD6(DeviceHandle handle, int32_t p, int32_t v, uint8_t* a);
/* D7 00 00 00 v; result. */
QZ_EXPORT int32_t SendD7(DeviceHandle handle, int32_t v);
/* D8 00 55 00 00; result. */
QZ_EXPORT int32_t SendD8(DeviceHandle handle);

/* ---- Bulk transfer ------------------------------------------------------------------------ */

/* Reads count 16-bit values (little-endian on the wire): FA 00 00 00 00 announces the block
 * size (r1 + 256 r2, 0 = 8; size / 2 values per block), then blocks are read (HID: feature
 * reports of size + 1 bytes, report id first) until count values are stored, then the
 * identity command closes the transfer. Writes values[0..count-1] and never past them.
 * 0 when FA fails, the block size is 1, the device is neither HID nor behind the vendor
 * driver on USB, a block read fails or comes short (the values stored so far stay, no
 * closing exchange), or the closing exchange fails (all values stored). */
QZ_EXPORT int32_t ReceiveRawCount(DeviceHandle handle, int32_t count, uint16_t* values);
/* Report size of a HID controller. With length > 0 first F4 00 (length-1) 00 01: a non-zero
 * r1 gives size r1, flag 1. Then D3 00 00 00 01: on success flag 1 and, for length 0,
 * size = r1 + 256 r2; on failure size 8, flag 0. Any other transport: 1 with size 8, flag 0,
 * nothing sent. 0 (outputs untouched) for an unknown handle or a failed F4. */
QZ_EXPORT int32_t GetBufferSize(DeviceHandle handle, int32_t length, int32_t* flag, uint16_t* size);

#ifdef __cplusplus
}
#endif

#endif /* QZ_BASIC_H */
