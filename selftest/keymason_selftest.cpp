// keymason-selftest.exe: whether this Windows does what Keymason relies on.
// An administrator runs it once on a pilot client before a rollout. It checks
// the 64-bit view from the 32-bit build, hives through reg.exe and
// RegLoadAppKeyW, the classes link and every signature form (in their own
// files), and the Win32 platform itself: the registry below
// HKLM\SOFTWARE\KeymasonSelfTest, child processes, files in the temp folder,
// the environment and the program's own version. Prints one line per check,
// "note:" lines for what the system does with odd key paths, "wine-known:"
// lines for where Wine is known to differ, and "N passed, N failed" last;
// exits 0 only when no check failed. What it makes it removes, however it ends.
//
// The program is also its own child process: "--exit CODE" ends with CODE,
// "--sleep MS" sleeps, "--version" ends with 0 when it reads Keymason's version.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include "engine/apply_record.h"
#include "engine/scoped_key.h"
#include "platform/text.h"
#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"
#include "selftest/checks.h"

namespace km {
namespace {

// Keymason's version, which this program's version block carries too.
constexpr std::uint16_t kVersionParts[] = {KEYMASON_FILEVERSION};
constexpr std::uint64_t kExpectedVersion =
    std::uint64_t{kVersionParts[0]} << 48 | std::uint64_t{kVersionParts[1]} << 32 |
    std::uint64_t{kVersionParts[2]} << 16 | kVersionParts[3];
constexpr std::uint32_t kWriteMask = kKeyAllAccess | kKeyWow64_64Key;
constexpr std::uint32_t kReadMask = kKeyRead | kKeyWow64_64Key;
const Text& kBase = kScratchKey;

bool RunsOn64BitSystem() {
    SYSTEM_INFO native{};
    ::GetNativeSystemInfo(&native);
    return native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}
// A 32-bit build on a 64-bit system.
bool RunsUnderWow64() { return RunsOn64BitSystem() && sizeof(void*) == 4; }

std::string U8(const Text& text) { return ToUtf8(text); }

// UTF-16LE units with the terminator, as the registry stores string values.
Bytes TextBytes(const Text& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

Bytes MultiBytes(const std::vector<Text>& items) {
    Bytes bytes;
    for (const Text& item : items) {
        Bytes one = TextBytes(item);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

Bytes LittleEndian(std::uint64_t value, int width) {
    Bytes bytes;
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return bytes;
}

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

bool KeyExists(Platform& sys, RegKey root, const Text& path) {
    ScopedKey key(sys);
    return sys.RegOpenKeyExW(root, path, 0, kReadMask, key.Receive());
}

std::vector<Text> SubkeyNames(Platform& sys, RegKey key) {
    std::vector<Text> names;
    Text name;
    for (std::uint32_t i = 0; sys.RegEnumKeyExW(key, i, 256, &name); ++i) names.push_back(name);
    return names;
}

Text TempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    Text folder = FromWide(buffer).substr(0, length);
    if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
    return folder;
}

Text OwnPath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), 32768);
    return Text(reinterpret_cast<const char16_t*>(buffer.data()), length);
}

// A folder path well past MAX_PATH, made of long names, created with \\?\.
Text MakeDeepFolder(const Text& under) {
    Text path = u"\\\\?\\" + under;
    for (int i = 0; i < 6; ++i) {
        path += u"\\keymason deep folder with a rather long name " + Text(1, char16_t(u'0' + i));
        ::CreateDirectoryW(Wide(path), nullptr);
    }
    return path;
}

void RemoveTree(const Text& folder) {
    // Best effort: the test's own files and folders, deepest first.
    Text pattern = folder + u"\\*";
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(Wide(pattern), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const Text name = FromWide(found.cFileName);
            if (name == u"." || name == u"..") continue;
            const Text child = folder + u"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                ::DeleteFileW(Wide(child));
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(Wide(folder));
}

// ---------------------------------------------------------------- Registry

void TestRoots(Win32Platform& sys, Checks& checks) {
    struct Root {
        const char* name;
        RegKey key;
        Text probe;  // a key that every system has below the root
    };
    const Root roots[] = {
        {"HKEY_CLASSES_ROOT", kHkeyClassesRoot, u"CLSID"},
        {"HKEY_LOCAL_MACHINE", kHkeyLocalMachine, u"SOFTWARE"},
        {"HKEY_USERS", kHkeyUsers, u".DEFAULT"},
    };
    for (const Root& root : roots) {
        const std::string name = root.name;
        RegKey same = 0;
        checks.Expect(sys.RegOpenKeyExW(root.key, u"", 0, kKeyRead, &same) && same == root.key,
                      name + ": opening the empty path hands the root back as the same value");
        std::uint32_t count = 0;
        const bool counted = sys.RegQueryInfoKeyW(root.key, &count);
        checks.Expect(counted && count > 0,
                      name + ": has subkeys (" + std::to_string(count) + ")");
        checks.Expect(KeyExists(sys, root.key, root.probe),
                      name + ": opens " + U8(root.probe));
    }
}

void TestCreateAndOpen(Win32Platform& sys, Checks& checks) {
    const SecurityAttributes attributes{12, false, 0};
    {
        ScopedKey deep(sys);
        checks.Expect(sys.RegCreateKeyExW(kHkeyLocalMachine, kBase + u"\\Deep\\Er\\Key", 0,
                                          kRegOptionNonVolatile, kWriteMask, &attributes,
                                          deep.Receive()) &&
                          deep.Get() != 0,
                      "create makes every missing key along the path");
    }
    checks.Expect(KeyExists(sys, kHkeyLocalMachine, kBase + u"\\Deep\\Er"),
                  "the middle key of a created path exists");
    {
        ScopedKey again(sys);
        checks.Expect(sys.RegCreateKeyExW(kHkeyLocalMachine, kBase + u"\\Deep", 0,
                                          kRegOptionNonVolatile, kWriteMask, nullptr,
                                          again.Receive()),
                      "create of an existing key without attributes opens it");
    }

    RegKey untouched = 0x1234;
    checks.Expect(!sys.RegOpenKeyExW(kHkeyLocalMachine, kBase + u"\\Missing", 0, kReadMask,
                                     &untouched) &&
                      untouched == 0x1234,
                  "open of a missing key fails and leaves the result alone");

    // An empty path gives a second handle to the same key.
    ScopedKey base(sys);
    ScopedKey same(sys);
    sys.RegOpenKeyExW(kHkeyLocalMachine, kBase, 0, kWriteMask, base.Receive());
    const bool created = sys.RegCreateKeyExW(base.Get(), u"", 0, kRegOptionNonVolatile,
                                             kWriteMask, &attributes, same.Receive());
    const Bytes marker = LittleEndian(42, 4);
    sys.RegSetValueExW(same.Get(), u"ThroughEmptyPath", 0, kRegDword, marker.data(),
                       static_cast<std::uint32_t>(marker.size()));
    Bytes seen;
    checks.Expect(created && same.Get() != base.Get() &&
                      sys.RegQueryValueExW(base.Get(), u"ThroughEmptyPath", nullptr, &seen) &&
                      seen == marker,
                  "create with an empty path opens a new handle to the key itself");
    checks.Expect(sys.RegCloseKey(0), "closing the empty handle succeeds and does nothing");
}

void TestValues(Win32Platform& sys, Checks& checks) {
    struct Row {
        const char* label;
        Text name;
        std::uint32_t type;
        Bytes data;
    };
    const std::vector<Row> rows = {
        {"REG_SZ", u"Text", kRegSz, TextBytes(u"C:\\Program Files\\Keymason")},
        {"REG_SZ, non-ASCII name and data", u"Wert-\u00e4\u65e5", kRegSz,
         TextBytes(u"\u00fc\u00df\u30ad")},
        {"REG_SZ default value", u"", kRegSz, TextBytes(u"default")},
        {"REG_EXPAND_SZ", u"Expand", kRegExpandSz, TextBytes(u"%SystemRoot%\\system32")},
        {"REG_BINARY", u"Binary", kRegBinary, {0x00, 0xFF, 0x10, 0x0A, 0x0D, 0x1A}},
        {"REG_BINARY empty", u"EmptyBinary", kRegBinary, {}},
        {"REG_BINARY of 100000 bytes", u"Large", kRegBinary, Pattern(100000)},
        {"REG_DWORD", u"Dword", kRegDword, LittleEndian(0xDEADBEEF, 4)},
        {"REG_MULTI_SZ", u"Multi", kRegMultiSz, MultiBytes({u"one", u"two", u"three"})},
        {"REG_QWORD", u"Qword", kRegQword, LittleEndian(0x0123456789ABCDEFull, 8)},
    };
    ScopedKey key(sys);
    if (!sys.RegCreateKeyExW(kHkeyLocalMachine, kBase + u"\\Values", 0, kRegOptionNonVolatile,
                             kWriteMask, nullptr, key.Receive())) {
        checks.Expect(false, "create the key for the value tests");
        return;
    }
    for (const Row& row : rows) {
        const bool set = sys.RegSetValueExW(key.Get(), row.name, 0, row.type, row.data.data(),
                                            static_cast<std::uint32_t>(row.data.size()));
        std::uint32_t type = 0;
        Bytes data;
        const bool read = sys.RegQueryValueExW(key.Get(), row.name, &type, &data);
        checks.Expect(set && read && type == row.type && data == row.data,
                      std::string(row.label) + ": set and read back whole (" +
                          std::to_string(data.size()) + " of " +
                          std::to_string(row.data.size()) + " bytes)");
    }

    // Overwriting replaces the whole value, nothing of the old one stays.
    const Bytes shorter = TextBytes(u"C:");
    sys.RegSetValueExW(key.Get(), u"Text", 0, kRegSz, shorter.data(),
                       static_cast<std::uint32_t>(shorter.size()));
    Bytes data;
    checks.Expect(sys.RegQueryValueExW(key.Get(), u"Text", nullptr, &data) && data == shorter,
                  "a shorter value replaces a longer one (type not asked for)");

    std::uint32_t type = 99;
    Bytes kept = {1, 2, 3};
    checks.Expect(!sys.RegQueryValueExW(key.Get(), u"NoSuchValue", &type, &kept) &&
                      type == 99 && kept == Bytes({1, 2, 3}),
                  "reading a missing value fails and leaves type and data alone");

    // Deleting values: on the open key itself, and through a subkey path.
    checks.Expect(sys.RegDeleteKeyValueW(key.Get(), nullptr, u"Dword") &&
                      !sys.RegQueryValueExW(key.Get(), u"Dword", nullptr, &data),
                  "delete a value of the open key (no subkey)");
    checks.Expect(!sys.RegDeleteKeyValueW(key.Get(), nullptr, u"Dword"),
                  "deleting a value that is gone fails");
    ScopedKey parent(sys);
    sys.RegOpenKeyExW(kHkeyLocalMachine, kBase, 0, kWriteMask, parent.Receive());
    const Text values = u"Values";
    checks.Expect(sys.RegDeleteKeyValueW(parent.Get(), &values, u"Qword") &&
                      !sys.RegQueryValueExW(key.Get(), u"Qword", nullptr, &data),
                  "delete a value through a subkey path");
}

void TestEnumeration(Win32Platform& sys, Checks& checks) {
    const std::vector<Text> names = {u"Alpha", u"Beta", u"Gamma", u"\u65e5\u672c-Schl\u00fcssel"};
    ScopedKey key(sys);
    sys.RegCreateKeyExW(kHkeyLocalMachine, kBase + u"\\Enum", 0, kRegOptionNonVolatile,
                        kWriteMask, nullptr, key.Receive());
    for (const Text& name : names) {
        ScopedKey child(sys);
        sys.RegCreateKeyExW(key.Get(), name, 0, kRegOptionNonVolatile, kWriteMask, nullptr,
                            child.Receive());
    }
    std::uint32_t count = 0;
    const bool counted = sys.RegQueryInfoKeyW(key.Get(), &count);
    checks.Expect(counted && count == names.size(),
                  "the subkey count is " + std::to_string(names.size()) + " (got " +
                      std::to_string(count) + ")");

    std::vector<Text> seen = SubkeyNames(sys, key.Get());
    std::vector<Text> expected = names;
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    checks.Expect(seen == expected, "enumeration yields every subkey name once");
    Text name = u"kept";
    checks.Expect(!sys.RegEnumKeyExW(key.Get(), static_cast<std::uint32_t>(names.size()), 256,
                                     &name),
                  "enumeration past the last subkey fails");

    // "Gamma" has five units: it needs a capacity of six with the terminator.
    struct Capacity {
        std::uint32_t units;
        bool fits;
    };
    const Capacity capacities[] = {{0, false}, {5, false}, {6, true}};
    std::uint32_t gammaIndex = 0;
    for (std::uint32_t i = 0; sys.RegEnumKeyExW(key.Get(), i, 256, &name); ++i)
        if (name == u"Gamma") gammaIndex = i;
    for (const Capacity& capacity : capacities) {
        Text got;
        const bool ok = sys.RegEnumKeyExW(key.Get(), gammaIndex, capacity.units, &got);
        checks.Expect(ok == capacity.fits && (!ok || got == u"Gamma"),
                      "a name of 5 units with capacity " + std::to_string(capacity.units) +
                          (capacity.fits ? " fits" : " does not fit"));
    }

    std::uint32_t sentinel = 77;
    checks.Expect(!sys.RegQueryInfoKeyW(0, &sentinel) && sentinel == 77,
                  "the subkey count of no key fails and leaves the count alone");
    ScopedKey leaf(sys);
    sys.RegOpenKeyExW(key.Get(), u"Alpha", 0, kReadMask, leaf.Receive());
    count = 77;
    checks.Expect(sys.RegQueryInfoKeyW(leaf.Get(), &count) && count == 0,
                  "a key without subkeys counts 0");
}

void TestDeleteKeys(Win32Platform& sys, Checks& checks) {
    const Text enumPath = kBase + u"\\Enum";
    checks.Expect(sys.RegDeleteKeyExW(kHkeyLocalMachine, enumPath + u"\\Alpha", kKeyWow64_64Key,
                                      0) &&
                      !KeyExists(sys, kHkeyLocalMachine, enumPath + u"\\Alpha"),
                  "delete a key without subkeys in the 64-bit view");
    const bool deletedParent =
        sys.RegDeleteKeyExW(kHkeyLocalMachine, enumPath, kKeyWow64_64Key, 0);
    checks.Expect(!deletedParent && KeyExists(sys, kHkeyLocalMachine, enumPath + u"\\Beta"),
                  "a key with subkeys is not deleted one by one");

    // A null path empties the key itself: subkeys and values go, the key stays.
    ScopedKey key(sys);
    sys.RegOpenKeyExW(kHkeyLocalMachine, enumPath, 0, kWriteMask, key.Receive());
    const Bytes one = LittleEndian(1, 4);
    sys.RegSetValueExW(key.Get(), u"Value", 0, kRegDword, one.data(), 4);
    Bytes data;
    std::uint32_t count = 77;
    const bool emptied = sys.RegDeleteTreeW(key.Get(), nullptr);
    checks.Expect(emptied && sys.RegQueryInfoKeyW(key.Get(), &count) && count == 0,
                  "delete tree without a path removes the key's subkeys");
    const bool valueGone = !sys.RegQueryValueExW(key.Get(), u"Value", nullptr, &data);
    checks.Expect(valueGone, "delete tree without a path removes the key's values");
    checks.Expect(KeyExists(sys, kHkeyLocalMachine, enumPath),
                  "delete tree without a path keeps the key itself");

    if (!RunsUnderWow64()) {
        checks.Expect(sys.RegDeleteTreeW(kHkeyLocalMachine, &kBase) &&
                          !KeyExists(sys, kHkeyLocalMachine, kBase),
                      "delete tree removes the key and everything below it");
    } else {
        // Given a root and a path, a 32-bit process deletes in the 32-bit
        // view: why the pass removes a key through a handle it opened.
        sys.RegDeleteTreeW(kHkeyLocalMachine, &kBase);
        checks.Expect(KeyExists(sys, kHkeyLocalMachine, kBase),
                      "under WOW64, delete tree by root and path leaves the 64-bit key");
        ScopedKey base(sys);
        sys.RegOpenKeyExW(kHkeyLocalMachine, kBase, 0, kWriteMask, base.Receive());
        checks.Expect(sys.RegDeleteTreeW(base.Get(), nullptr) &&
                          sys.RegDeleteKeyExW(kHkeyLocalMachine, kBase, kKeyWow64_64Key, 0) &&
                          !KeyExists(sys, kHkeyLocalMachine, kBase),
                      "under WOW64, delete tree through a 64-bit handle removes it all");
    }
    checks.Expect(!sys.RegDeleteTreeW(kHkeyLocalMachine, &kBase),
                  "delete tree of a missing key fails");
}

// How the system treats odd paths; the engine's own path handling decides
// what reaches it, so these are reported, not judged.
void ProbeOddPaths(Win32Platform& sys, Checks& checks) {
    struct Probe {
        const char* label;
        Text path;
    };
    const Probe probes[] = {
        {"trailing backslash", kBase + u"\\Trailing\\"},
        {"leading backslash", u"\\" + kBase + u"\\Leading"},
        {"doubled backslash", kBase + u"\\Doubled\\\\Inner"},
        {"empty path below a root", u""},
    };
    for (const Probe& probe : probes) {
        ScopedKey key(sys);
        const bool ok = sys.RegCreateKeyExW(kHkeyLocalMachine, probe.path, 0,
                                            kRegOptionNonVolatile, kWriteMask, nullptr,
                                            key.Receive());
        std::string made;
        ScopedKey base(sys);
        if (sys.RegOpenKeyExW(kHkeyLocalMachine, kBase, 0, kReadMask, base.Receive())) {
            for (const Text& name : SubkeyNames(sys, base.Get())) {
                made += " " + U8(name);
                ScopedKey sub(sys);
                sys.RegOpenKeyExW(base.Get(), name, 0, kReadMask, sub.Receive());
                for (const Text& inner : SubkeyNames(sys, sub.Get()))
                    made += "\\" + (inner.empty() ? std::string("<empty name>") : U8(inner));
            }
        }
        ScopedKey reopened(sys);
        const bool opens =
            sys.RegOpenKeyExW(kHkeyLocalMachine, probe.path, 0, kReadMask, reopened.Receive());
        checks.Note(std::string("RegCreateKeyExW, ") + probe.label + ": " +
                    (ok ? "succeeds" : "fails") + ", RegOpenKeyExW " +
                    (opens ? "succeeds" : "fails") +
                    (ok && key.Get() == kHkeyLocalMachine ? " and hands the root back" : "") +
                    "; keys below the test key:" + (made.empty() ? " none" : made));
        sys.RegDeleteTreeW(kHkeyLocalMachine, &kBase);
        sys.RegDeleteKeyExW(kHkeyLocalMachine, kBase, kKeyWow64_64Key, 0);
    }

    // Which view a 32-bit-view delete reaches from a 64-bit process.
    {
        ScopedKey key(sys);
        sys.RegCreateKeyExW(kHkeyLocalMachine, kBase + u"\\View", 0, kRegOptionNonVolatile,
                            kWriteMask, nullptr, key.Receive());
    }
    const bool deleted32 =
        sys.RegDeleteKeyExW(kHkeyLocalMachine, kBase + u"\\View", kKeyWow64_32Key, 0);
    checks.Note(std::string("RegDeleteKeyExW with KEY_WOW64_32KEY on a key made in the 64-bit "
                            "view: ") +
                (deleted32 ? "succeeds" : "fails") + ", the key " +
                (KeyExists(sys, kHkeyLocalMachine, kBase + u"\\View") ? "stays" : "is gone"));
    sys.RegDeleteTreeW(kHkeyLocalMachine, &kBase);
    sys.RegDeleteKeyExW(kHkeyLocalMachine, kBase, kKeyWow64_64Key, 0);
}

// ----------------------------------------------------- Processes, system

DWORD ExitCodeOf(ProcessHandle process) {
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(process)), &code);
    return code;
}

