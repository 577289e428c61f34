#!/usr/bin/env python3
"""Generates benchmark packages, deterministic for a given seed.

  make_packages.py parse LINES OUT.reg.dat
      A package with every root, every type, key-only lines, removals,
      per-user targets and some non-ASCII text, at the lengths the
      authoring tool's packages have.

  make_packages.py apply LINES OUT.reg.dat [OUT.reg]
      A machine-wide package whose keys all lie below three bench keys, and
      the same changes as a .reg file (UTF-16LE, as reg import reads it).
      Removals only name values and keys that an earlier line created, so
      both importers end in the same registry. Without OUT.reg no .reg file
      is made (nor held in memory), for packages of hundreds of megabytes.

  make_packages.py wide SUBKEYS OUT.reg OUT.reg.dat
      A base of one key with SUBKEYS subkeys, one value each, and a package
      that sets that value anew in every tenth of them.

  make_packages.py profiles COUNT OUT.reg OUT.reg.dat
      A base of COUNT profiles, each logged on (its HKEY_USERS key holds
      Software), and a package of one All Users line.
"""
import random
import sys

SEP = "*@*"
APPLY_TOPS = {
    "HKEY_LOCAL_MACHINE\\SOFTWARE": "KeymasonBench",
    "HKEY_LOCAL_MACHINE\\SYSTEM": "KeymasonBench",
    "HKEY_CLASSES_ROOT": "KeymasonBench.Classes",
}

VENDORS = ["Contoso", "Fabrikam", "Northwind", "Tailspin", "Litware", "Adatum", "Proseware",
           "Wingtip", "Woodgrove", "Lucerne", "Humongous", "Alpine Ski House", "Coho Winery",
           "Fourth Coffee", "Graphic Design Institute", "Margie's Travel", "Trey Research",
           "Blue Yonder Airlines", "City Power & Light", "Consolidated Messenger"]
PRODUCTS = ["Thin Client Agent", "Print Connector", "Terminal Services Client", "Viewer",
            "Update Service", "Remote Desktop Helper", "Device Manager", "Kiosk Shell",
            "Smart Card Bridge", "USB Redirector", "Session Broker", "Display Driver"]
PARTS = ["Settings", "Options", "Preferences", "Components", "Policies", "Install",
         "Shell\\Open\\Command", "Capabilities\\FileAssociations", "Display", "Network",
         "Printers", "Devices", "Security", "Logging", "Plugins", "Profiles\\Default",
         "CurrentVersion", "Uninstall", "Services", "Parameters"]
NAMES = ["InstallPath", "Version", "Enabled", "LogLevel", "Timeout", "ServerName", "Port",
         "DisplayName", "UninstallString", "Language", "AutoStart", "RetryCount", "CachePath",
         "LastUpdate", "Flags", "DefaultPrinter", "ScreenWidth", "ScreenHeight", "ColorDepth",
         "KeyboardLayout", "ProxyServer", "UseProxy", "Features", "Signature", "Checksum"]
WORDS = ["connect", "server", "display", "default", "printer", "session", "client", "remote",
         "update", "policy", "device", "network", "secure", "profile", "kiosk", "desktop"]
JAPANESE = ["設定", "表示", "印刷", "接続", "既定のプリンター", "リモート デスクトップ",
            "更新サービス", "言語"]
TARGETS = ["All Users"] * 6 + ["User"] * 2 + ["Administrator"] * 2 + ["kiosk"]


def guid(rng):
    h = "%032X" % rng.getrandbits(128)
    return "{%s-%s-%s-%s-%s}" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


def key_path(rng):
    parts = [rng.choice(VENDORS), rng.choice(PRODUCTS)]
    for _ in range(rng.randint(0, 3)):
        parts.append(guid(rng) if rng.random() < 0.15 else rng.choice(PARTS))
    return "\\".join(parts)


