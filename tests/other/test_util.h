// Helpers of the data file tests: a temporary directory per test, whole-file reads and
// writes, and a switch to a locale whose decimal point is a comma.
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qztest {

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qz-other-XXXXXX";
    if (!mkdtemp(tmpl.data())) tmpl.clear();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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
  return stat(path.c_str(), &st) == 0;
}

inline std::string fixture(const std::string& name) {
  return readFile(std::string(QZ_FIXTURE_DIR) + "/" + name);
}

// Switches the process to de_DE.UTF-8 (decimal comma) for the life of the object, generating
// the locale into the build tree when the machine has not got it. available() is false when
// neither works.
class GermanLocale {
 public:
  GermanLocale() {
    available_ = tryLocale();
    if (!available_ && generate()) available_ = tryLocale();
  }
  ~GermanLocale() { setlocale(LC_ALL, "C"); }
  bool available() const { return available_; }

 private:
  static bool tryLocale() {
    if (!setlocale(LC_ALL, "de_DE.UTF-8")) return false;
    const lconv* lc = localeconv();
    return lc && lc->decimal_point && std::string(lc->decimal_point) == ",";
  }
  static bool generate() {
    const std::string dir = QZ_TEST_LOCALE_DIR;
    const std::string target = dir + "/de_DE.UTF-8";
    if (!exists(target)) {
      // Built beside the final place and renamed, so parallel tests never see half a locale.
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      std::string tmp = target + ".tmp." + std::to_string(getpid());
      std::string cmd = "localedef -i de_DE -f UTF-8 '" + tmp + "' >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0 || rename(tmp.c_str(), target.c_str()) != 0) {
        std::filesystem::remove_all(tmp, ec);
        if (!exists(target)) return false;
      }
    }
    setenv("LOCPATH", dir.c_str(), 1);
    return true;
  }
  bool available_ = false;
};

}  // namespace qztest