void TestProcesses(Win32Platform& sys, Checks& checks) {
    const Text self = OwnPath();
    const Text quoted = u"\"" + self + u"\"";
    const StartupInfo hidden{kStartfUseShowWindow, kSwHide};

    struct Start {
        const char* label;
        Text application;
        Text commandLine;
        DWORD exitCode;
    };
    const Start starts[] = {
        {"full application path", self, quoted + u" --exit 3", 3},
        {"no application name: found from the command line", u"", quoted + u" --exit 4", 4},
        {"command line far past MAX_PATH", self,
         quoted + u" --exit 5 " + Text(2000, u'x'), 5},
    };
    for (const Start& start : starts) {
        ProcessHandle process = 0;
        const bool started =
            sys.CreateProcessW(start.application, start.commandLine, true, 0, hidden, &process);
        const WaitResult waited =
            started ? sys.WaitForProcess(process, 30000) : WaitResult::Failed;
        const DWORD code = started ? ExitCodeOf(process) : 0xFFFFFFFF;
        checks.Expect(started && process != 0 && waited == WaitResult::Exited &&
                          code == start.exitCode,
                      std::string("start, wait, exit code: ") + start.label + " (exit " +
                          std::to_string(code) + ")");
        if (started) sys.CloseProcess(process);
    }

    ProcessHandle sleeper = 0;
    if (sys.CreateProcessW(self, quoted + u" --sleep 20000", false, 0, hidden, &sleeper)) {
        checks.Expect(sys.WaitForProcess(sleeper, 0) == WaitResult::TimedOut,
                      "a running child times out a short wait");
        ::TerminateProcess(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(sleeper)), 9);
        checks.Expect(sys.WaitForProcess(sleeper, 30000) == WaitResult::Exited,
                      "an ended child is reported as exited");
        sys.CloseProcess(sleeper);
    } else {
        checks.Expect(false, "start a sleeping child");
    }

    ProcessHandle none = 0x55;
    checks.Expect(!sys.CreateProcessW(u"C:\\no\\such\\program.exe", u"program.exe", true, 0,
                                      hidden, &none) &&
                      none == 0x55,
                  "starting a missing program fails and leaves the handle alone");
    checks.Expect(sys.WaitForProcess(0, 0) == WaitResult::Failed,
                  "waiting on no process fails");

    const Text system = sys.GetSystemDirectoryW();
    checks.Expect(!system.empty() && system.back() != u'\\' && sys.PathExists(system),
                  "the system folder exists: " + U8(system));
    checks.Expect(sys.PathExists(system + u"\\reg.exe"), "reg.exe is in the system folder");
}