def text_value(rng):
    kind = rng.random()
    if kind < 0.30:
        return "C:\\Program Files\\%s\\%s\\%s.exe" % (
            rng.choice(VENDORS), rng.choice(PRODUCTS), rng.choice(WORDS))
    if kind < 0.45:
        return "%d.%d.%d.%d" % (rng.randint(1, 12), rng.randint(0, 9), rng.randint(0, 99),
                                rng.randint(0, 9999))
    if kind < 0.55:
        return guid(rng)
    if kind < 0.60:
        return "".join(rng.choice(JAPANESE) for _ in range(rng.randint(1, 4)))
    if kind < 0.65:
        return ""
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 8)))


def value_of(rng, type_name):
    """Value data field as the package writes it, and the bytes it stores."""
    if type_name == "REG_DWORD":
        n = rng.choice([0, 1, 2, 10, 30, 60, 100, 1024, 65535, rng.getrandbits(32)])
        return "0x%08X" % n, n.to_bytes(4, "little")
    if type_name == "REG_QWORD":
        n = rng.getrandbits(64) if rng.random() < 0.5 else rng.randint(0, 1 << 20)
        return "0x%016X" % n, n.to_bytes(8, "little")
    if type_name == "REG_BINARY":
        count = rng.randint(1, 40)
        field = ",".join("%02x" % rng.getrandbits(8) for _ in range(count))
        return field, field.replace(",", "").encode("latin-1")
    if type_name == "REG_MULTI_SZ":
        lines = [text_value(rng) or "line" for _ in range(rng.randint(1, 5))]
        return "*BreakLine*".join(lines), "\r\n".join(lines).encode("utf-16-le")
    text = text_value(rng)
    if type_name == "REG_EXPAND_SZ":
        text = "%ProgramFiles%\\" + rng.choice(VENDORS) + "\\" + rng.choice(WORDS)
    return text, (text + "\0").encode("utf-16-le")


def pick_type(rng):
    r = rng.random()
    for limit, name in ((0.45, "REG_SZ"), (0.75, "REG_DWORD"), (0.82, "REG_EXPAND_SZ"),
                        (0.90, "REG_BINARY"), (0.95, "REG_MULTI_SZ"), (1.0, "REG_QWORD")):
        if r < limit:
            return name
    return "REG_SZ"


def line(root, key, key_only="", name="", type_name="", target="", data="", rest=""):
    return SEP.join(["1", root, key, key_only, name, type_name, target, data, rest])


def parse_package(lines, rng):
    roots = (["HKEY_LOCAL_MACHINE\\SOFTWARE"] * 45 + ["HKEY_CURRENT_USER"] * 30 +
             ["HKEY_CLASSES_ROOT"] * 15 + ["HKEY_LOCAL_MACHINE\\SYSTEM"] * 10)
    out = []
    while len(out) < lines:
        root = rng.choice(roots)
        key = key_path(rng)
        if root == "HKEY_LOCAL_MACHINE\\SYSTEM":
            key = "CurrentControlSet\\Services\\" + key.replace(" ", "")
        per_user = root == "HKEY_CURRENT_USER"
        if per_user and rng.random() < 0.2:
            key = "Software\\Classes\\" + key
        elif per_user:
            key = "Software\\" + key
        target = rng.choice(TARGETS) if per_user else "All Users"
        if rng.random() < 0.3:
            out.append(line(root, key, "True", target=target))
        for _ in range(rng.randint(1, 8)):
            r = rng.random()
            if r < 0.01:
                out.append(line(root, key, "True", target=target, rest="DELETE_REG"))
                break
            type_name = pick_type(rng)
            field, _ = value_of(rng, type_name)
            name = "" if rng.random() < 0.05 else rng.choice(NAMES)
            out.append(line(root, key, "", name, type_name, target, field,
                            "DELETE_REG" if r < 0.04 else ""))
    return out[:lines]


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def reg_hex(prefix, data):
    return prefix + ",".join("%02x" % b for b in data)


