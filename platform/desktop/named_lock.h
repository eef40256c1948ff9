// Named objects of the user's desktop session. A name exists exactly while some process
// holds an exclusive flock on "$XDG_RUNTIME_DIR/<name>.lock" (fallback /tmp/qz-<uid>/), so
// it disappears with its holder however that holder ends.
#pragma once
#include <string>

namespace qz::desktop {

// Directory of the lock files; created (0700) when missing. Empty when none can be had.
std::string lockDirectory();

class NamedLock {
 public:
  enum class Result { kCreated, kExisted, kFailed };

  NamedLock() = default;
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  ~NamedLock();

  // Creates the name and holds it until release() or the process ends. kExisted when
  // another holder has it; kFailed when no lock file can be made (the caller treats that
  // as "did not exist").
  Result create(const std::string& name);
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True when another holder has the name right now. Never creates the name: an absent
// lock file means the name does not exist, and a lock taken for the test is dropped at once.
bool nameExists(const std::string& name);

}  // namespace qz::desktop
