// A stand-in for the system's reg.exe in the end-to-end prefix: Wine's own
// reg.exe has no Load or Unload. Test fixture only; never shipped.
//
//   reg.exe Load ROOT\NAME FILE     loads the hive file FILE as ROOT\NAME
//   reg.exe Unload ROOT\NAME        writes the hive back to its file and unloads it
//   reg.exe makehive FILE [KEY NAME DATA]...
//                                   writes a new hive file holding the REG_SZ
//                                   values DATA named NAME in the keys KEY
//                                   (relative to the hive's root; "" = the root)
// ROOT is HKEY_USERS, HKU, HKEY_LOCAL_MACHINE or HKLM.
//
// With REG_STANDIN_LOAD_DELAY_MS set in its environment (inherited from
// Keymason), Load waits that long first: a slow load holds a run in its
// hive phase long enough for the suite to press Cancel there.
//
// Every start appends one line to <Windows folder>\reg-standin.log: the
// command line exactly as received, a tab, and "ok" or "error N" (the
// Win32 error code). Exit code 0 on success, 1 on failure, 2 on bad usage.
//
// Wine's RegUnLoadKeyW drops the keys without writing them anywhere, so the
// hive is saved back to the file it was loaded from first; which file that
// was is kept below HKLM\SOFTWARE\KeymasonRegStandin\Mounts between runs.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace {

using km::UniqueKernelHandle;
using km::UniqueRegKey;

constexpr wchar_t kMountsKey[] = L"SOFTWARE\\KeymasonRegStandin\\Mounts";
constexpr wchar_t kScratchKey[] = L"SOFTWARE\\KeymasonRegStandin\\Scratch";
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Root {
    const wchar_t* name;
    const wchar_t* canonical;
    HKEY key;
};
const Root kRoots[] = {
    {L"HKEY_USERS", L"HKEY_USERS", HKEY_USERS},
    {L"HKU", L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_LOCAL_MACHINE", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
};

// ROOT\NAME split into its predefined key and the name below it.
struct MountPoint {
    HKEY root = nullptr;
    std::wstring name;
    std::wstring canonical;  // "HKEY_USERS\NAME": the key of the mount record
};

bool EqualsIgnoreCase(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool ParseMountPoint(const std::wstring& text, MountPoint* out) {
    const std::size_t slash = text.find(L'\\');
    if (slash == std::wstring::npos || slash + 1 == text.size()) return false;
    const std::wstring head = text.substr(0, slash);
    for (const Root& root : kRoots) {
        if (!EqualsIgnoreCase(head, root.name)) continue;
        out->root = root.key;
        out->name = text.substr(slash + 1);
        out->canonical = std::wstring(root.canonical) + L"\\" + out->name;
        return true;
    }
    return false;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

void AppendToLog(const std::wstring& commandLine, LONG result) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring path = std::wstring(folder) + L"\\reg-standin.log";
    // Appends from every process land whole, one after the other.
    const UniqueKernelHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) return;
    std::string line = Utf8(commandLine) + "\t";
    line += result == ERROR_SUCCESS ? "ok" : "error " + std::to_string(result);
    line += "\n";
    DWORD written = 0;
    ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Loading and saving hives needs both privileges enabled in the token.
LONG EnableHivePrivileges() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return static_cast<LONG>(::GetLastError());
    const UniqueKernelHandle owned(token);
    for (const wchar_t* name : {SE_RESTORE_NAME, SE_BACKUP_NAME}) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) ||
            !::AdjustTokenPrivileges(owned.Get(), FALSE, &privileges, 0, nullptr, nullptr) ||
            ::GetLastError() != ERROR_SUCCESS)
            return static_cast<LONG>(::GetLastError());
    }
    return ERROR_SUCCESS;
}

LONG OpenOrCreate(HKEY root, const wchar_t* path, UniqueRegKey* out) {
    HKEY key = nullptr;
    const LONG result = ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                          nullptr);
    if (result == ERROR_SUCCESS) out->Reset(key);
    return result;
}

