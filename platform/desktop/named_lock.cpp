#include "desktop/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qz::desktop {
namespace {

std::string lockPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  std::string dir = lockDirectory();
  return dir.empty() ? std::string() : dir + "/" + name + ".lock";
}

bool privateDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  // Another user's directory in /tmp must not decide about our names.
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

}  // namespace

std::string lockDirectory() {
  const char* run = getenv("XDG_RUNTIME_DIR");
  if (run && *run == '/') {
    struct stat st;
    if (stat(run, &st) == 0 && S_ISDIR(st.st_mode)) return run;
  }
  std::string dir = "/tmp/qz-" + std::to_string(getuid());
  return privateDirectory(dir) ? dir : std::string();
}

NamedLock::~NamedLock() { release(); }

NamedLock::Result NamedLock::create(const std::string& name) {
  release();
  std::string path = lockPath(name);
  if (path.empty()) return Result::kFailed;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::kFailed;
  int r;
  do r = flock(fd, LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  if (r != 0) {
    int e = errno;
    close(fd);
    return e == EWOULDBLOCK ? Result::kExisted : Result::kFailed;
  }
  fd_ = fd;
  return Result::kCreated;
}

void NamedLock::release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool nameExists(const std::string& name) {
  std::string path = lockPath(name);
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  int r;
  do r = flock(fd, LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  bool exists = r != 0 && errno == EWOULDBLOCK;
  close(fd);  // drops a lock taken for the test
  return exists;
}

}  // namespace qz::desktop
