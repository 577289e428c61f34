#!/usr/bin/env python3
"""Two whole-registry exports of one machine, before and after an install, as
regedit writes them (UTF-16LE with its byte-order mark, CR LF): machine keys,
classes, the current user and another profile. AFTER differs from BEFORE in
about one key in fifty: values changed, added and removed, keys added and
removed, among them the noise an export always shows (the RNG seed).

    make_snapshots.py MEGABYTES BEFORE.reg AFTER.reg
"""
import random
import sys

ROOTS = [
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor%d\\Product%d",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Svc%d\\Part%d",
    "HKEY_CLASSES_ROOT\\CLSID\\{%08d-0000-4000-8000-%012d}",
    "HKEY_CURRENT_USER\\Software\\Vendor%d\\Settings%d",
    "HKEY_USERS\\S-1-5-18\\Software\\Vendor%d\\Cache%d",
]


def values(rng, n, changed):
    lines = []
    for v in range(n):
        kind = v % 4
        seed = rng.randrange(1 << 30) if changed and v == 0 else v * 7919
        if kind == 0:
            lines.append('"Name%d"="Some text value %d for the key"' % (v, seed))
        elif kind == 1:
            lines.append('"Count%d"=dword:%08x' % (v, seed & 0xFFFFFFFF))
        elif kind == 2:
            data = ",".join("%02x" % ((seed + i) & 0xFF) for i in range(24))
            lines.append('"Blob%d"=hex:%s' % (v, data))
        else:
            text = "%%ProgramFiles%%\\Vendor\\%d" % seed
            data = ",".join("%02x,00" % ord(c) for c in text) + ",00,00"
            lines.append('"Path%d"=hex(2):%s' % (v, data))
    return lines


def write(path, megabytes, after):
    rng = random.Random(5)
    target = megabytes * 1024 * 1024 // 2  # UTF-16 units
    out = open(path, "wb")
    out.write(b"\xff\xfe")
    written = 0
    chunk = ["Windows Registry Editor Version 5.00", ""]
    seed = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\RNG]"
    chunk += [seed, '"Seed"=hex:%s' % ",".join("%02x" % (i + (7 if after else 3)) for i in range(80)), ""]
    i = 0
    while written < target:
        key = ROOTS[i % len(ROOTS)] % (i // 50, i)
        fate = i % 97
        i += 1
        if after and fate == 3:  # removed with its subkey
            continue
        chunk += ["[%s]" % key] + values(rng, 1 + i % 5, after and fate == 5)
        if after and fate == 7:
            chunk.append('"Added"="by the install"')
        chunk += ["", "[%s\\Sub]" % key, '"Leaf"=dword:00000001', ""]
        if after and fate == 11:
            chunk += ["[%s\\New]" % key, '"Installed"="yes"', ""]
        if len(chunk) > 20000:
            text = "\r\n".join(chunk) + "\r\n"
            out.write(text.encode("utf-16-le"))
            written += len(text)
            chunk = []
    out.write(("\r\n".join(chunk) + "\r\n").encode("utf-16-le"))
    out.close()


if __name__ == "__main__":
    megabytes = int(sys.argv[1])
    write(sys.argv[2], megabytes, False)
    write(sys.argv[3], megabytes, True)
