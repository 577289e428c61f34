// Reads back what a run left behind, byte for byte, for the end-to-end suite:
//   keymason_probe key ROOT\path...       values (type, size, exact bytes) and subkeys,
//                                         each key's block ended by an empty line
//   keymason_probe resource FILE TYPE ID  a resource's exact bytes
//   keymason_probe tree ROOT\path...      the same for each key and every key below it,
//                                         parents first; a missing key prints "missing"
//   keymason_probe sorted ROOT\path...    each key and all below it, values and subkeys sorted
//                                         and no subkey lines: one state, one text
//   keymason_probe shortpath PATH         the path's short (8.3) form, as the system gives it
//   keymason_probe desktop                keeps the prefix's desktop up until killed:
//                                         prints "ready" once the desktop is there
//   keymason_probe remove-when ROOT\path NAME
//                                         another program's removal: waits (up to 60 s)
//                                         until the key holds value NAME, then removes
//                                         the key with its tree; prints "removed"
// ROOT is HKLM, HKCR, HKU or HKCU; TYPE and ID are numbers. Output is UTF-8,
// bytes in lower-case hex. Exit code 0, or 3 when a key or the resource is missing.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace {

struct ModuleTraits {
    using Type = HMODULE;
    static Type Empty() { return nullptr; }
    static void Close(Type module) { ::FreeLibrary(module); }
};
using UniqueModule = km::UniqueHandle<ModuleTraits>;

struct WindowTraits {
    using Type = HWND;
    static Type Empty() { return nullptr; }
    static void Close(Type window) { ::DestroyWindow(window); }
};
using UniqueWindow = km::UniqueHandle<WindowTraits>;

constexpr int kMissing = 3;
constexpr int kUsage = 2;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

