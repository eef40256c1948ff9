// qzsim: serves simulated KRX controllers until SIGINT or SIGTERM.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzsim/simulator.h"

namespace {

const char* kExample = R"(
Controllers:
  --hid FAMILY[:PRODUCT[:MODEL[:LETTER[:TAIL]]]]   e.g. krxm  or  krxm:7480:1234:A  or  2k:2150:2150
      served as the virtual HID device hid#vid_7a3d&pid_PRODUCT#TAIL (product 7480 or 2150,
      model QZ4321A, TAIL simN by default); products 7413 and 7416 number their reports
      with id 1.
  --driver NAME[:MODEL[:LETTER]]               e.g. QZUKRXM_API0:1234:A  or  QZU2K_API1
      served as a vendor-driver device object; the family follows the name (QZU2K_, QZS2K_).
  --serial FAMILY[:MODEL[:LETTER]][@LINK]      e.g. krxm:1234:A@/tmp/com3
      served on a pseudo-terminal; LINK is made a symlink to it.
  --scenario FILE                              controllers described in a file
      (format and ready files in sim/scenarios/).

Example:
  qzsim --hid krxm:7480:1234:A --driver QZUKRXM_API0 --serial krxm:4321@/tmp/com3
  # then, in another shell, paste the export lines it prints, e.g.
  export QZ_VIRTUAL_HID_DIR=/tmp/qzsim-Ab12Cd/hid QZ_DRIVER_DIR=/tmp/qzsim-Ab12Cd/driver QZ_COM3=/tmp/com3
  qztool list

Touch state at run time: kill -USR1 <pid> lays a palm on every panel (touch disabled, report
8A), kill -USR2 <pid> lifts it (touch enabled, report 0A).
)";

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    size_t j = s.find(sep, i);
    out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) return out;
    i = j + 1;
  }
}

[[noreturn]] void bad(const std::string& what, const std::string& arg) {
  throw CLI::ValidationError(what + ": \"" + arg + "\"");
}

uint16_t modelNumber(const std::string& s, const std::string& arg) {
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (s.empty() || *end || v > 65535) bad("model number 0 to 65535 expected", arg);
  return uint16_t(v);
}

uint8_t letterCode(const std::string& s, const std::string& arg) {
  if (s.empty() || s == "-") return 0;
  if (s.size() != 1 || s[0] < 'A' || s[0] > 'Z') bad("model letter A to Z expected", arg);
  return uint8_t(s[0] - 0x40);
}

qzsim::Family family(const std::string& s, const std::string& arg) {
  if (s == "krxm" || s == "KRXM") return qzsim::Family::Krxm;
  if (s == "2k" || s == "2K") return qzsim::Family::TwoK;
  bad("family krxm or 2k expected", arg);
}

qzsim::Controller hidController(const std::string& arg, int index) {
  auto p = split(arg, ':');
  if (p.empty() || p.size() > 5) bad("FAMILY[:PRODUCT[:MODEL[:LETTER[:TAIL]]]] expected", arg);
  qzsim::Controller c = family(p[0], arg) == qzsim::Family::TwoK ? qzsim::Controller::twoK() : qzsim::Controller{};
  if (p.size() > 1 && !p[1].empty()) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(p[1].c_str(), &end, 16);
    if (p[1].size() != 4 || *end) bad("product id of four hexadecimal digits expected", arg);
    c.productId = uint16_t(pid);
  }
  if (p.size() > 2) {
    c.chips[0].modelNumber = modelNumber(p[2], arg);
    c.chips[0].modelLetter = p.size() > 3 ? letterCode(p[3], arg) : 0;
  }
  c.tail = p.size() > 4 && !p[4].empty() ? p[4] : "sim" + std::to_string(index);
  return c;
}

qzsim::Controller driverController(const std::string& arg, std::string* name) {
  auto p = split(arg, ':');
  if (p.empty() || p.size() > 3 || p[0].empty()) bad("NAME[:MODEL[:LETTER]] expected", arg);
  *name = p[0];
  bool twoK = name->rfind("QZU2K_API", 0) == 0 || name->rfind("QZS2K_API", 0) == 0;
  bool krxm = name->rfind("QZUKRXM_API", 0) == 0 || name->rfind("QZSKRXM_API", 0) == 0;
  if (!twoK && !krxm) bad("object name QZUKRXM_API<n>, QZU2K_API<n>, QZSKRXM_API<n> or QZS2K_API<n> expected", arg);
  qzsim::Controller c = twoK ? qzsim::Controller::twoK() : qzsim::Controller{};
  if (p.size() > 1) c.chips[0].modelNumber = modelNumber(p[1], arg);
  c.chips[0].modelLetter = p.size() > 2 ? letterCode(p[2], arg) : (twoK ? 0 : c.chips[0].modelLetter);
  return c;
}

qzsim::Controller serialController(const std::string& arg, std::string* link) {
  size_t at = arg.find('@');
  *link = at == std::string::npos ? "" : arg.substr(at + 1);
  auto p = split(arg.substr(0, at), ':');
  if (p.empty() || p.size() > 3) bad("FAMILY[:MODEL[:LETTER]][@LINK] expected", arg);
  qzsim::Controller c = family(p[0], arg) == qzsim::Family::TwoK ? qzsim::Controller::twoK() : qzsim::Controller{};
  if (p.size() > 1) {
    c.chips[0].modelNumber = modelNumber(p[1], arg);
    c.chips[0].modelLetter = p.size() > 2 ? letterCode(p[2], arg) : 0;
  }
  return c;
}

