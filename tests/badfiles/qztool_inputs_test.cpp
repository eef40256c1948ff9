// qztool's input files, bad in every way: a clear message of bounded length, exit code 6,
// and for params load not one byte written to the controller.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bad_files.h"
#include "qzsim/simulator.h"

namespace {

struct Result {
  int rc = -1;
  std::string out, err;
};

class QztoolInputs : public ::testing::Test {
 protected:
  qzsim::Simulator sim;
  badfiles::TempDir work;

  Result run(std::vector<std::string> args) {
    const std::string out = work / ".stdout", err = work / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(work.path().c_str()) != 0) _exit(127);
      int i = open("/dev/null", O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
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
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, badfiles::readFile(out), badfiles::readFile(err)};
  }

  // A file in the work directory, or a path of `length` characters when length is given.
  std::string place(const std::string& name, size_t length = 0) {
    if (!length) return work / name;
    std::string p = badfiles::pathOfLength(work.path(), length);
    mkdir(p.substr(0, p.rfind('/')).c_str(), 0755);
    return p;
  }
};

std::string parameterFile(int ap, int boot) {
  std::string s;
  for (int i = 0; i < ap; ++i) s += "007 ";
  s += "\r\n";
  for (int i = 0; i < boot; ++i) s += "009 ";
  return s + "\r\n";
}

TEST_F(QztoolInputs, ParameterFilesThatAreNoneAreNeverWritten) {
  auto& dev = sim.addHid(qzsim::Controller{});
  sim.start();
  sim.exportEnvironment();
  struct Case {
    const char* what;
    std::string path;
    const char* says;
  };
  const std::string good = parameterFile(64, 16);
  std::vector<Case> cases = {
      {"binary", place("binary.txt"), "not a byte value"},
      {"not UTF-8", place("latin.txt"), "not a byte value"},
      {"one line only", place("cut.txt"), "line 2 holds 0 boot values"},
      {"cut in a value", place("cut2.txt"), "line 2 holds 9 boot values"},
      {"100 MB sparse", place("sparse.txt"), "longer than 4096 characters"},
      {"a directory", place("adir"), "is a directory"},
      {"missing", place("missing.txt"), "cannot be opened: No such file"},
      {"a path of 260 characters", place("", 260), "path of 260 characters"},
      {"a path of 4096 characters", place("", 4096), "path of 4096 characters"},
  };
  badfiles::writeFile(cases[0].path, std::string("\x01\x02\x80", 3) + badfiles::binary(64 * 1024));
  badfiles::writeFile(cases[1].path, badfiles::notUtf8());
  badfiles::writeFile(cases[2].path, good.substr(0, good.find("\r\n") + 2));
  badfiles::writeFile(cases[3].path, good.substr(0, good.size() - 4 * 8 - 1));
  ASSERT_TRUE(badfiles::sparseFile(cases[4].path, 100l << 20));
  mkdir(cases[5].path.c_str(), 0755);
  badfiles::writeFile(cases[7].path, good);  // a sound file behind a path the library refuses
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* command : {"diff", "load"}) {
      SCOPED_TRACE(command);
      dev.clearRequests();
      Result r = run({"params", command, c.path});
      EXPECT_EQ(r.rc, 6) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_LT(r.err.size(), c.path.size() + 400) << "the message stays short";
      for (const auto& p : dev.commands()) EXPECT_NE(p[0], 0xE1) << "nothing written to the controller";
    }
  }
  // The sound file itself diffs clean, so the refusals above are about the files.
  badfiles::writeFile(work / "good.txt", good);
  Result r = run({"params", "diff", "good.txt"});
  EXPECT_EQ(r.rc, 1) << r.err;  // the simulator's lists differ from the 7s and 9s
}

TEST_F(QztoolInputs, PackagesThatCannotBeReadSayWhy) {
  struct Case {
    const char* what;
    std::string path;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"binary", place("binary.qzf"), "not a sound firmware package"},
      {"100 MB sparse", place("sparse.qzc"), "not a sound firmware package"},
      {"empty", place("empty.qzf"), "not a sound firmware package"},
      {"a directory", place("adir.qzf"), "is a directory"},
      {"missing", place("missing.qzf"), "cannot be opened: No such file"},
      {"a path of 260 characters", place("", 260), "path of 260 characters"},
      {"a path of 4096 characters", place("", 4096), "path of 4096 characters"},
  };
  badfiles::writeFile(cases[0].path, badfiles::binary(64 * 1024));
  ASSERT_TRUE(badfiles::sparseFile(cases[1].path, 100l << 20));
  badfiles::writeFile(cases[2].path, "");
  mkdir(cases[3].path.c_str(), 0755);
  badfiles::writeFile(cases[5].path, "QZFF");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = run({"package", "verify", c.path});
    EXPECT_EQ(r.rc, 6) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), c.path.size() + 400);
  }
}

}  // namespace
