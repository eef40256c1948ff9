// Minimal clients of the simulator's sockets and lines, written from the wire formats, so
// the tests see exactly what a peer sees.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rawsim {

using Bytes = std::vector<uint8_t>;

int connectSeqpacket(const std::string& path);  // -1 on failure
bool sendRaw(int fd, const Bytes& packet);
// Receives one packet within timeoutMs; false on time-out or a closed peer.
bool receive(int fd, Bytes* packet, int timeoutMs = 1000);
// True when the peer has closed the connection (a read returns end of file).
bool peerClosed(int fd, int timeoutMs = 1000);

struct HidAnswer {
  int32_t status = 1;
  Bytes data;
  bool arrived = false;
};

class Hid {
 public:
  explicit Hid(const std::string& socketPath);
  ~Hid();
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // One request (op, length field, data) and its answer.
  HidAnswer request(uint8_t op, uint32_t length, const Bytes& data, int timeoutMs = 1000);
  int32_t sendFeature(const Bytes& report) { return request(1, uint32_t(report.size()), report).status; }
  HidAnswer getFeature(uint8_t reportId, uint32_t length);
  bool sendReadInput(uint32_t cap);

 private:
  int fd_ = -1;
};

struct Completion {
  uint32_t tag = 0;
  int32_t status = 1;
  Bytes out;
  bool arrived = false;
};

class Driver {
 public:
  explicit Driver(const std::string& socketPath);
  ~Driver();
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close();
  bool send(uint32_t tag, uint32_t code, uint32_t capacity, const Bytes& input = {});
  Completion next(int timeoutMs = 1000);
  Completion call(uint32_t tag, uint32_t code, uint32_t capacity, const Bytes& input = {});

 private:
  int fd_ = -1;
};

// A serial line opened like a client opens it: raw, 8N1.
class Serial {
 public:
  explicit Serial(const std::string& path);
  ~Serial();
  bool ok() const { return fd_ >= 0; }
  bool write(const Bytes& b);
  // Reads up to n bytes, waiting at most timeoutMs for the whole.
  Bytes read(size_t n, int timeoutMs);
  static Bytes frame(const Bytes& five);  // five bytes and their checksum

 private:
  int fd_ = -1;
};

}  // namespace rawsim