void TestClockAndEnvironment(Win32Platform& sys, Checks& checks) {
    const LocalTime now = sys.GetLocalTime();
    checks.Expect(now.year >= 2020 && now.month >= 1 && now.month <= 12 && now.day >= 1 &&
                      now.day <= 31 && now.hour >= 0 && now.hour <= 23 && now.minute >= 0 &&
                      now.minute <= 59 && now.second >= 0 && now.second <= 59,
                  "the local time is a plausible date and time");

    const Text longValue(5000, u'v');
    ::SetEnvironmentVariableW(L"KEYMASON_SELFTEST", L"C:\\km app");
    ::SetEnvironmentVariableW(L"KEYMASON_SELFTEST_LONG", Wide(longValue));
    ::SetEnvironmentVariableW(L"KEYMASON_SELFTEST_UNSET", nullptr);
    struct Row {
        const char* label;
        Text source;
        Text expected;
    };
    const Row rows[] = {
        {"a set variable", u"%KEYMASON_SELFTEST%\\logs", u"C:\\km app\\logs"},
        {"an unset variable stays as written", u"%KEYMASON_SELFTEST_UNSET%\\logs",
         u"%KEYMASON_SELFTEST_UNSET%\\logs"},
        {"a lone percent sign", u"100% sure", u"100% sure"},
        {"empty text", u"", u""},
        {"a 5000-unit value, past any first buffer", u"<%KEYMASON_SELFTEST_LONG%>",
         u"<" + longValue + u">"},
    };
    for (const Row& row : rows) {
        Text expanded = u"stale";
        const bool ok = sys.ExpandEnvironmentStringsW(row.source, &expanded);
        checks.Expect(ok && expanded == row.expected,
                      std::string("expand: ") + row.label + " (" +
                          std::to_string(expanded.size()) + " units)");
    }
}

