#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace qz::other {
namespace {

// Creates the directory of path, one level only: "/file" has no directory to make, and a
// failure (it exists, or cannot be made) is left to the open that follows.
void makeDirectory(const char* path) {
  char dir[kPathSize];
  strcpy(dir, path);
  for (size_t i = strlen(dir); i-- > 1;) {
    if (dir[i] == '/') {
      dir[i] = '\0';
      mkdir(dir, 0777);
      break;
    }
  }
}

std::atomic<unsigned> scratchCounter{0};

}  // namespace

bool pathUsable(const char* path) { return path && *path && strnlen(path, kPathSize) < kPathSize; }

FILE* openForRead(const char* path) {
  if (!pathUsable(path)) return nullptr;
  FILE* f = text::open(path, "r");
  struct stat st;
  if (f && (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode))) {
    fclose(f);
    return nullptr;
  }
  return f;
}

OutputFile::OutputFile(const char* path, Mode mode) : mode_(mode) {
  if (!pathUsable(path)) return;
  if (mode != kAppendExisting) makeDirectory(path);
  strcpy(target_, path);
  struct stat st;
  const bool exists = stat(path, &st) == 0;
  regular_ = !exists || S_ISREG(st.st_mode);
  if (exists && S_ISDIR(st.st_mode)) return;
  if (mode == kReplace) {
    if (exists && regular_) {
      // Through a link the file it names is replaced, the link stays; and a file this
      // process may not write is not replaced either.
      struct stat link;
      if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && !realpath(path, target_)) return;
      int probe = ::open(target_, O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (probe < 0) return;
      close(probe);
    }
    if (regular_ && openScratch(target_)) {
      if (exists) {
        // The new file takes the old one's permissions and, where allowed, its owner.
        if (fchmod(fileno(f_), st.st_mode & 07777) != 0 || fchown(fileno(f_), st.st_uid, st.st_gid) != 0) {
          // The defaults of a new file then; the text is what matters.
        }
      }
    } else {
      scratch_[0] = '\0';
      f_ = text::open(target_, "w");
    }
  } else {
    if (mode == kAppendExisting && !exists) return;
    oldSize_ = exists && regular_ ? long(st.st_size) : -1;
    f_ = text::open(path, "a");
    // Another program may have created the file between the two looks: then it is not ours
    // to remove.
    if (f_ && oldSize_ < 0 && regular_ && fstat(fileno(f_), &st) == 0 && st.st_size > 0) oldSize_ = long(st.st_size);
    // The file is cut back through a descriptor of its own, after the stream is closed:
    // closing a stream that failed tries its buffer again.
    if (f_ && regular_) cut_ = fcntl(fileno(f_), F_DUPFD_CLOEXEC, 0);
  }
  out_ = text::Writer(f_);
}

bool OutputFile::openScratch(const char* target) {
  const char* slash = strrchr(target, '/');
  const int dirLength = slash ? int(slash - target + 1) : 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    int n = snprintf(scratch_, sizeof scratch_, "%.*s.qz-%ld-%u.tmp", dirLength, target, long(getpid()),
                     scratchCounter.fetch_add(1));
    if (n < 0 || size_t(n) >= sizeof scratch_) break;
    int fd = ::open(scratch_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) break;
    f_ = fdopen(fd, "wb");
    if (f_) return true;
    close(fd);
    unlink(scratch_);
    break;
  }
  scratch_[0] = '\0';
  return false;
}

void OutputFile::undo() {
  if (mode_ == kReplace) {
    if (scratch_[0]) unlink(scratch_);
    scratch_[0] = '\0';
    return;
  }
  if (!regular_ || cut_ < 0) return;
  if (oldSize_ < 0) {
    unlink(target_);
  } else if (ftruncate(cut_, oldSize_) != 0) {
    // Nothing more can be done; the writer reports the failure either way.
  }
}

bool OutputFile::finish() {
  if (!f_) return false;
  bool ok = out_.ok() && fflush(f_) == 0 && !ferror(f_);
  // The new file is on the disk before it takes the old one's place.
  if (ok && scratch_[0] && fsync(fileno(f_)) != 0) ok = false;
  ok = out_.close() && ok;
  f_ = nullptr;
  if (ok && scratch_[0] && rename(scratch_, target_) != 0) ok = false;
  if (!ok) undo();
  scratch_[0] = '\0';
  closeCut();
  return ok;
}

void OutputFile::closeCut() {
  if (cut_ >= 0) close(cut_);
  cut_ = -1;
}

OutputFile::~OutputFile() {
  if (!f_) return;
  fclose(f_);
  f_ = nullptr;
  undo();
  closeCut();
}

bool readToken(text::Reader& in, char* buf, size_t cap) {
  size_t n = 0;
  bool ended = false;
  for (;;) {
    int c = in.get();
    if (c == EOF) break;
    if (c == ',' || c == '\n') {
      ended = true;
      break;
    }
    if (n == 0 && text::isSpace(c)) continue;
    if (n + 1 < cap) buf[n++] = char(c);
  }
  while (n > 0 && text::isSpace(static_cast<unsigned char>(buf[n - 1]))) --n;
  buf[n] = '\0';
  return ended;
}

}  // namespace qz::other
