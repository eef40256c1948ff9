// Helpers of the bad-file tests: a scratch directory, files of every bad shape (cut, binary,
// sparse and huge, not UTF-8), paths of a given length, and scratch file systems that are
// full or read-only (a private mount namespace, so nothing outside this process sees them).
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

namespace badfiles {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// A file of `size` bytes that takes no room: zeros, with `head` at its start.
inline bool sparseFile(const std::string& path, off_t size, const std::string& head = "") {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, head.data(), head.size()) == ssize_t(head.size()) && ftruncate(fd, size) == 0;
  close(fd);
  return ok;
}

// Bytes from a fixed seed: NULs, CRs, commas, digits and bytes above 0x7F among them.
inline std::string binary(size_t n, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(gen() & 0xFF);
  return s;
}

// Text that is not UTF-8: Latin-1 and lone continuation bytes between digits and commas.
inline std::string notUtf8() { return "\xff\xfe" "12,\xe9\xe8\x80,\xc3(,3\xa0\xa1 4\xf8\x88\x80\x80\x80\n"; }

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qz-badfiles-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A path of exactly `length` characters below dir: dir/<d>/<name>, the directory <d> not
// made yet (the writers make one level). Empty when dir is too long for it.
inline std::string pathOfLength(const std::string& dir, size_t length) {
  if (length < dir.size() + 4) return "";
  // Components stay within the system's 255 characters; 4096 gets more of them.
  std::string tail;
  size_t left = length - dir.size() - 1;  // after the slash that follows dir
  while (left > 500) {
    tail += std::string(150, 'd') + "/";
    left -= 151;
  }
  const size_t dirLength = left / 2;
  tail += std::string(dirLength, 'd') + "/" + std::string(left - dirLength - 1, 'f');
  return dir + "/" + tail;
}

// Scratch file systems mounted in a mount namespace of this process only. available() is
// false (and why() says why) where the machine allows no mounts.
class ScratchMounts {
 public:
  ScratchMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
      why_ = std::string("no mount namespace: ") + strerror(errno);
      return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why_ = std::string("mounts cannot be made private: ") + strerror(errno);
      return;
    }
    available_ = true;
  }
  bool available() const { return available_; }
  const std::string& why() const { return why_; }

  // A tmpfs of `kib` KiB at dir.
  bool tmpfs(const std::string& dir, int kib) {
    std::string opts = "size=" + std::to_string(kib) + "k,mode=0777";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
      why_ = std::string("tmpfs cannot be mounted: ") + strerror(errno);
      return false;
    }
    return true;
  }
  bool readOnly(const std::string& dir) { return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
  // Fills the file system of dir until no page is left.
  static void fill(const std::string& dir) {
    int fd = open((dir + "/.filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    while (write(fd, block, 1) > 0) {
    }
    close(fd);
  }

 private:
  bool available_ = false;
  std::string why_;
};

}  // namespace badfiles