void TestShortPaths(Win32Platform& sys, Checks& checks, const Text& work) {
    const Text longFolder = work + u"\\A Folder With A Long Name";
    ::CreateDirectoryW(Wide(longFolder), nullptr);
    Text shortPath;
    const bool ok = sys.GetShortPathNameW(longFolder, &shortPath);
    checks.Expect(ok && !shortPath.empty() && sys.PathExists(shortPath),
                  "short form of an existing folder names it: " + U8(shortPath));
    Text kept = u"kept";
    checks.Expect(!sys.GetShortPathNameW(work + u"\\No Such Folder", &kept),
                  "short form of a missing path fails");

    const Text deep = MakeDeepFolder(work);
    Text deepShort;
    const bool deepOk = sys.GetShortPathNameW(deep, &deepShort);
    checks.Expect(deepOk && deepShort.size() < deep.size() &&
                      deepShort.compare(0, 4, u"\\\\?\\") == 0,
                  "short form of a " + std::to_string(deep.size()) + "-unit path (" +
                      std::to_string(deepShort.size()) + " units)");
}

// ------------------------------------------------------------------- Files

// Whether this system refuses a read of a range that another handle locked.
bool LockStopsReads(const Text& path, DWORD offset) {
    UniqueFileHandle file(::CreateFileW(Wide(path), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || ::SetFilePointer(file.Get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
                     INVALID_SET_FILE_POINTER)
        return false;
    char byte = 0;
    DWORD got = 0;
    return !::ReadFile(file.Get(), &byte, 1, &got, nullptr);
}

void TestFiles(Win32Platform& sys, Checks& checks, const Text& work) {
    const Text path = work + u"\\append.log";
    const Text missingFolder = work + u"\\no such folder\\x.log";

    checks.Expect(sys.ReadWholeFile(path, kNoSizeLimit).status == FileReadStatus::NotOpened,
                  "reading a missing file: not opened");
    checks.Expect(sys.ReadWholeFile(work, kNoSizeLimit).status == FileReadStatus::NotOpened,
                  "reading a folder: not opened");
    checks.Expect(!sys.AppendToFile(missingFolder, "x"),
                  "appending in a missing folder fails");

    // Each piece is appended as it is; the file always holds all pieces so far.
    const std::string pieces[] = {
        "", "first line\n", "second\r\n", std::string("\0\x1a\xff\r\r\n", 6),
        std::string(300000, 'L'),
    };
    std::string expected;
    for (const std::string& piece : pieces) {
        const bool appended = sys.AppendToFile(path, piece);
        expected += piece;
        const FileContents read = sys.ReadWholeFile(path, kNoSizeLimit);
        checks.Expect(appended && read.status == FileReadStatus::Read && read.bytes == expected,
                      "append " + std::to_string(piece.size()) + " bytes, read back " +
                          std::to_string(read.bytes.size()) + " of " +
                          std::to_string(expected.size()));
    }

    struct Exists {
        const char* label;
        Text path;
        bool exists;
    };
    const Exists exists[] = {
        {"a file", path, true},
        {"a folder", work, true},
        {"a missing file", work + u"\\missing.txt", false},
        {"a path in a missing folder", missingFolder, false},
    };
    for (const Exists& row : exists)
        checks.Expect(sys.PathExists(row.path) == row.exists,
                      std::string("exists: ") + row.label);

    // Another program holds the file open for writing, sharing it: both work.
    {
        UniqueFileHandle other(::CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const bool appended = sys.AppendToFile(path, "shared\n");
        expected += "shared\n";
        checks.Expect(other && appended && sys.ReadWholeFile(path, kNoSizeLimit).bytes == expected,
                      "append and read while another writer shares the file");
    }
    // Another program denies writers: reading still works, appending does not.
    {
        UniqueFileHandle other(::CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        checks.Expect(other && !sys.AppendToFile(path, "denied\n") &&
                          sys.ReadWholeFile(path, kNoSizeLimit).bytes == expected,
                      "a file locked against writers is read but not appended to");
    }

    // A range locked by another program makes a read fail partway: what came
    // before the lock is kept.
    {
        const Text lockedPath = work + u"\\locked.bin";
        const std::string whole(400000, 'K');
        sys.AppendToFile(lockedPath, whole);
        UniqueFileHandle other(::CreateFileW(Wide(lockedPath), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const bool locked = other && ::LockFile(other.Get(), 300000, 0, 1000, 0);
        if (locked && LockStopsReads(lockedPath, 300000)) {
            const FileContents read = sys.ReadWholeFile(lockedPath, kNoSizeLimit);
            checks.Expect(read.status == FileReadStatus::ReadError &&
                              read.bytes.size() <= 300000 &&
                              read.bytes == whole.substr(0, read.bytes.size()),
                          "a read that fails partway is an error and keeps the " +
                              std::to_string(read.bytes.size()) + " bytes before it");
        } else {
            checks.Note(std::string("a byte-range lock ") +
                        (locked ? "does not stop reads" : "could not be taken") +
                        " here, so a read failing partway was not exercised");
        }
    }

    const Text deepFile = MakeDeepFolder(work) + u"\\deep.log";
    const bool appended = sys.AppendToFile(deepFile, "deep\n");
    const FileContents deepRead = sys.ReadWholeFile(deepFile, kNoSizeLimit);
    checks.Expect(appended && deepRead.status == FileReadStatus::Read &&
                      deepRead.bytes == "deep\n" && sys.PathExists(deepFile),
                  "a " + std::to_string(deepFile.size()) + "-unit path is written and read");
}

// ------------------------------------------------------------- Own version

void TestVersion(Win32Platform& sys, Checks& checks, const Text& work) {
    const std::optional<std::uint64_t> version = sys.GetOwnFileVersion();
    checks.Expect(version && *version == kExpectedVersion,
                  "own file version is Keymason's from the version resource");

    // A copy of this program in a folder past MAX_PATH still reads its version.
    const Text copy = MakeDeepFolder(work) + u"\\selftest copy.exe";
    const bool copied = ::CopyFileW(Wide(u"\\\\?\\" + OwnPath()), Wide(copy), FALSE) != FALSE;
    // The system may take the long path with or without the \\?\ prefix.
    const Text plain = copy.substr(4);
    ProcessHandle process = 0;
    bool started = false;
    DWORD startError = 0;
    for (const Text& application : {plain, copy}) {
        started = copied && sys.CreateProcessW(application, u"\"" + plain + u"\" --version",
                                               false, 0, StartupInfo{}, &process);
        if (started) break;
        startError = ::GetLastError();
    }
    if (started) {
        sys.WaitForProcess(process, 30000);
        const DWORD code = ExitCodeOf(process);
        sys.CloseProcess(process);
        checks.Expect(code == 0, "own version read from a " + std::to_string(copy.size()) +
                                     "-unit program path (exit " + std::to_string(code) + ")");
    } else {
        checks.Note("a program copied to a " + std::to_string(copy.size()) +
                    "-unit path could not be " + (copied ? "started" : "copied") +
                    " here (error " + std::to_string(startError) +
                    "), so the long module path was not exercised");
    }
}

int ChildMode(int argc, wchar_t** argv) {
    const std::wstring mode = argv[1];
    if (mode == L"--exit" && argc >= 3) return static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    if (mode == L"--sleep" && argc >= 3) {
        ::Sleep(static_cast<DWORD>(std::wcstol(argv[2], nullptr, 10)));
        return 0;
    }
    if (mode == L"--version") {
        Win32Platform sys;
        const std::optional<std::uint64_t> version = sys.GetOwnFileVersion();
        return version && *version == kExpectedVersion ? 0 : 2;
    }
    return 100;
}

// The shell's WOW64 answer and the access mask the pass derives from it: a
// 32-bit build on a 64-bit system must be told it runs under WOW64, and its
// writes must land in the 64-bit view, not below Wow6432Node.
void TestWow64View(Platform& sys, Checks& checks) {
    const bool system64 = RunsOn64BitSystem();
    const bool expected = RunsUnderWow64();
    BOOL underWow64 = FALSE;
    const bool answered = ::IsWow64Process(::GetCurrentProcess(), &underWow64) != FALSE;
    checks.Expect(answered && (underWow64 != FALSE) == expected,
                  std::string("IsWow64Process answers ") + (expected ? "1" : "0") + " for this build");
    const ApplySettings settings = MakeApplySettings(underWow64 ? 1 : 0);
    checks.Expect(settings.accessMask == (expected ? 0xF013Fu : 0xF003Fu),
                  "the pass's access mask goes with the answer");
    const Text path = kBase + u"\\ViewOfThePass";
    RegKey created = 0;
    checks.Expect(sys.RegCreateKeyExW(kHkeyLocalMachine, path, 0, kRegOptionNonVolatile,
                                      settings.accessMask, &settings.keyAttributes, &created),
                  "a key created with the pass's mask");
    sys.RegCloseKey(created);
    if (!system64) return;
    RegKey in64 = 0, in32 = 0;
    checks.Expect(sys.RegOpenKeyExW(kHkeyLocalMachine, path, 0, kKeyRead | kKeyWow64_64Key, &in64),
                  "it is in the 64-bit view");
    checks.Expect(!sys.RegOpenKeyExW(kHkeyLocalMachine, path, 0, kKeyRead | kKeyWow64_32Key, &in32),
                  "it is not in the 32-bit view");
    sys.RegCloseKey(in64);
    sys.RegCloseKey(in32);
    sys.RegDeleteKeyExW(kHkeyLocalMachine, path, kKeyWow64_64Key, 0);
}

// The scratch key, in the 64-bit view whatever the build, and the work folder.
void RemoveScratch(Platform& sys, const Text& work) {
    {
        ScopedKey base(sys);
        if (sys.RegOpenKeyExW(kHkeyLocalMachine, kBase, 0, kWriteMask, base.Receive()))
            sys.RegDeleteTreeW(base.Get(), nullptr);
    }
    sys.RegDeleteKeyExW(kHkeyLocalMachine, kBase, kKeyWow64_64Key, 0);
    RemoveTree(u"\\\\?\\" + work);
}

// What an earlier run left goes first; what this run makes goes when it
// ends, however it ends.
class Scratch {
public:
    Scratch(Platform& sys, const Text& work) : sys_(sys), work_(work) {
        RemoveScratch(sys_, work_);
        ::CreateDirectoryW(Wide(work_), nullptr);
    }
    ~Scratch() { RemoveScratch(sys_, work_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

private:
    Platform& sys_;
    Text work_;
};

int RunAll() {
    Win32Platform sys;
    Checks checks;
    const Text work = TempFolder() + u"\\KeymasonSelfTest";
    {
        Scratch scratch(sys, work);
        TestRoots(sys, checks);
        TestCreateAndOpen(sys, checks);
        TestValues(sys, checks);
        TestEnumeration(sys, checks);
        TestDeleteKeys(sys, checks);
        ProbeOddPaths(sys, checks);
        TestProcesses(sys, checks);
        TestClockAndEnvironment(sys, checks);
        TestShortPaths(sys, checks, work);
        TestFiles(sys, checks, work);
        TestVersion(sys, checks, work);
        TestWow64View(sys, checks);
        CheckHives(sys, checks, work);
        CheckSignatureForms(checks, work);
    }
    std::printf("%d passed, %d failed\n", checks.Passed(), checks.Failed());
    return checks.Failed() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace km

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2) return km::ChildMode(argc, argv);
    // Caught so that the stack unwinds and the scratch key and folder go.
    try {
        return km::RunAll();
    } catch (const std::exception& error) {
        std::printf("[FAIL] stopped by an error: %s\n", error.what());
        return 1;
    }
}
