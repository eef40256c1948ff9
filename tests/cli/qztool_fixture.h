// The qztool tests' fixture: a simulator served by the test process and qztool run as a
// user runs it, in a scratch directory, with its output, files and exit code kept.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json.h"
#include "qzsim/simulator.h"

namespace qztooltest {

struct Result {
  int rc = -1;
  std::string out, err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits up to 20 s for the condition; the bound only keeps a broken run from hanging.
inline bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class Qztool : public ::testing::Test {
 protected:
  qzsim::Simulator sim;
  std::string work;

  void SetUp() override {
    char tmpl[] = "/tmp/qztool-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + work + "'").c_str()); }

  qzsim::Device& serveHid(qzsim::Controller c = {}) {
    auto& d = sim.addHid(c);
    sim.start();
    sim.exportEnvironment();
    return d;
  }

  // Starts qztool without waiting for it; finish() collects it.
  pid_t start(std::vector<std::string> args, const std::string& input = "") {
    const std::string out = work + "/stdout", err = work + "/stderr", in = work + "/stdin";
    { std::ofstream(in) << input; }
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(work.c_str()) != 0) _exit(127);
      int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
          e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(i, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(QZTOOL_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(QZTOOL_PATH, argv.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for the program (killing it after 30 s: a hang fails the test, not the run).
  Result finish(pid_t pid) {
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 3000 && !ended; ++i) {
      ended = waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "qztool did not end";
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(work + "/stdout"), slurp(work + "/stderr")};
  }

  Result run(std::vector<std::string> args, const std::string& input = "") {
    return finish(start(std::move(args), input));
  }

  Json json(const Result& r) { return parse(r.out); }
  Json parse(const std::string& text) {
    Json j;
    std::string error;
    EXPECT_TRUE(parseJson(text, &j, &error)) << error << "\n" << text;
    return j;
  }
};

}  // namespace qztooltest