def reg_value(type_name, stored):
    if type_name == "REG_SZ":
        return reg_string(stored[:-2].decode("utf-16-le"))
    if type_name == "REG_DWORD":
        return "dword:%08x" % int.from_bytes(stored, "little")
    return reg_hex({"REG_QWORD": "hex(b):", "REG_BINARY": "hex:", "REG_MULTI_SZ": "hex(7):",
                    "REG_EXPAND_SZ": "hex(2):"}[type_name], stored)


class _Discarded:
    """Stands in for the .reg file's lines when no .reg file is wanted."""

    def append(self, _):
        pass

    def __iadd__(self, _):
        return self


class RegWriter:
    """The same changes as a .reg file; consecutive lines on one key share its section."""

    def __init__(self, keep=True):
        self.out = ["Windows Registry Editor Version 5.00", ""] if keep else _Discarded()
        self.section = None

    def enter(self, path):
        if self.section != path:
            self.out += ["", "[%s]" % path]
            self.section = path

    def remove_key(self, path):
        self.out += ["", "[-%s]" % path]
        self.section = None

    def set(self, path, name, value):
        self.enter(path)
        self.out.append("%s=%s" % ("@" if name == "" else reg_string(name), value))

    def text(self):
        return "\r\n".join(self.out) + "\r\n"


class KeyIndex:
    """The keys made so far, lower-case full path -> (full path, {lower-case value name: name}),
    listed in the order a dict keeps them. A removal picks its victim by position and takes
    the keys below it; both are found without walking every key, which made packages of
    millions of lines take hours."""

    def __init__(self):
        self.entries = {}  # lower-case path -> [full path, values, slot]
        self.slots = []    # lower-case path by slot, in order of making; None once removed
        self.counts = [0]  # Fenwick tree over the slots: 1 where a key lives
        self.below = {}    # lower-case path -> lower-case paths of the keys below it

    def __contains__(self, path):
        return path in self.entries

    def __len__(self):
        return len(self.entries)

    def __getitem__(self, path):
        return tuple(self.entries[path][:2])

    def _prefix(self, i):  # live keys in slots [0, i)
        total = 0
        while i > 0:
            total += self.counts[i]
            i -= i & -i
        return total

    def _mark(self, i, delta):  # slot i (from 0)
        i += 1
        while i < len(self.counts):
            self.counts[i] += delta
            i += i & -i

    @staticmethod
    def _ancestors(path):
        parts = path.split("\\")
        return ["\\".join(parts[:n]) for n in range(1, len(parts))]

    def setdefault(self, path, entry):
        if path not in self.entries:
            self.slots.append(path)
            n = len(self.slots)  # the new node covers slots (n - lowbit, n]
            self.counts.append(1 + self._prefix(n - 1) - self._prefix(n - (n & -n)))
            self.entries[path] = [entry[0], entry[1], n - 1]
            for parent in self._ancestors(path):
                self.below.setdefault(parent, set()).add(path)
        return self[path]

    def __setitem__(self, path, entry):
        self.setdefault(path, entry)

    def choose(self, rng):
        """rng.choice(list(keys)) of the dict this stands in for."""
        rank = rng._randbelow(len(self.entries))
        pos, step = 0, 1 << (len(self.counts) - 1).bit_length()
        while step:
            if pos + step < len(self.counts) and self.counts[pos + step] <= rank:
                pos += step
                rank -= self.counts[pos]
            step >>= 1
        return self.slots[pos]

    def remove_tree(self, path):
        for gone in [path] + list(self.below.get(path, ())):
            slot = self.entries.pop(gone)[2]
            self.slots[slot] = None
            self._mark(slot, -1)
            for parent in self._ancestors(gone):
                self.below[parent].discard(gone)


