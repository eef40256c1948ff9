// qztool package verify FILE: a firmware package's blocks, lengths and checks.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "qz/other.h"
#include "qztool.h"

namespace qztool {

void addPackageCommand(CLI::App& app, int* exitCode) {
  auto* pkg = app.add_subcommand("package", "Firmware package files");
  pkg->require_subcommand(1);
  auto* file = optionStorage<std::string>();
  auto* verify = pkg->add_subcommand("verify", "Check a package's blocks: magic, lengths and both checks (two blocks for .qzc)");
  verify->add_option("FILE", *file, "package file")->required();
  verify->callback([file, exitCode] {
    // What the library cannot say: why the file could not be read at all.
    std::string unreadable;
    struct stat st;
    if (file->size() > 259)
      unreadable = "has a path of " + std::to_string(file->size()) + " characters; packages take at most 259";
    else if (stat(file->c_str(), &st) != 0)
      unreadable = std::string("cannot be opened: ") + strerror(errno);
    else if (S_ISDIR(st.st_mode))
      unreadable = "is a directory";
    if (!unreadable.empty()) {
      fprintf(stderr, "qztool package verify: %s %s\n", file->c_str(), unreadable.c_str());
      *exitCode = kBadFile;
      return;
    }
    FirmwarePackage p{};
    if (!LoadQZFFile(file->c_str(), &p)) {
      ReleaseQZFFile(&p);
      fprintf(stderr, "qztool package verify: %s is not a sound firmware package (missing, a block's magic or check "
              "is wrong, or it ends early); do not write it to a controller\n", file->c_str());
      *exitCode = kBadFile;
      return;
    }
    int n = 0;
    for (const FirmwarePackage* b = &p; b; b = b->next) {
      const uint32_t len = uint32_t(b->header[8]) | uint32_t(b->header[9]) << 8 | uint32_t(b->header[10]) << 16 |
                           uint32_t(b->header[11]) << 24;
      printf("block %d: %u data bytes, checks good\n", ++n, len);
    }
    ReleaseQZFFile(&p);
    printf("%s: sound\n", file->c_str());
  });
}

}  // namespace qztool
