// A virtual HID touch screen of vendor 7a3d served by the test: it answers "read one input
// report" requests with the reports the test sends, and refuses feature and output reports
// (it is no controller, so the finders pass it by).
#pragma once
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qz::toolkit::testing {

class VirtualTouch {
 public:
  // Serves dir/<name>; name like "hid#vid_7a3d&pid_7480#touch0".
  VirtualTouch(const std::string& dir, const std::string& name) : path_(dir + "/" + name) {
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
    unlink(path_.c_str());
    ok_ = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          listen(listen_, 8) == 0;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~VirtualTouch() {
    stop_ = true;
    poke();
    if (thread_.joinable()) thread_.join();
    for (Conn& c : conns_) close(c.fd);
    if (listen_ >= 0) close(listen_);
    if (wake_ >= 0) close(wake_);
    unlink(path_.c_str());
  }
  bool ok() const { return ok_; }

  // Queues one input report (report id first) for the readers.
  void send(std::vector<uint8_t> report) {
    {
      std::lock_guard<std::mutex> l(m_);
      queued_.push_back(std::move(report));
    }
    poke();
  }
  // Connections that have asked for an input report at least once.
  int readers() const { return readers_; }

 private:
  struct Conn {
    int fd;
    int pending = 0;  // input-report requests waiting for an answer
    bool counted = false;
  };

  void poke() {
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }

  void serve() {
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}, {wake_, POLLIN, 0}};
      for (Conn& c : conns_) fds.push_back({c.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[1].revents & POLLIN) {
        uint64_t v;
        (void)!read(wake_, &v, sizeof v);
      }
      if (fds[0].revents & POLLIN) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) conns_.push_back({fd});
      }
      for (size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        Conn& c = conns_[i - 2];
        uint8_t req[4096];
        ssize_t n = recv(c.fd, req, sizeof req, 0);
        if (n <= 0) {
          close(c.fd);
          c.fd = -1;
          continue;
        }
        if (n >= 8 && req[0] == 4) {
          ++c.pending;
          if (!c.counted) c.counted = true, ++readers_;
        } else {
          const uint8_t refused[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // status -1
          ::send(c.fd, refused, sizeof refused, MSG_NOSIGNAL);
        }
      }
      conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const Conn& c) { return c.fd < 0; }),
                   conns_.end());
      // Hand queued reports to every waiting reader.
      std::lock_guard<std::mutex> l(m_);
      while (!queued_.empty()) {
        bool anyone = false;
        for (Conn& c : conns_) anyone = anyone || c.pending > 0;
        if (!anyone) break;
        std::vector<uint8_t> answer{0, 0, 0, 0};
        answer.insert(answer.end(), queued_.front().begin(), queued_.front().end());
        for (Conn& c : conns_) {
          if (c.pending == 0) continue;
          --c.pending;
          ::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        queued_.pop_front();
      }
    }
  }

  std::string path_;
  int listen_ = -1;
  int wake_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> readers_{0};
  std::mutex m_;
  std::deque<std::vector<uint8_t>> queued_;
  std::vector<Conn> conns_;
  std::thread thread_;
};

}  // namespace qz::toolkit::testing
