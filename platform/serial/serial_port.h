// Serial ports through termios: open exclusively, set the line up, purge, and move bytes
// with bounded waits. Works on real ttys and on pseudo-terminals (the modem lines, which a
// pseudo-terminal does not have, are set where they exist).
#pragma once
#include <cstddef>
#include <cstdint>

namespace qz::serial {

// The device of port N: $QZ_COM<N> when set, else /dev/ttyS<N-1>. False for N <= 0 or a
// path that does not fit cap.
bool portPath(int port, char* out, size_t cap);

// Opens read-write, exclusively (TIOCEXCL and an advisory lock). Returns the fd or -1.
int open(const char* path);
void close(int fd);

// Raw 8N1 at the given speed, no CTS/DSR output flow control, DTR and RTS inactive, other
// settings as the port had them. False when the settings cannot be read or applied, or the
// speed is not one termios knows.
bool configure(int fd, int speed);

// Discards pending input and output.
bool purge(int fd);

// Writes up to n bytes, waiting at most timeoutMs for the line to take any. Returns the
// count written (0 when the line took nothing in time) or -1 on an error.
long write(int fd, const uint8_t* data, size_t n, int timeoutMs);

// Reads up to n bytes, returning when n have arrived or timeoutMs has passed. Returns the
// count read (0 on time-out) or -1 on an error (line gone).
long read(int fd, uint8_t* data, size_t n, int timeoutMs);

}  // namespace qz::serial
