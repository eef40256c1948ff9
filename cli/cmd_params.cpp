// qztool params show|save|load|defaults|diff: the controller's parameter lists. `load` is a
// guarded write: backup first, write, store, read back and compare.
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qz/other.h"
#include "qztool.h"

namespace qztool {
namespace {

struct Lists {
  ParaListInfo info{};
  std::vector<uint8_t> image;
  int slaves = 0;
};

int total(const ParaListInfo& i) { return i.apLength + i.bootLength + i.debugLength + QZ_MAX_SLAVES * i.slaveLength; }

bool readLists(const Controller& c, Lists* l) {
  if (!GetParaListInfo(c.handle, &l->info)) return false;
  l->image.assign(size_t(total(l->info)) + 1, 0);
  FWVersionInfo ver{};
  if (GetFWVersion(c.handle, &ver)) l->slaves = ver.slaveCount < 0 ? 0 : ver.slaveCount;
  return GetParaList(c.handle, &l->info, l->image.data());
}

void printSection(const char* title, const uint8_t* b, int n) {
  printf("%s\n", title);
  for (int off = 0; off < n; off += 16) {
    printf("\n");
    for (int j = 0; j < 16; ++j) printf("0x%02X, ", off + j < n ? b[off + j] : 0);
  }
  printf("\n");
}

void show(const Lists& l) {
  const ParaListInfo& i = l.info;
  const uint8_t* p = l.image.data();
  if (i.apLength && (i.sections & 0x80)) printSection("AP Parameter :", p, i.apLength);
  if (i.bootLength && (i.sections & 0x40)) printSection("\nBoot Parameter :", p + i.apLength, i.bootLength);
  if (i.debugLength && (i.sections & 0x20))
    printSection("\nDebug Parameter :", p + i.apLength + i.bootLength, i.debugLength);
  int off = i.apLength + i.bootLength + i.debugLength;
  for (int k = 1; k <= l.slaves && k <= QZ_MAX_SLAVES; ++k) {
    if (!(i.sections & (0x10 >> k))) continue;
    if (i.slaveLength) {
      char title[32];
      snprintf(title, sizeof title, "\nSlave%d Parameter :", k);
      printSection(title, p + off, i.slaveLength);
    }
    off += i.slaveLength;
  }
}

// The library takes paths of at most this many characters.
constexpr size_t kMaxPath = 259;
// A parameter line holds at most 255 items of four characters; a much longer line is not one.
constexpr size_t kMaxLine = 4096;

// At most 16 characters of an item for a message, bytes that are not printable as \xNN.
std::string shown(const std::string& item) {
  std::string out;
  for (size_t i = 0; i < item.size() && i < 16; ++i) {
    const unsigned char c = static_cast<unsigned char>(item[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return item.size() > 16 ? out + "..." : out;
}

// One line of at most kMaxLine characters; false at the end of the file or a longer line.
bool readLine(std::istream& in, std::string* line, bool* tooLong) {
  line->clear();
  *tooLong = false;
  char c;
  while (in.get(c)) {
    if (c == '\n') return true;
    if (line->size() == kMaxLine) {
      *tooLong = true;
      return false;
    }
    *line += c;
  }
  return !line->empty();
}

// A parameter file must hold exactly the controller's two list lengths, each value a byte:
// the library would store missing values as 0, and writing those zeros into a controller
// would wreck it.
bool checkFile(const std::string& path, const ParaListInfo& info, std::string* why) {
  if (path.size() > kMaxPath) {
    *why = "has a path of " + std::to_string(path.size()) + " characters; parameter files take at most " +
           std::to_string(kMaxPath);
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *why = "is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = std::string("cannot be opened: ") + strerror(errno);
    return false;
  }
  std::string line;
  const int want[2] = {info.apLength, info.bootLength};
  const char* names[2] = {"application", "boot"};
  for (int k = 0; k < 2; ++k) {
    bool tooLong = false;
    if (!readLine(in, &line, &tooLong)) line.clear();
    if (tooLong) {
      *why = "line " + std::to_string(k + 1) + " is longer than " + std::to_string(kMaxLine) +
             " characters, so it is no parameter line";
      return false;
    }
    std::istringstream items(line);
    std::string item;
    int n = 0;
    while (items >> item) {
      char* end = nullptr;
      long v = strtol(item.c_str(), &end, 10);
      if (*end || v < 0 || v > 255) {
        *why = "line " + std::to_string(k + 1) + " holds '" + shown(item) + "', not a byte value 0 to 255";
        return false;
      }
      ++n;
    }
    if (n != want[k]) {
      *why = "line " + std::to_string(k + 1) + " holds " + std::to_string(n) + " " + names[k] +
             " values, the controller's list has " + std::to_string(want[k]);
      return false;
    }
  }
  return true;
}

std::string backupName(const std::string& file) {
  char stamp[32];
  time_t now = time(nullptr);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime(&now));
  return file + ".backup-" + stamp;
}

// Lists the application and boot bytes that differ; returns their count.
int compare(const ParaListInfo& i, const uint8_t* want, const uint8_t* have, const char* wantName,
            const char* haveName) {
  int n = 0;
  for (int k = 0; k < i.apLength + i.bootLength; ++k) {
    if (want[k] == have[k]) continue;
    const bool ap = k < i.apLength;
    printf("%s[0x%02X]: %s 0x%02X, %s 0x%02X\n", ap ? "AP" : "Boot", ap ? k : k - i.apLength, wantName, want[k],
           haveName, have[k]);
    ++n;
  }
  return n;
}

int badFile(const std::string& path, const std::string& why) {
  fprintf(stderr, "qztool params: parameter file %s %s; nothing was written\n", path.c_str(), why.c_str());
  return kBadFile;
}

int runLoad(const Controller& c, const std::string& path, std::string backup) {
  Lists before;
  if (!readLists(c, &before)) return commandFailed(c, "params load", "reading the parameter lists");
  std::string why;
  if (!checkFile(path, before.info, &why)) return badFile(path, why);
  std::vector<uint8_t> want = before.image;
  if (!LoadParameterFile(path.c_str(), &before.info, want.data())) return badFile(path, "cannot be read");
  if (backup.empty()) backup = backupName(path);
  if (!SaveParameterFile(backup.c_str(), &before.info, before.image.data())) {
    fprintf(stderr, "qztool params load: cannot write the backup file %s; nothing was written (choose another with "
            "--backup)\n", backup.c_str());
    return kFailure;
  }
  printf("backup of the present lists: %s\n", backup.c_str());
  ParaListInfo write = before.info;
  write.sections &= 0xC0;  // the file holds the application and boot lists only
  if (write.apLength == 0) write.sections &= ~0x80;
  if (write.bootLength == 0) write.sections &= ~0x40;
  Progress progress("writing parameters", 3);
  const bool wrote = SetParaList(c.handle, &write, want.data());
  progress.step();
  const bool stored = wrote && (!(write.sections & 0x80) || FlushParameter(c.handle, 1)) &&
                      (!(write.sections & 0x40) || FlushParameter(c.handle, 0));
  progress.step();
  Lists after;
  const bool reread = readLists(c, &after) && after.image.size() == want.size();
  progress.step();
  if (!wrote || !stored || !reread) {
    fprintf(stderr, "qztool params load: %s failed on %s (%s); the controller's lists may be partly changed. Restore "
            "them with: qztool params load %s\n", !wrote ? "writing the lists" : !stored ? "storing the lists"
            : "reading the lists back", c.model.c_str(), c.path.c_str(), backup.c_str());
    return kFailure;
  }
  const int differ = compare(write, want.data(), after.image.data(), "wrote", "reads");
  if (differ) {
    fprintf(stderr, "qztool params load: %d byte%s did not stick on %s (%s); the controller now holds a mix of old "
            "and new lists. Try again, or restore with: qztool params load %s\n", differ, differ == 1 ? "" : "s",
            c.model.c_str(), c.path.c_str(), backup.c_str());
    return kFailure;
  }
  printf("wrote, stored and verified %d application and %d boot bytes from %s\n", write.apLength, write.bootLength,
         path.c_str());
  return kOk;
}

}  // namespace

void addParamsCommand(CLI::App& app, int* exitCode) {
  auto* params = app.add_subcommand("params", "The controller's parameter lists");
  params->require_subcommand(1);
  auto* choice = optionStorage<DeviceChoice>();
  auto* file = optionStorage<std::string>();
  auto* backup = optionStorage<std::string>();
  auto* list = optionStorage<std::string>();

  auto* show = params->add_subcommand("show", "Print the lists as the firmware information log does");
  addDeviceOptions(show, choice);
  show->callback([choice, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "params show", &c))) return;
    Lists l;
    if (!readLists(c, &l)) {
      *exitCode = commandFailed(c, "params show", "reading the parameter lists");
      return;
    }
    ::qztool::show(l);
  });

