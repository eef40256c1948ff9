#!/usr/bin/env python3
"""Writes the expected firmware information log of each simulator scenario.

The log is worked out here from three things only, never from the program's output:

  * the scenario file and the simulator's documented defaults and answers
    (sim/scenarios/README.md, sim/include/qzsim/model.h, the frame formula of the model),
  * what each library function makes of those answers (version texts, panel and cover-lens
    texts, parameter list lengths, frame layout),
  * the rows of the log itself: header, parameter sections, then one table per timer tick.

The time row and the OS row hold "<masked>"; the test masks the same two rows of the file it
compares. Files are written as the program stores them: every LF as CR LF.

    python3 tests/log/golden/make_golden.py            # all scenarios in sim/scenarios
    python3 tests/log/golden/make_golden.py FILE...    # chosen ones, output beside this script
    python3 tests/log/golden/make_golden.py --out DIR  # written into DIR instead
"""

import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = os.path.normpath(os.path.join(HERE, "..", "..", "..", "sim", "scenarios"))
MASK = "<masked>"
APPLICATION_BUILD = 10


class Unsupported(Exception):
    """A scenario uses something this script does not model; better to stop than guess."""


# ---- The simulator's controller description (defaults of qzsim::Controller) -------------

def default_chip():
    return {
        "model": 4321, "letter": 1, "major": 2, "minor": 5, "release": 3, "build": 120,
        "short_form": False, "boot_major": 1, "boot_letter": 0, "boot_minor": 0,
        "sensor_lines": 0, "parameters": [0] * 32,
    }


def default_panel():
    return {"name": b"SIMPANEL", "inches": 0x15, "tenths_wide": 0x60}


def default_lens():
    return {"thickness": 0x11, "max": 0xFF, "material": "G"}


def default_controller():
    return {
        "transport": "hid", "name": "", "family": "krxm",
        "chips": [default_chip()],
        "addressed_queries": False,
        "sectioned": False, "paired_reads": False,
        "application": [0] * 64, "boot_list": [0] * 16, "debug": [0] * 16,
        "flag": 0, "stat": 0, "stat2": 0, "diag": 0,
        "features": [0x02, 0x40, 0x00, 0x00],
        "hopping": True, "modes": 3, "frequencies": 2, "hop_current": 0x00,
        "abnormal_scan": 0x01, "has_abnormal_level": True, "abnormal_level": 3,
        "rows": 12, "drivers": 16, "sectors": 2, "driver_first": False,
        "data_flags": 0x12, "baseline": 3000, "noise": 0, "seed": 1,
        "touch": None,  # (row, column, radius, depth) as 32-bit floats and an integer
        "panels": [default_panel(), default_panel()],
        "lenses": [default_lens(), default_lens()],
        "capabilities": [0, 0, 0],
        "driver_version": (2, 4, 0),
        "refused": set(),
    }


def number(text):
    return int(text, 0)


def hex_bytes(text):
    out = []
    for word in text.replace(",", " ").split():
        out.append(int(word[2:] if word[:2].lower() == "0x" else word, 16))
    return out


def letter_code(text):
    if text in ("-", "0"):
        return 0
    if len(text) == 1 and text.isalpha():
        return ord(text.upper()) - 0x40
    return number(text)


def version_pair(text):
    a, b = text.split(".")
    return int(a), int(b)


def f32(x):
    """x rounded to a 32-bit float, as the simulator's float arithmetic rounds each step."""
    return struct.unpack("f", struct.pack("f", x))[0]


CHIP_KEYS = {"model", "letter", "version", "release", "build", "short-form", "boot",
             "boot-letter", "sensor-lines", "parameters"}
# Keys that only change what a log does not show (HID identity, timing of touch reports,
# transport details the log never sees).
IGNORED_KEYS = {"product", "vendor", "tail", "socket-name", "report-id", "link", "block-size",
                "d2-size", "d2-wait", "d3-size", "ready-after-polls", "touch-at", "touch-cycle",
                "live-test"}


