// The machine's registry for --live: every key opened for reading only, in
// the 64-bit view that Keymason writes; users' hive files loaded with
// RegLoadAppKeyW, privately, and unloaded when their handle closes.
#include <windows.h>

#include "toolkit/live_base.h"
#include "platform/win32/win32_handle.h"

namespace km::toolkit {

namespace {

constexpr REGSAM kReadOnly = KEY_READ | KEY_WOW64_64KEY;

const wchar_t* Wide(const Text& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
Text FromWide(const wchar_t* text, std::size_t length) {
    return Text(reinterpret_cast<const char16_t*>(text), length);
}

std::string ErrorText(LONG code) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = "error " + std::to_string(code);
    if (length && message) {
        std::wstring wide(message, length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) wide.pop_back();
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string utf8(std::size_t(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), utf8.data(), bytes, nullptr, nullptr);
        text += " (" + utf8 + ")";
    }
    if (message) LocalFree(message);
    return text;
}

// Reads one key's subkey names and values through an open handle.
bool ReadOpenKey(HKEY key, KeyContents* contents) {
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::wstring name(std::size_t(std::max(maxSubkey, maxName)) + 2, L'\0');
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = DWORD(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            contents->subkeys.push_back(FromWide(name.c_str(), length));
    }
    std::vector<BYTE> data(std::size_t(maxData) + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD length = DWORD(name.size()), type = 0, size = DWORD(data.size());
        if (RegEnumValueW(key, i, name.data(), &length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            continue;
        contents->values.emplace_back(FromWide(name.c_str(), length),
                                      StoredValue{type, Bytes(data.begin(), data.begin() + size)});
    }
    return true;
}

class KeyBelow : public KeySource {
public:
    explicit KeyBelow(HKEY top) : top_(top) {}
    bool ReadKey(const Text& path, KeyContents* contents) override {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(top_, Wide(path), 0, kReadOnly, &opened) != ERROR_SUCCESS) return false;
        UniqueRegKey key(opened);
        return ReadOpenKey(key.Get(), contents);
    }

private:
    HKEY top_;
};

// Owns the handle of a privately loaded hive: closing it unloads the hive.
class LoadedHive : public KeySource {
public:
    explicit LoadedHive(HKEY top) : top_(top) {}
    bool ReadKey(const Text& path, KeyContents* contents) override { return KeyBelow(top_.Get()).ReadKey(path, contents); }

private:
    UniqueRegKey top_;
};

class MachineRegistry : public RegistrySource {
public:
    std::shared_ptr<KeySource> Root(RegKey root) override {
        switch (root) {
            case kHkeyClassesRoot: return std::make_shared<KeyBelow>(HKEY_CLASSES_ROOT);
            case kHkeyLocalMachine: return std::make_shared<KeyBelow>(HKEY_LOCAL_MACHINE);
            default: return std::make_shared<KeyBelow>(HKEY_USERS);
        }
    }

    std::shared_ptr<KeySource> LoadHiveFile(const Text& file, std::string* why) override {
        // RegLoadAppKeyW makes an empty hive file where there is none: never let it.
        const DWORD attributes = GetFileAttributesW(Wide(file));
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *why = "no such file";
            return nullptr;
        }
        HKEY top = nullptr;
        const LONG result = RegLoadAppKeyW(Wide(file), &top, KEY_READ, REG_PROCESS_APPKEY, 0);
        if (result != ERROR_SUCCESS) {
            *why = ErrorText(result);
            return nullptr;
        }
        return std::make_shared<LoadedHive>(top);
    }

    Text ExpandEnvironment(const Text& text) override {
        const DWORD needed = ExpandEnvironmentStringsW(Wide(text), nullptr, 0);
        if (needed == 0) return text;
        std::wstring expanded(needed, L'\0');
        const DWORD written = ExpandEnvironmentStringsW(Wide(text), expanded.data(), needed);
        if (written == 0 || written > needed) return text;
        return FromWide(expanded.c_str(), written - 1);
    }
};

}  // namespace

std::shared_ptr<RegistrySource> OpenMachineRegistry() { return std::make_shared<MachineRegistry>(); }

}  // namespace km::toolkit