  auto* save = params->add_subcommand("save", "Save the application and boot lists to a parameter file");
  addDeviceOptions(save, choice);
  save->add_option("FILE", *file, "parameter file to write")->required();
  save->callback([choice, file, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "params save", &c))) return;
    Lists l;
    if (!readLists(c, &l)) {
      *exitCode = commandFailed(c, "params save", "reading the parameter lists");
      return;
    }
    if (!SaveParameterFile(file->c_str(), &l.info, l.image.data())) {
      fprintf(stderr, "qztool params save: cannot write %s (check the directory and its permissions)\n", file->c_str());
      *exitCode = kFailure;
      return;
    }
    printf("saved %d application and %d boot bytes to %s\n", l.info.apLength, l.info.bootLength, file->c_str());
  });

  auto* load = params->add_subcommand(
      "load", "Write a parameter file into the controller: backup, write, store, read back, compare");
  addDeviceOptions(load, choice);
  load->add_option("FILE", *file, "parameter file to write")->required();
  load->add_option("--backup", *backup, "where to save the present lists first (default FILE.backup-<time>)");
  load->footer("The file must hold exactly as many values as the controller's lists. Every byte that reads back\n"
               "differently is listed as AP[index] or Boot[index], and the exit code is 1.\n");
  load->callback([choice, file, backup, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "params load", &c))) return;
    *exitCode = runLoad(c, *file, *backup);
  });

  auto* defaults = params->add_subcommand("defaults", "Reload the factory defaults of the application or boot list");
  addDeviceOptions(defaults, choice);
  defaults->add_option("LIST", *list, "ap or boot")->required()->check(CLI::IsMember({"ap", "boot"}));
  defaults->add_option("--backup", *backup, "where to save the present lists first (default qz-params.backup-<time>)");
  defaults->callback([choice, list, backup, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "params defaults", &c))) return;
    Lists l;
    if (!readLists(c, &l)) {
      *exitCode = commandFailed(c, "params defaults", "reading the parameter lists");
      return;
    }
    const std::string name = backup->empty() ? backupName("qz-params") : *backup;
    if (!SaveParameterFile(name.c_str(), &l.info, l.image.data())) {
      fprintf(stderr, "qztool params defaults: cannot write the backup file %s; nothing was changed\n", name.c_str());
      *exitCode = kFailure;
      return;
    }
    printf("backup of the present lists: %s\n", name.c_str());
    if (!ReloadDefaultParameter(c.handle, *list == "ap" ? 1 : 0)) {
      *exitCode = commandFailed(c, "params defaults", "reloading the defaults");
      fprintf(stderr, "qztool params defaults: restore the lists with: qztool params load %s\n", name.c_str());
      return;
    }
    printf("%s list reloaded from its defaults\n", list->c_str());
  });

  auto* diff = params->add_subcommand("diff", "Compare a parameter file with the controller's lists");
  addDeviceOptions(diff, choice);
  diff->add_option("FILE", *file, "parameter file")->required();
  diff->footer("Prints one line per differing byte. Exit code 0: the same; 1: they differ.\n");
  diff->callback([choice, file, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "params diff", &c))) return;
    Lists l;
    if (!readLists(c, &l)) {
      *exitCode = commandFailed(c, "params diff", "reading the parameter lists");
      return;
    }
    std::string why;
    if (!checkFile(*file, l.info, &why)) {
      fprintf(stderr, "qztool params diff: parameter file %s %s\n", file->c_str(), why.c_str());
      *exitCode = kBadFile;
      return;
    }
    std::vector<uint8_t> want = l.image;
    if (!LoadParameterFile(file->c_str(), &l.info, want.data())) {
      fprintf(stderr, "qztool params diff: parameter file %s cannot be read\n", file->c_str());
      *exitCode = kBadFile;
      return;
    }
    *exitCode = compare(l.info, want.data(), l.image.data(), "file", "controller") ? kFailure : kOk;
  });
}

}  // namespace qztool