def chip_key(chip, key, value):
    if key == "model":
        chip["model"] = number(value)
    elif key == "letter":
        chip["letter"] = letter_code(value)
    elif key == "version":
        chip["major"], chip["minor"] = version_pair(value)
    elif key == "release":
        chip["release"] = number(value)
    elif key == "build":
        chip["build"] = number(value)
    elif key == "short-form":
        chip["short_form"] = value.lower() in ("yes", "on", "true", "1")
    elif key == "boot":
        chip["boot_major"], chip["boot_minor"] = version_pair(value)
    elif key == "boot-letter":
        chip["boot_letter"] = letter_code(value)
    elif key == "sensor-lines":
        chip["sensor_lines"] = number(value)
    elif key == "parameters":
        chip["parameters"] = hex_bytes(value)


def yes(value):
    return value.lower() in ("yes", "on", "true", "1")


def controller_key(c, key, value, given):
    if key in CHIP_KEYS:
        chip_key(c["chips"][0], key, value)
    elif key in IGNORED_KEYS:
        pass
    elif key == "family":
        c["family"] = value.lower()
    elif key == "name":
        c["name"] = value
    elif key == "addressed-queries":
        c["addressed_queries"] = yes(value)
    elif key == "sectioned":
        c["sectioned"] = yes(value)
    elif key == "paired-reads":
        c["paired_reads"] = yes(value)
    elif key == "application":
        c["application"] = hex_bytes(value)
    elif key == "boot-list":
        c["boot_list"] = hex_bytes(value)
    elif key == "debug":
        c["debug"] = hex_bytes(value)
    elif key == "driver-version":
        c["driver_version"] = tuple(int(p) for p in value.split("."))
    elif key == "sensor":
        rows, drivers = value.split("x")
        c["rows"], c["drivers"] = int(rows), int(drivers)
    elif key == "sectors":
        c["sectors"] = number(value)
    elif key == "driver-first":
        c["driver_first"] = yes(value)
    elif key == "data-flags":
        c["data_flags"] = number(value)
    elif key == "baseline":
        c["baseline"] = number(value)
    elif key == "noise":
        c["noise"] = number(value)
    elif key == "seed":
        c["seed"] = number(value)
    elif key == "touch":
        if value.lower() == "off":
            c["touch"] = None
        else:
            w = value.replace(",", " ").split()
            c["touch"] = (f32(float(w[0])), f32(float(w[1])), f32(float(w[2])), number(w[3]))
    elif key == "hopping":
        if value.lower() == "off":
            c["hopping"] = False
        else:
            modes, freqs = value.split()
            c["hopping"], c["modes"], c["frequencies"] = True, number(modes), number(freqs)
    elif key == "hop-current":
        c["hop_current"] = number(value)
    elif key == "abnormal-scan":
        c["abnormal_scan"] = number(value)
    elif key == "abnormal-level":
        if value.lower() == "off":
            c["has_abnormal_level"] = False
        else:
            c["abnormal_level"] = number(value)
    elif key in ("flag", "stat", "stat2", "diag"):
        c[key] = number(value)
    elif key == "features":
        c["features"] = hex_bytes(value)
    elif key == "capabilities":
        c["capabilities"] = hex_bytes(value)
    elif key == "panel":
        w = value.split()
        if "panel" not in given:
            c["panels"] = []
            given.add("panel")
        name = w[0].replace("_", " ").encode().ljust(8, b"\0")
        inches, tenths = int(w[1]), int(w[2])
        wide = len(w) == 4 and w[3].lower() == "wide"
        c["panels"].append({"name": name, "inches": (inches // 10) << 4 | inches % 10,
                            "tenths_wide": tenths << 4 | (1 if wide else 0)})
    elif key == "cover-lens":
        w = value.split()
        if "cover-lens" not in given:
            c["lenses"] = []
            given.add("cover-lens")

        def mm(t):
            a, b = version_pair(t)
            return (a << 4) | (b & 0x0F)

        c["lenses"].append({"thickness": mm(w[0]), "max": 0xFF if w[1] == "-" else mm(w[1]),
                            "material": w[2]})
    elif key == "refuse":
        c["refused"].update(hex_bytes(value))
    else:
        raise Unsupported("key %r" % key)


def parse_scenario(path):
    controllers = []
    in_slave = False
    given = set()
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("["):
                words = line[1:-1].split()
                kind = words[0].lower()
                if kind == "slave":
                    controllers[-1]["chips"].append(default_chip())
                    in_slave = True
                    continue
                c = default_controller()
                c["transport"] = {"hid": "hid", "driver": "driver", "serial": "serial"}[kind]
                if kind == "driver" and len(words) > 1:
                    c["name"] = words[1]
                controllers.append(c)
                in_slave = False
                given = set()
                continue
            key, value = (s.strip() for s in line.split("=", 1))
            key = key.lower()
            if in_slave:
                if key not in CHIP_KEYS:
                    raise Unsupported("slave key %r" % key)
                chip_key(controllers[-1]["chips"][-1], key, value)
            else:
                controller_key(controllers[-1], key, value, given)
    return controllers


# ---- What the log's controller answers, and what the library makes of it ----------------

def mix(x):
    x &= 0xFFFFFFFF
    x ^= x >> 16
    x = (x * 0x7FEB352D) & 0xFFFFFFFF
    x ^= x >> 15
    x = (x * 0x846CA68B) & 0xFFFFFFFF
    x ^= x >> 16
    return x


def release_suffix(code):
    if code == 0:
        return ""
    if code <= 199:
        return ".D%02d" % code
    if code <= 249:
        return ".A%02d" % (code - 199)
    if code == 250:
        return ".T"
    return ".T%d" % (code - 250)


def letter_text(code):
    return "" if code == 0 else chr((code + 64) % 256)


def version_text(model, letter, release, major, minor, build, boot_major, boot_minor, boot_letter):
    boot = "Boot : %d.%d %s" % (boot_major, boot_minor, letter_text(boot_letter))
    return "QZ%d%s%s.%d.%d.%d %s" % (model, letter_text(letter), release_suffix(release), major,
                                      minor, build, boot)


class Controller:
    """The scenario's controller as the log's library calls see it."""

    def __init__(self, c):
        self.c = c
        self.two_k = c["family"] == "2k"
        self.serial = 0  # fresh raw-count frames requested so far
        if c["refused"]:
            raise Unsupported("refused opcodes")
        if c["addressed_queries"] and len(c["chips"]) > 1:
            raise Unsupported("addressed queries")

    # Chips and identity.
    def chip_count(self):
        return 1 if self.two_k else len(self.c["chips"])

    def slave_count(self):
        return self.chip_count() - 1

    def master_version(self):
        m = self.c["chips"][0]
        if m["short_form"]:
            raise Unsupported("short-form build field")
        if self.two_k:
            # The 2K replies carry no letter and no release code.
            return version_text(m["model"], 0, 0, m["major"], m["minor"], m["build"],
                                m["boot_major"], m["boot_minor"], m["boot_letter"])
        return version_text(m["model"], m["letter"], m["release"], m["major"], m["minor"],
                            m["build"], m["boot_major"], m["boot_minor"], m["boot_letter"])

    def slave_version(self, n):
        s = self.c["chips"][n + 1]
        if s["short_form"]:
            raise Unsupported("short-form slave")
        # A slave answers through the master with bit 15 of its model number set; it is cleared.
        return version_text(s["model"] & 0x7FFF, s["letter"], s["release"], s["major"], s["minor"],
                            s["build"], s["boot_major"], s["boot_minor"], s["boot_letter"])

    # Panel and cover lens, by the codes held at application indices 0x3A and 0x3B.
    def panel_text(self):
        code = self.c["application"][0x3A]
        e = self.c["panels"][code]
        name = "".join(" " if b == 0 else chr(b) for b in e["name"])
        text = "%s %X.%X\"" % (name, e["inches"], e["tenths_wide"] >> 4)
        return text + (" (W)" if e["tenths_wide"] & 1 else "")

    def lens_text(self):
        code = self.c["application"][0x3B]
        e = self.c["lenses"][code]
        material = e["material"]
        if material in "Aa":
            return "AFFF"
        name = {"G": "Glass", "g": "Glass", "P": "PMMA", "p": "PMMA"}.get(material, "")
        t, m = e["thickness"], e["max"]
        if m == 0xFF:
            return "%d.%d mm %s" % (t >> 4, t & 15, name)
        return "%d.%d ~ %d.%d mm %s" % (t >> 4, t & 15, m >> 4, m & 15, name)

    # Status registers: KRXM_FLAG carries the scanning state in bit 0 (scanning runs when the
    # log reads it: nothing has stopped it yet).
    def state_flags(self):
        return [(self.c["flag"] & ~1) | 1, self.c["stat"], self.c["stat2"], self.c["diag"]]

    # Parameter lists.
    def para_list_info(self):
        c = self.c
        if c["sectioned"]:
            debug = len(c["debug"])
            slave = len(c["chips"][1]["parameters"]) if len(c["chips"]) > 1 else 0
            boot, ap = len(c["boot_list"]), len(c["application"])
            sections = 0xE0 if (debug or slave or boot or ap) else 0xC0
        else:
            ap, boot = 64, 16
            debug = 16 if c["debug"] else 0
            slave = 32 if self.slave_count() else 0
            sections = 0xE0 if c["debug"] else 0xC0
        for n in range(min(self.slave_count(), 4)):
            sections |= 0x08 >> n
        return {"sections": sections, "ap": ap, "boot": boot, "debug": debug, "slave": slave}

    def para_list(self, info):
        c = self.c
        image = []

        def take(lst, count):
            if len(lst) < count:
                raise Unsupported("a parameter list shorter than its length")
            image.extend(lst[:count])

        if info["sections"] & 0x80:
            take(c["application"], info["ap"])
        if info["sections"] & 0x40:
            take(c["boot_list"], info["boot"])
        if info["sections"] & 0x20:
            take(c["debug"], info["debug"])
        for n in range(4):
            if info["sections"] & (0x08 >> n):
                take(c["chips"][n + 1]["parameters"], info["slave"])
        return image

    # Sensor.
    def pins(self):
        c = self.c
        sectors = c["sectors"] & 0x0F
        return c["rows"], c["drivers"], sectors

    def counts(self):
        rows, x, y = self.pins()
        flags = self.c["data_flags"]
        return (rows * x, 0 if flags & 0x08 else rows * y, 0 if flags & 0x04 else rows)

    def frame(self, selection, mode=0):
        """One frame as the controller hands it out: rows of X + Y + 1 values."""
        c = self.c
        rows, drivers, sectors = c["rows"], c["drivers"], c["sectors"]
        length = drivers + sectors + 1
        noise_span = 2 * c["noise"] + 1
        out = []
        for r in range(rows):
            row = []
            for j in range(length):
                if j < drivers:
                    base = c["baseline"] + (r * 7 + j * 3) % 32
                elif j < drivers + sectors:
                    base = c["baseline"] // 4 + r * 10 + (j - drivers)
                else:
                    base = c["baseline"] // 2 + r
                v = base
                if selection == "modediff":
                    v = (r + j + mode) % 9 - 4
                elif selection == "raw":
                    if j < drivers and c["touch"] is not None:
                        v -= touch_depth(c["touch"], r, j)
                    if c["noise"]:
                        h = mix(c["seed"] ^ mix(self.serial * 0x9E3779B9 + r * length + j))
                        v += h % noise_span - c["noise"]
                row.append(v & 0xFFFF)
            out.append(row)
        return out

    def baseline_frame(self):
        if not self.c["data_flags"] & 0x02:
            raise Unsupported("no baseline selection")
        return self.frame("baseline")

    def mode_diff_frame(self, mode):
        flags = self.c["data_flags"]
        if not (flags & 0x02 and flags & 0x10):
            return None  # GetModeDiff fails without sending anything
        return self.frame("modediff", mode)

    def raw_frame(self):
        self.serial += 1
        return self.frame("raw")

    # Frequency hopping (F5).
    def hop_probe(self):
        return self.c["hop_current"] if self.c["hopping"] else None

    def hop_table(self):
        return (self.c["modes"], self.c["frequencies"]) if self.c["hopping"] else None

    def abnormal_scan(self):
        return self.c["abnormal_scan"] if self.c["hopping"] else None

    def abnormal_level(self):
        return self.c["abnormal_level"] if self.c["has_abnormal_level"] else None

    def hop_set(self, v):
        """F5 00 FF 00 V: True when the controller takes the setting (reply byte 4 not FF)."""
        if not self.c["hopping"]:
            return False
        return (v & 3) < self.c["modes"] and (v >> 2) < self.c["frequencies"]


# Depth of the touch blob at (r, j), in the simulator's 32-bit float arithmetic.
AMBIGUOUS = []


def touch_depth(touch, r, j):
    row, column, radius, depth = touch
    dr = f32(float(r) - row)
    dc = f32(float(j) - column)
    rad = radius if radius > f32(0.1) else f32(0.1)
    d2 = f32(f32(dr * dr) + f32(dc * dc))
    if d2 > f32(f32(9.0 * rad) * rad):
        return 0
    w = f32(math.exp(f32(-d2 / f32(f32(2.0 * rad) * rad))))
    p = f32(float(depth) * w)
    # The exponential may round differently by one unit in the last place; say so when that
    # could move the whole number.
    if p != int(p) and abs(p - round(p)) < 4 * abs(p) * 2 ** -23:
        AMBIGUOUS.append((r, j, p))
    return int(p)


# ---- The log ------------------------------------------------------------------------------

def labels(count):
    return "".join(("%d, " % j) if j % 5 == 0 else ", " for j in range(1, count))


class Log:
    def __init__(self, ctl):
        self.ctl = ctl
        self.out = []
        rows, x, y = ctl.pins()
        self.rows, self.x, self.y = rows, x, y
        self.counts = ctl.counts()
        self.total = self.counts[2] > 0
        self.c = x + y + (1 if self.total else 0)
        self.saved = [0] * (self.counts[0] + self.counts[1] + self.counts[2])
        self.features = ctl.c["features"]
        self.step = 0
        self.arrays = None

    def put(self, text):
        self.out.append(text)

    # The three arrays as the library fills them from one frame.
    def load(self, frame):
        x, y = self.x, self.y
        mutual = [frame[r][j] for r in range(self.rows) for j in range(x)] if self.counts[0] > 0 else []
        sector = [frame[r][x + j] for r in range(self.rows) for j in range(y)] if self.counts[1] > 0 else []
        total = [frame[r][x + y] for r in range(self.rows)] if self.counts[2] > 0 else []
        self.arrays = (mutual, sector, total)

    def value(self, r, j):
        mutual, sector, total = self.arrays
        if j < self.x:
            return mutual[r * self.x + j]
        if j < self.x + self.y:
            return sector[r * self.y + (j - self.x)]
        return total[r]

    def table(self, store_baseline):
        raw_form = not store_baseline and self.step > 3
        if raw_form:
            self.put("\nRaw Count %d :\n" % (self.step - 3 if self.step < 9 else self.step % 3))
        run = labels(self.x) + "Sector, " + labels(self.y)
        header = "index, " + run
        if raw_form:
            header += (",,index, " if self.total else ",index, ") + run
        self.put(header + "\n")
        reversed_difference = self.features[1] & 0x01
        for r in range(self.rows):
            row = "\n"
            for j in range(self.c):
                v = self.value(r, j)
                if store_baseline:
                    self.saved[r * self.c + j] = v
                    row += "%d, " % v
                elif raw_form:
                    row += "%d, " % v
                else:
                    row += "%d, " % (v - 65536 if v > 32768 else v)
            if raw_form:
                row += ", "
                for j in range(self.c):
                    base = self.saved[r * self.c + j]
                    v = self.value(r, j)
                    d = base - v if reversed_difference else v - base
                    if d > 32768:
                        d -= 65536
                    if d < -32768:
                        d += 65536
                    row += "%d, " % d
            self.put(row)
        self.put("\n")

    def write(self):
        ctl, c = self.ctl, self.ctl.c
        ff = self.features
        if c["transport"] == "serial":
            raise Unsupported("the log finds no controller on a plain serial port")

        # Collection: the baseline is read before the probes.
        self.load(ctl.baseline_frame())
        info = ctl.para_list_info()
        size = info["ap"] + info["boot"] + info["debug"]
        size += info["slave"] * bin(info["sections"] & 0x0F).count("1")
        if size == 0:
            raise Unsupported("no parameters: the collection fails")
        image = ctl.para_list(info)
        hopping_mode = abnormal_scan = abnormal_level = 255
        mode_count, frequency_count = 3, 2
        probe = ctl.hop_probe()
        if probe is not None:
            hopping_mode = probe
        if ff[0] & 0x02:
            table = ctl.hop_table()
            if table is not None:
                mode_count, frequency_count = table
            if ff[3] & 0x20 and ctl.abnormal_scan() is not None:
                abnormal_scan = ctl.abnormal_scan()
            if ff[0] & 0x80 and ctl.abnormal_level() is not None:
                abnormal_level = ctl.abnormal_level()

        # Header.
        self.put("\nWrite Log Time : %s\n" % MASK)
        self.put("\nOS Version : %s\n" % MASK)
        self.put("\nApplication Version : 1.1.%d\n" % APPLICATION_BUILD)
        interface = ["USB", "RS232 / UART", "I2C", "SPI"][(c["stat"] >> 4) & 3]
        auto = " (Auto Detect)" if c["capabilities"][0] & 0xC0 else ""
        self.put("\r\nDevice Interface : %s%s\n" % (interface, auto))
        if c["transport"] == "hid":
            self.put("\nHost Interface : USB (Hid Driver)\n")
        else:
            serial_object = c["name"].startswith("QZS")
            self.put("\nHost Interface : RS232" if serial_object else "\nHost Interface : USB")
            self.put(" (Tarvanel Driver : %d.%d.%d)\n" % c["driver_version"])
        slaves = ctl.slave_count()
        if slaves > 0:
            self.put("\r\nMaster   Version : %s\n" % ctl.master_version())
        else:
            self.put("\r\nFirmware Version : %s\n" % ctl.master_version())
        for k in range(1, slaves + 1):
            self.put("Slave %d  Version : %s\n" % (k, ctl.slave_version(k - 1)))
        self.put("\nPanel Information : %s\nCover Lens : %s\n" % (ctl.panel_text(), ctl.lens_text()))
        self.put("\r\nKRXM_FLAG = 0x%02X\tKRXM_STAT = 0x%02X\tKRXM_STAT2 = 0x%02X\tKRXM_DIAG = 0x%02X\t\n"
                 % tuple(ctl.state_flags()))
        self.put("\nFeature Flag1 = 0x%02X\tFeature Flag2 = 0x%02X\tFeature Flag3 = 0x%02X\t"
                 "Feature Flag4 = 0x%02X\t\n" % tuple(ff))
        if hopping_mode != 255:
            self.put("\r\nFrequence Hopping mode = 0x%02X\n" % hopping_mode)
        if abnormal_scan != 255:
            self.put("\nAbnormal Scan Frequence Hopping mode = 0x%02X\n" % abnormal_scan)
        if abnormal_level != 255:
            self.put("\nAbnormal Level = %d\n" % abnormal_level)

        # Parameter sections.
        def section(title, start, length):
            self.put(title)
            for off in range(0, length, 16):
                items = image[start + off:start + min(off + 16, length)]
                self.put("\n" + "".join("0x%02X, " % b for b in items))
            self.put("\n")

        ap, boot, debug, slave = info["ap"], info["boot"], info["debug"], info["slave"]
        if ap > 0 and info["sections"] & 0x80:
            section("\r\nAP Parameter :\n", 0, ap)
        if boot > 0 and info["sections"] & 0x40:
            section("\nBoot Parameter :\n", ap, boot)
        if debug > 0 and info["sections"] & 0x20:
            section("\nDebug Parameter :\n", ap + boot, debug)
        start = ap + boot + debug
        for k in range(1, min(slaves, 4) + 1):
            if slave > 0 and info["sections"] & (0x08 >> (k - 1)):
                section("\nSlave%d Parameter :\n" % k, start, slave)
                start += slave

        # Data phase, one step per tick.
        hopping = bool(ff[1] & 0x40 and ff[0] & 0x02)
        while True:
            s = self.step
            if s == 0:
                self.put("\r\nBase Line :\n")
                self.table(True)
                self.step = 1
            elif 1 <= s <= 3:
                if s < mode_count:
                    frame = ctl.mode_diff_frame(s)
                    if frame is not None:
                        self.load(frame)
                        self.put("\r\nFrequence Hopping Mode Diff %d :\n" % s)
                        self.table(False)
                self.step += 1
            elif 4 <= s <= 8 or (9 <= s <= 35 and s % 3 != 0):
                self.load(ctl.raw_frame())
                self.table(False)
                self.step += 1
            elif 9 <= s <= 35:
                q, variant = (s - 9) // 9, ((s - 9) % 9) // 3
                if q >= mode_count:
                    self.step = 65535
                else:
                    if variant == 0:
                        v = ((hopping_mode & ~3) + q) & 0xFF
                        title = "\r\nFrequence Hopping Mode %d :\n"
                    elif variant == 1:
                        v = q & 0xFF
                        title = "\nFrequence Hopping Mode %d and use Minimum Frequence :\n"
                    else:
                        v = ((frequency_count - 1) * 4 + q) & 0xFF
                        title = "\nFrequence Hopping Mode %d and use Maximum Frequence :\n"
                    if ctl.hop_set(v):
                        self.put(title % q)
                        self.step += 1
                    else:
                        self.step = 65535
            if self.step == 9 and not hopping:
                self.step = 65535
            if self.step >= 36:
                break
        return "".join(self.out)


def stored(text):
    """Text mode: every LF is stored as CR LF."""
    return text.replace("\n", "\r\n").encode("ascii")


def log_controller(controllers):
    """The controller the log uses: the vendor-driver one, else the first on HID."""
    for kind in ("driver", "hid"):
        for c in controllers:
            if c["transport"] == kind:
                return c
    raise Unsupported("no controller the log can find")


def main(argv):
    args = argv[1:]
    out_dir = HERE
    if args[:1] == ["--out"]:
        out_dir, args = args[1], args[2:]
    paths = args or sorted(os.path.join(SCENARIOS, f) for f in os.listdir(SCENARIOS)
                               if f.endswith(".scenario"))
    for path in paths:
        name = os.path.basename(path)[:-len(".scenario")]
        del AMBIGUOUS[:]
        text = Log(Controller(log_controller(parse_scenario(path)))).write()
        if AMBIGUOUS:
            sys.stderr.write("%s: touch depths close to a whole number: %r\n" % (name, AMBIGUOUS))
        out = os.path.join(out_dir, name + ".csv")
        with open(out, "wb") as f:
            f.write(stored(text))
        print(out)


if __name__ == "__main__":
    main(sys.argv)