std::string Hex(const BYTE* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::string TypeName(DWORD type) {
    struct Name { DWORD type; const char* name; } const names[] = {
        {REG_NONE, "REG_NONE"},       {REG_SZ, "REG_SZ"},
        {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
        {REG_DWORD, "REG_DWORD"},     {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
        {REG_LINK, "REG_LINK"},       {REG_MULTI_SZ, "REG_MULTI_SZ"},
        {REG_QWORD, "REG_QWORD"},
    };
    for (const auto& n : names)
        if (n.type == type) return n.name;
    return std::to_string(type);
}

void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

bool SplitRoot(const std::wstring& full, HKEY* root, std::wstring* path) {
    struct Root { const wchar_t* name; HKEY key; } const roots[] = {
        {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKCR", HKEY_CLASSES_ROOT},
        {L"HKU", HKEY_USERS},          {L"HKCU", HKEY_CURRENT_USER},
    };
    const std::size_t slash = full.find(L'\\');
    const std::wstring head = full.substr(0, slash);
    for (const auto& r : roots) {
        if (head == r.name) {
            *root = r.key;
            *path = slash == std::wstring::npos ? std::wstring() : full.substr(slash + 1);
            return true;
        }
    }
    return false;
}

// One key's value lines and subkey names, as the registry enumerates them.
struct KeyLines {
    std::vector<std::string> values;
    std::vector<std::wstring> subkeys;
};

// Opens ROOT\path; prints "missing ..." and fails when it does not exist.
bool ReadKeyLines(const std::wstring& full, KeyLines* lines, int* result) {
    HKEY root = nullptr;
    std::wstring path;
    if (!SplitRoot(full, &root, &path)) {
        *result = kUsage;
        return false;
    }
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        Print("missing " + Utf8(full));
        *result = kMissing;
        return false;
    }
    const km::UniqueRegKey key(opened);
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (::RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        nameLength = 16384;
        if (::RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, data.data(),
                            &size) != ERROR_SUCCESS)
            break;
        lines->values.push_back("value [" + Utf8(std::wstring(name, nameLength)) + "] type=" +
                                TypeName(type) + " size=" + std::to_string(size) +
                                " data=" + Hex(data.data(), size));
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.Get(), index, name, &nameLength, nullptr, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS)
            break;
        lines->subkeys.emplace_back(name, nameLength);
    }
    *result = 0;
    return true;
}

int DumpKey(const std::wstring& full, bool tree = false) {
    KeyLines lines;
    int result = 0;
    if (!ReadKeyLines(full, &lines, &result)) return result;
    Print("key " + Utf8(full));
    for (const std::string& line : lines.values) Print(line);
    for (const std::wstring& sub : lines.subkeys) Print("subkey " + Utf8(sub));
    if (!tree) return 0;
    for (const std::wstring& sub : lines.subkeys) {
        Print("");
        if (const int one = DumpKey(full + L"\\" + sub, true)) result = one;
    }
    return result;
}

// The key and everything below it, in a canonical order (values and subkeys
// sorted), so that two dumps of one state compare equal byte for byte
// whatever order the registry enumerates them in.
int DumpSorted(const std::wstring& full) {
    KeyLines lines;
    int result = 0;
    if (!ReadKeyLines(full, &lines, &result)) return result;
    std::sort(lines.values.begin(), lines.values.end());
    std::sort(lines.subkeys.begin(), lines.subkeys.end());
    Print("key " + Utf8(full));
    for (const std::string& line : lines.values) Print(line);
    Print("");
    for (const std::wstring& sub : lines.subkeys) DumpSorted(full + L"\\" + sub);
    return 0;
}

int DumpResource(const std::wstring& file, const std::wstring& type, const std::wstring& id) {
    const UniqueModule module(::LoadLibraryExW(
        file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) {
        Print("unloadable " + Utf8(file));
        return kMissing;
    }
    HRSRC found = ::FindResourceW(module.Get(), MAKEINTRESOURCEW(std::stoi(id)),
                                  MAKEINTRESOURCEW(std::stoi(type)));
    if (found == nullptr) {
        Print("missing resource " + Utf8(type) + "/" + Utf8(id));
        return kMissing;
    }
    const DWORD size = ::SizeofResource(module.Get(), found);
    HGLOBAL loaded = ::LoadResource(module.Get(), found);
    const auto* bytes = static_cast<const BYTE*>(::LockResource(loaded));
    if (bytes == nullptr) return kMissing;
    Print(Hex(bytes, size));
    return 0;
}

// Wine starts the desktop process with the first window of a prefix and ends
// it a little after the last; holding one window keeps every later program
// from paying for that start.
int PrintShortPath(const std::wstring& path) {
    const DWORD size = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) return kMissing;
    std::wstring shortPath(size, L'\0');
    const DWORD length = ::GetShortPathNameW(path.c_str(), shortPath.data(), size);
    if (length == 0 || length >= size) return kMissing;
    shortPath.resize(length);
    Print(Utf8(shortPath));
    return 0;
}

int HoldDesktop() {
    const UniqueWindow window(::CreateWindowExW(0, L"STATIC", L"keymason-probe", WS_POPUP, 0, 0, 1, 1,
                                                nullptr, nullptr, ::GetModuleHandleW(nullptr),
                                                nullptr));
    if (!window) return 1;
    Print("ready");
    std::fflush(stdout);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

int RemoveWhen(const std::wstring& full, const std::wstring& valueName) {
    HKEY root = nullptr;
    std::wstring path;
    if (!SplitRoot(full, &root, &path)) return kUsage;
    for (int tries = 0; tries < 60000; ++tries) {
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS) {
            const km::UniqueRegKey key(opened);
            if (::RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, nullptr, nullptr,
                                   nullptr) == ERROR_SUCCESS) {
                if (::RegDeleteTreeW(root, path.c_str()) != ERROR_SUCCESS) return 1;
                Print("removed");
                return 0;
            }
        }
        ::Sleep(1);
    }
    return kMissing;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() >= 2 && (args[0] == L"key" || args[0] == L"tree")) {
        int result = 0;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (const int one = DumpKey(args[i], args[0] == L"tree")) result = one;
            Print("");
        }
        return result;
    }
    if (args.size() >= 2 && args[0] == L"sorted") {
        int result = 0;
        for (std::size_t i = 1; i < args.size(); ++i)
            if (const int one = DumpSorted(args[i])) result = one;
        return result;
    }
    if (args.size() == 4 && args[0] == L"resource") return DumpResource(args[1], args[2], args[3]);
    if (args.size() == 2 && args[0] == L"shortpath") return PrintShortPath(args[1]);
    if (args.size() == 1 && args[0] == L"desktop") return HoldDesktop();
    if (args.size() == 3 && args[0] == L"remove-when") return RemoveWhen(args[1], args[2]);
    std::fputs("usage: keymason_probe key|tree|sorted ROOT\\path... |"
               " resource FILE TYPE ID | shortpath PATH | desktop | remove-when ROOT\\path NAME\n",
               stderr);
    return kUsage;
}