bool KeyExists(HKEY root, const std::wstring& name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

LONG RecordMount(const MountPoint& mount, const std::wstring& file) {
    UniqueRegKey mounts;
    LONG result = OpenOrCreate(HKEY_LOCAL_MACHINE, kMountsKey, &mounts);
    if (result != ERROR_SUCCESS) return result;
    return ::RegSetValueExW(mounts.Get(), mount.canonical.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(file.c_str()),
                            static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
}

LONG RecordedFile(const MountPoint& mount, std::wstring* file) {
    UniqueRegKey mounts;
    LONG result = OpenOrCreate(HKEY_LOCAL_MACHINE, kMountsKey, &mounts);
    if (result != ERROR_SUCCESS) return result;
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    result = ::RegQueryValueExW(mounts.Get(), mount.canonical.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ) return ERROR_INVALID_DATA;
    *file = buffer;
    return ERROR_SUCCESS;
}

void ForgetMount(const MountPoint& mount) {
    UniqueRegKey mounts;
    if (OpenOrCreate(HKEY_LOCAL_MACHINE, kMountsKey, &mounts) == ERROR_SUCCESS)
        ::RegDeleteValueW(mounts.Get(), mount.canonical.c_str());
}

// Saves KEY to FILE, replacing the file: written next to it first, so a
// failed save leaves the old file whole.
LONG SaveKeyOver(HKEY key, const std::wstring& file) {
    const std::wstring fresh = file + L".standin-new";
    ::DeleteFileW(fresh.c_str());
    LONG result = ::RegSaveKeyW(key, fresh.c_str(), nullptr);
    if (result != ERROR_SUCCESS) return result;
    if (!::MoveFileExW(fresh.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        result = static_cast<LONG>(::GetLastError());
        ::DeleteFileW(fresh.c_str());
    }
    return result;
}

void DelayLoad() {
    wchar_t text[16];
    const DWORD length = ::GetEnvironmentVariableW(L"REG_STANDIN_LOAD_DELAY_MS", text, 16);
    if (length == 0 || length >= 16) return;
    ::Sleep(static_cast<DWORD>(std::wcstoul(text, nullptr, 10)));
}

LONG Load(const MountPoint& mount, const std::wstring& file) {
    DelayLoad();
    // As on Windows: a name already in use is refused, not merged into.
    if (KeyExists(mount.root, mount.name)) return ERROR_ALREADY_EXISTS;
    if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return static_cast<LONG>(::GetLastError());
    wchar_t full[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(file.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return ERROR_BAD_PATHNAME;
    const LONG result = ::RegLoadKeyW(mount.root, mount.name.c_str(), full);
    if (result != ERROR_SUCCESS) return result;
    return RecordMount(mount, full);
}

LONG Unload(const MountPoint& mount) {
    std::wstring file;
    LONG result = RecordedFile(mount, &file);
    if (result != ERROR_SUCCESS) return result;
    {
        HKEY opened = nullptr;
        result = ::RegOpenKeyExW(mount.root, mount.name.c_str(), 0, KEY_READ, &opened);
        if (result != ERROR_SUCCESS) return result;
        const UniqueRegKey key(opened);
        result = SaveKeyOver(key.Get(), file);
        if (result != ERROR_SUCCESS) return result;
    }  // closed: an open handle blocks the unload
    result = ::RegUnLoadKeyW(mount.root, mount.name.c_str());
    if (result == ERROR_SUCCESS) ForgetMount(mount);
    return result;
}

LONG SetText(HKEY root, const std::wstring& path, const std::wstring& name,
             const std::wstring& data) {
    UniqueRegKey key;
    const LONG result = OpenOrCreate(root, path.c_str(), &key);
    if (result != ERROR_SUCCESS) return result;
    return ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

// Builds the hive in a scratch key and saves it: the file is then in the
// format this system's RegLoadKeyW reads.
LONG MakeHive(const std::wstring& file, const std::vector<std::wstring>& triples) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScratchKey);
    LONG result = ERROR_SUCCESS;
    {
        UniqueRegKey scratch;
        result = OpenOrCreate(HKEY_LOCAL_MACHINE, kScratchKey, &scratch);
        for (std::size_t i = 0; result == ERROR_SUCCESS && i + 2 < triples.size(); i += 3)
            result = SetText(scratch.Get(), triples[i], triples[i + 1], triples[i + 2]);
        if (result == ERROR_SUCCESS) {
            ::DeleteFileW(file.c_str());
            result = ::RegSaveKeyW(scratch.Get(), file.c_str(), nullptr);
        }
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScratchKey);
    return result;
}

int Usage() {
    std::fputs("usage: reg.exe Load ROOT\\NAME FILE | Unload ROOT\\NAME |"
               " makehive FILE [KEY NAME DATA]...\n",
               stderr);
    return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    const std::wstring commandLine = ::GetCommandLineW();
    const std::wstring verb = args.empty() ? std::wstring() : args[0];

    LONG result = ERROR_SUCCESS;
    MountPoint mount;
    if (EqualsIgnoreCase(verb, L"Load") && args.size() == 3) {
        if (!ParseMountPoint(args[1], &mount)) result = ERROR_INVALID_PARAMETER;
        if (result == ERROR_SUCCESS) result = EnableHivePrivileges();
        if (result == ERROR_SUCCESS) result = Load(mount, args[2]);
    } else if (EqualsIgnoreCase(verb, L"Unload") && args.size() == 2) {
        if (!ParseMountPoint(args[1], &mount)) result = ERROR_INVALID_PARAMETER;
        if (result == ERROR_SUCCESS) result = EnableHivePrivileges();
        if (result == ERROR_SUCCESS) result = Unload(mount);
    } else if (verb == L"makehive" && args.size() >= 2 && (args.size() - 2) % 3 == 0) {
        result = EnableHivePrivileges();
        if (result == ERROR_SUCCESS)
            result = MakeHive(args[1], std::vector<std::wstring>(args.begin() + 2, args.end()));
    } else {
        AppendToLog(commandLine, ERROR_INVALID_PARAMETER);
        return Usage();
    }
    AppendToLog(commandLine, result);
    if (result != ERROR_SUCCESS) {
        std::fprintf(stderr, "reg.exe: error %ld\n", static_cast<long>(result));
        return kFailed;
    }
    return 0;
}