def apply_package(lines, rng, keep_reg=True):
    roots = ["HKEY_LOCAL_MACHINE\\SOFTWARE"] * 17 + ["HKEY_LOCAL_MACHINE\\SYSTEM"] * 1 + \
            ["HKEY_CLASSES_ROOT"] * 2
    out, reg = [], RegWriter(keep_reg)
    keys = KeyIndex()
    while len(out) < lines:
        root = rng.choice(roots)
        key = APPLY_TOPS[root] + "\\" + key_path(rng)
        full = root + "\\" + key
        if full.lower() not in keys or rng.random() < 0.3:
            out.append(line(root, key, "True"))
            reg.enter(full)
        keys.setdefault(full.lower(), (full, {}))
        values = keys[full.lower()][1]
        for _ in range(rng.randint(1, 8)):
            if len(out) >= lines:
                break
            r = rng.random()
            if r < 0.01 and len(keys) > 1:
                # A key made earlier, with everything below it.
                victim = keys.choose(rng)
                vfull = keys[victim][0]
                vroot = next(t for t in APPLY_TOPS if vfull.startswith(t + "\\"))
                out.append(line(vroot, vfull[len(vroot) + 1:], "True", rest="DELETE_REG"))
                reg.remove_key(vfull)
                keys.remove_tree(victim)
                break
            if r < 0.04 and values:
                name = values[rng.choice(list(values))]
                out.append(line(root, key, "", name, "REG_SZ", "All Users", "", "DELETE_REG"))
                reg.enter(full)
                reg.out.append("%s=-" % ("@" if name == "" else reg_string(name)))
                del values[name.lower()]
                continue
            type_name = pick_type(rng)
            field, stored = value_of(rng, type_name)
            name = "" if rng.random() < 0.05 else rng.choice(NAMES)
            out.append(line(root, key, "", name, type_name, "All Users", field))
            reg.set(full, name, reg_value(type_name, stored))
            values[name.lower()] = name
            if full.lower() not in keys:
                keys[full.lower()] = (full, values)
    return out, reg.text() if keep_reg else None


def write_reg(path, lines):
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))


def wide_inputs(count):
    reg = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide]"]
    for i in range(count):
        reg += ["", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide\\k%d]" % i, '"v"="value %d"' % i]
    package = [line("HKEY_LOCAL_MACHINE\\SOFTWARE", "Wide\\k%d" % i, "", "v", "REG_SZ", "All Users",
                    "new %d" % i) for i in range(0, count, 10)]
    return reg, package


def profile_inputs(count):
    reg = ["Windows Registry Editor Version 5.00"]
    listed = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
    for i in range(count):
        sid = "S-1-5-21-1000000000-1000000000-1000000000-%d" % (1001 + i)
        path = ("C:\\Users\\user%d\0" % i).encode("utf-16-le")
        reg += ["", "[%s\\%s]" % (listed, sid), reg_hex('"ProfileImagePath"=hex(2):', path),
                "", "[HKEY_USERS\\%s\\Software]" % sid]
    package = [line("HKEY_CURRENT_USER", "Software\\Bench", "", "Setting", "REG_SZ", "All Users", "on")]
    return reg, package


def main(argv):
    if len(argv) < 4 or argv[1] not in ("parse", "apply", "wide", "profiles"):
        sys.stderr.write(__doc__)
        return 2
    if argv[1] in ("wide", "profiles"):
        reg, package = (wide_inputs if argv[1] == "wide" else profile_inputs)(int(argv[2]))
        write_reg(argv[3], reg)
        with open(argv[4], "wb") as f:
            f.write(("\r\n".join(package) + "\r\n").encode("utf-8"))
        return 0
    rng = random.Random(20240305)
    lines = int(argv[2])
    if argv[1] == "parse":
        package = parse_package(lines, rng)
    else:
        package, reg_text = apply_package(lines, rng, keep_reg=len(argv) > 4)
        if len(argv) > 4:
            with open(argv[4], "wb") as f:
                f.write(b"\xff\xfe" + reg_text.encode("utf-16-le"))
    with open(argv[3], "wb") as f:
        f.write(("\r\n".join(package) + "\r\n").encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
