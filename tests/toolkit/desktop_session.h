// A throw-away desktop for end-to-end tests of the tray program: Xvfb, a session bus, the
// XEmbed tray of trayer, and helpers around xdotool, xwininfo and ImageMagick's import.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qz::toolkit::testing {

inline bool onPath(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

// Output of a shell command (stdout only).
inline std::string shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the child's stdout when captured

  bool running() {
    if (pid <= 0) return false;
    int st;
    return waitpid(pid, &st, WNOHANG) == 0;
  }
  // Waits up to ms for the child to end; its exit status, or -1 when it still runs.
  int wait(int ms) {
    if (pid <= 0) return -1;
    for (int t = 0; t <= ms; t += 20) {
      int st;
      pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      if (wait(3000) < 0) {
        kill(pid, SIGKILL);
        wait(3000);
      }
    }
    if (out >= 0) close(out);
    out = -1;
  }
};

// Starts argv; captureOut gives the child's stdout as a pipe, else it goes to logFile.
inline Child spawn(const std::vector<std::string>& argv, bool captureOut, const std::string& logFile) {
  Child c;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int pipeFd[2] = {-1, -1};
  if (captureOut && pipe2(pipeFd, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  posix_spawn_file_actions_addopen(&fa, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (posix_spawnp(&c.pid, args[0], &fa, nullptr, args.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (pipeFd[1] >= 0) close(pipeFd[1]);
  c.out = pipeFd[0];
  return c;
}

// One line from a child's stdout within ms.
inline std::string readLine(int fd, int ms) {
  std::string line;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char ch;
    if (read(fd, &ch, 1) != 1) break;
    if (ch == '\n') return line;
    line += ch;
  }
  return line;
}

// Polls cond every 20 ms for up to ms.
inline bool eventually(int ms, const std::function<bool()>& cond) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  return cond();
}

class DesktopSession {
 public:
  std::string dir;      // private temporary directory
  std::string skipWhy;  // non-empty when the desktop could not be made
  Child xvfb, bus, tray;

  DesktopSession() {
    for (const char* tool : {"Xvfb", "dbus-daemon", "trayer", "xdotool", "xwininfo", "import"}) {
      if (!onPath(tool)) {
        skipWhy = std::string(tool) + " is not installed";
        return;
      }
    }
    char tmpl[] = "/tmp/qz-toolkit-e2e-XXXXXX";
    if (!mkdtemp(tmpl)) {
      skipWhy = "no temporary directory";
      return;
    }
    dir = tmpl;
    mkdir((dir + "/run").c_str(), 0700);
    mkdir((dir + "/config").c_str(), 0700);
    xvfb = spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, true,
                 dir + "/xvfb.log");
    std::string display = xvfb.out >= 0 ? readLine(xvfb.out, 10000) : "";
    if (display.empty()) {
      skipWhy = "Xvfb cannot start here (see " + dir + "/xvfb.log)";
      xvfb.stop();
      return;
    }
    setenv("DISPLAY", (":" + display).c_str(), 1);
    bus = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, true,
                dir + "/bus.log");
    std::string address = bus.out >= 0 ? readLine(bus.out, 10000) : "";
    if (address.empty()) {
      skipWhy = "no session bus could be started";
      return;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    startTray();
    if (!eventually(10000, [] { return !shell("xdotool search --name '^panel$' 2>/dev/null").empty(); }))
      skipWhy = "trayer did not start";
  }
  ~DesktopSession() {
    tray.stop();
    bus.stop();
    xvfb.stop();
    if (!dir.empty() && !getenv("QZ_KEEP_E2E")) shell("rm -rf '" + dir + "'");
  }

  void startTray() {
    tray = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                  "--transparent", "false", "--tint", "0xC0C0C0", "--SetDockType", "true"},
                 false, dir + "/trayer.log");
  }

  // Visible windows whose name matches the extended regular expression.
  static std::vector<std::string> windows(const std::string& nameRegex) {
    std::string out = shell("xdotool search --onlyvisible --name '" + nameRegex + "' 2>/dev/null");
    std::vector<std::string> ids;
    size_t at = 0;
    while (at < out.size()) {
      size_t nl = out.find('\n', at);
      if (nl == std::string::npos) nl = out.size();
      if (nl > at) ids.push_back(out.substr(at, nl - at));
      at = nl + 1;
    }
    return ids;
  }

  struct Geometry {
    int x = 0, y = 0, w = 0, h = 0;
  };
  static Geometry geometry(const std::string& window) {
    Geometry g;
    std::string info = shell("xwininfo -id " + window + " 2>/dev/null");
    auto num = [&](const char* key) {
      size_t at = info.find(key);
      return at == std::string::npos ? 0 : atoi(info.c_str() + at + strlen(key));
    };
    g.x = num("Absolute upper-left X:");
    g.y = num("Absolute upper-left Y:");
    g.w = num("Width:");
    g.h = num("Height:");
    return g;
  }
  static void screenshot(const std::string& file, const Geometry& g) {
    char crop[64];
    snprintf(crop, sizeof crop, "%dx%d+%d+%d", g.w, g.h, g.x, g.y);
    shell("import -window root -crop " + std::string(crop) + " +repage '" + file + "' 2>/dev/null");
  }
};

}  // namespace qz::toolkit::testing
