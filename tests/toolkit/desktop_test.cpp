// The per-user lock files that stand for named mutexes, and the notification setting file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "desktop/named_lock.h"
#ifdef QZ_HAVE_SETTINGS
#include <QCoreApplication>
#include <QFile>

#include "desktop/settings_store.h"
#endif

namespace qz::desktop {
namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qz-desktop-XXXXXX";
    dir_ = mkdtemp(tmpl);
    const char* r = getenv("XDG_RUNTIME_DIR");
    saved_ = r ? r : "";
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_, saved_;
};

// Runs fn in a child process and returns its exit status.
int inChild(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(TempDir, ANameExistsExactlyWhileItsHolderLives) {
  const std::string name = "Tarvanel KRX Resident Application Mutex";
  EXPECT_FALSE(nameExists(name));
  {
    NamedLock first;
    ASSERT_EQ(first.create(name), NamedLock::Result::kCreated);
    struct stat st;
    EXPECT_EQ(stat((dir_ + "/" + name + ".lock").c_str(), &st), 0);
    // Another process sees it, and its own attempt is refused.
    EXPECT_EQ(inChild([&] { return nameExists(name) ? 0 : 1; }), 0);
    EXPECT_EQ(inChild([&] {
                NamedLock second;
                return second.create(name) == NamedLock::Result::kExisted ? 0 : 1;
              }),
              0);
  }
  EXPECT_FALSE(nameExists(name));
  // A holder that dies without cleaning up leaves a file but not the name.
  pid_t pid = fork();
  if (pid == 0) {
    NamedLock held;
    held.create(name);
    raise(SIGKILL);
  }
  int st;
  waitpid(pid, &st, 0);
  EXPECT_FALSE(nameExists(name));
  NamedLock again;
  EXPECT_EQ(again.create(name), NamedLock::Result::kCreated);
}

TEST_F(TempDir, TestingANameNeitherCreatesNorKeepsIt) {
  const std::string sibling = "Tarvanel KRX Application Mutex";
  EXPECT_FALSE(nameExists(sibling));
  struct stat st;
  EXPECT_NE(stat((dir_ + "/" + sibling + ".lock").c_str(), &st), 0) << "the test created the name";
  // The sibling runs: the name exists; our test must not keep it alive once it has ended.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    NamedLock s;
    s.create(sibling);
    char c = 1;
    (void)!write(ready[1], &c, 1);
    (void)!read(done[0], &c, 1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_TRUE(nameExists(sibling));
  (void)!write(done[1], &c, 1);
  waitpid(pid, nullptr, 0);
  EXPECT_FALSE(nameExists(sibling));
  NamedLock later;
  EXPECT_EQ(later.create(sibling), NamedLock::Result::kCreated);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(TempDir, NamesThatCannotBeLockFilesFail) {
  NamedLock lock;
  EXPECT_EQ(lock.create("a/b"), NamedLock::Result::kFailed);
  EXPECT_EQ(lock.create(""), NamedLock::Result::kFailed);
  EXPECT_FALSE(nameExists("../x"));
}

#ifdef QZ_HAVE_SETTINGS
TEST_F(TempDir, NotificationSettingFile) {
  const std::string file = dir_ + "/ToolKit.conf";
  const QString qfile = QString::fromStdString(file);
  struct Case {
    const char* name;
    const char* contents;  // nullptr: no file
    uint32_t expected;
  } cases[] = {
      {"missing file", nullptr, 0},
      {"missing key", "[General]\nother=1\n", 0},
      {"zero", "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=0\n", 0},
      {"one", "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=1\n", 1},
      {"any non-zero", "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=7\n", 7},
      {"not an integer", "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=yes\n", 0},
      {"too large for 32 bits", "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=4294967296\n", 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    // A file of its own per case: the settings layer caches what it has read of a file.
    const std::string f = dir_ + "/case" + std::to_string(n++) + ".conf";
    if (c.contents) std::ofstream(f) << c.contents;
    EXPECT_EQ(NotificationSetting(QString::fromStdString(f)).read(), c.expected) << c.name;
  }
  // Written as 0 or 1 and read back; the file carries the key the program reads.
  unlink(file.c_str());
  NotificationSetting s(qfile);
  EXPECT_TRUE(s.write(5));
  EXPECT_EQ(s.read(), 1u);
  EXPECT_TRUE(s.write(0));
  EXPECT_EQ(s.read(), 0u);
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("ToolKit%20Show%20Disable%20Touch%20Message%20Window=0"), std::string::npos) << all;
  // An unreadable file reads as off.
  if (getuid() != 0) {
    s.write(1);
    chmod(file.c_str(), 0);
    EXPECT_EQ(NotificationSetting(qfile).read(), 0u);
  }
}
#endif

}  // namespace
}  // namespace qz::desktop