std::string modelName(const qzsim::Controller& c) {
  char buf[24];
  const qzsim::Chip& m = c.chips[0];
  if (c.family == qzsim::Family::Krxm && m.modelLetter)
    snprintf(buf, sizeof buf, "QZ%u%c", unsigned(m.modelNumber & 0x7FFF), char(m.modelLetter + 0x40));
  else
    snprintf(buf, sizeof buf, "QZ%u", unsigned(m.modelNumber & 0x7FFF));
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qzsim: simulated Tarvanel KRX touch controllers for the tool kit, served on virtual HID\n"
               "sockets, vendor-driver device objects and pseudo-terminal serial lines until SIGINT/SIGTERM."};
  app.footer(kExample);
  std::string dir;
  std::vector<std::string> hids, drivers, serials, scenarios;
  std::string driverVersion;
  app.add_option("-d,--dir", dir, "Directory for the sockets (hid/ and driver/ below it); default: a fresh "
                                  "private directory under $TMPDIR, removed on exit");
  app.add_option("--hid", hids, "A virtual HID controller FAMILY[:PRODUCT[:MODEL[:LETTER[:TAIL]]]]");
  app.add_option("--driver", drivers, "A device object NAME[:MODEL[:LETTER]]");
  app.add_option("--serial", serials, "A serial controller FAMILY[:MODEL[:LETTER]][@LINK]");
  app.add_option("--scenario", scenarios, "A scenario file")->check(CLI::ExistingFile);
  app.add_option("--driver-version", driverVersion, "Version the device objects report, MAJOR.MINOR.THIRD "
                                                    "(default 2.4.0; 2.3.0 makes clients use the older codes)");
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by sigwait below; the serving threads inherit the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGUSR1);
  sigaddset(&sigs, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  try {
    qzsim::SimulatorOptions o;
    o.dir = dir;
    qzsim::Simulator sim(o);
    std::vector<std::pair<qzsim::Device*, std::string>> served;
    int index = 0;
    for (const auto& s : hids) {
      qzsim::Controller c = hidController(s, index++);
      served.emplace_back(&sim.addHid(c), modelName(c));
    }
    for (const auto& s : drivers) {
      std::string name;
      qzsim::Controller c = driverController(s, &name);
      served.emplace_back(&sim.addDriverObject(c, name), modelName(c));
    }
    for (const auto& s : serials) {
      std::string link;
      qzsim::Controller c = serialController(s, &link);
      served.emplace_back(&sim.addSerial(c, link), modelName(c));
    }
    for (const auto& f : scenarios)
      for (qzsim::Device* d : sim.loadScenario(f)) {
        qzsim::Controller c;
        d->modify([&](qzsim::ControllerModel& m) { c = m.desc(); });
        served.emplace_back(d, modelName(c));
      }
    if (!driverVersion.empty()) {
      auto v = split(driverVersion, '.');
      if (v.size() != 3) throw CLI::ValidationError("--driver-version is MAJOR.MINOR.THIRD");
      for (auto& [d, name] : served)
        d->setDriverVersion(std::atoi(v[0].c_str()), std::atoi(v[1].c_str()), std::atoi(v[2].c_str()));
    }
    if (served.empty()) {
      fprintf(stderr, "qzsim: no controllers given (see --help)\n");
      return 2;
    }
    sim.start();
    int com = 1;
    std::string exports;
    bool anyHid = false, anyDriver = false;
    for (auto& [d, name] : served) {
      switch (d->transport()) {
        case qzsim::Transport::Hid:
          printf("hid     %-8s %s\n", name.c_str(), d->path().c_str());
          anyHid = true;
          break;
        case qzsim::Transport::Driver:
          printf("driver  %-8s %s\n", name.c_str(), d->path().c_str());
          anyDriver = true;
          break;
        case qzsim::Transport::Serial:
          printf("serial  %-8s %s%s%s\n", name.c_str(), d->endpoint().c_str(), d->link().empty() ? "" : " <- ",
                 d->link().c_str());
          {
            // A link named like com3 suggests its port number; otherwise count from 1.
            std::string l = d->link();
            size_t k = l.size();
            while (k > 0 && isdigit(uint8_t(l[k - 1]))) --k;
            std::string n = k < l.size() && l.size() - k < 6 ? l.substr(k) : std::to_string(com);
            ++com;
            exports += " QZ_COM" + n + "=" + d->path();
          }
          break;
      }
    }
    if (anyHid) exports = " QZ_VIRTUAL_HID_DIR=" + sim.hidDir() + exports;
    if (anyDriver) exports = " QZ_DRIVER_DIR=" + sim.driverDir() + exports;
    printf("export%s\n", exports.c_str());
    fflush(stdout);
    // SIGUSR1 lays a palm on every panel (touch disabled), SIGUSR2 lifts it (enabled).
    int sig = 0;
    for (;;) {
      sigwait(&sigs, &sig);
      if (sig != SIGUSR1 && sig != SIGUSR2) break;
      const uint8_t state = sig == SIGUSR1 ? 0x8A : 0x0A;
      for (auto& [d, name] : served) d->raiseTouchState(state);
      fprintf(stderr, "qzsim: touch %s on every controller\n", state == 0x8A ? "disabled (a palm on the panel)" : "enabled");
    }
    fprintf(stderr, "qzsim: %s, removing the sockets\n", sig == SIGINT ? "interrupted" : "terminated");
  } catch (const CLI::Error& e) {
    fprintf(stderr, "qzsim: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
