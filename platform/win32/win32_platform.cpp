// Thin binding of the platform seam to Win32. No logic lives here beyond
// sizing buffers and translating handles and texts.
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace km {
namespace {

// MinGW's wchar_t is a UTF-16 code unit, so texts pass through as they are.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 code unit");

const wchar_t* Wide(const Text& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
const wchar_t* WideOrNull(const Text* text) { return text ? Wide(*text) : nullptr; }
Text ToText(const wchar_t* units, std::size_t count) {
    return Text(reinterpret_cast<const char16_t*>(units), count);
}

// Longest path the system accepts (with the \\?\ prefix); buffers grow no further.
constexpr std::size_t kMaxPathUnits = 32768;

// The seam names the roots by their 32-bit values; on x86_64 the system's
// predefined HKEYs are those values sign-extended, so they are mapped here.
struct RootMapping {
    RegKey key;
    HKEY hkey;
};
const RootMapping kRoots[] = {
    {kHkeyClassesRoot, HKEY_CLASSES_ROOT},
    {kHkeyLocalMachine, HKEY_LOCAL_MACHINE},
    {kHkeyUsers, HKEY_USERS},
};

HKEY ToHkey(RegKey key) {
    for (const RootMapping& root : kRoots) {
        if (root.key == key) return root.hkey;
    }
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}

RegKey FromHkey(HKEY hkey) {
    // Opening a root with an empty path hands the root itself back.
    for (const RootMapping& root : kRoots) {
        if (root.hkey == hkey) return root.key;
    }
    return static_cast<RegKey>(reinterpret_cast<std::uintptr_t>(hkey));
}

HANDLE ToHandle(ProcessHandle process) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(process));
}
ProcessHandle FromHandle(HANDLE handle) {
    return static_cast<ProcessHandle>(reinterpret_cast<std::uintptr_t>(handle));
}

bool Succeeded(LSTATUS status) { return status == ERROR_SUCCESS; }

}  // namespace

// ---------------------------------------------------------------- Registry

bool Win32Platform::RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                                  std::uint32_t samDesired, RegKey* result) {
    HKEY opened = nullptr;
    if (!Succeeded(::RegOpenKeyExW(ToHkey(key), Wide(subKey), options, samDesired, &opened)))
        return false;
    *result = FromHkey(opened);
    return true;
}

bool Win32Platform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                    std::uint32_t options, std::uint32_t samDesired,
                                    const SecurityAttributes* attributes, RegKey* result) {
    // The engine's record is portable; the system's has its own layout and size.
    SECURITY_ATTRIBUTES system{};
    if (attributes) {
        system.nLength = sizeof(SECURITY_ATTRIBUTES);
        system.lpSecurityDescriptor = nullptr;
        system.bInheritHandle = attributes->bInheritHandle;
    }
    HKEY created = nullptr;
    if (!Succeeded(::RegCreateKeyExW(ToHkey(key), Wide(subKey), reserved, nullptr, options,
                                     samDesired, attributes ? &system : nullptr, &created,
                                     nullptr)))
        return false;
    *result = FromHkey(created);
    return true;
}

bool Win32Platform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    return Succeeded(::RegDeleteTreeW(ToHkey(key), WideOrNull(subKey)));
}

bool Win32Platform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                    std::uint32_t reserved) {
    return Succeeded(::RegDeleteKeyExW(ToHkey(key), Wide(subKey), samDesired, reserved));
}

bool Win32Platform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                   std::uint32_t type, const std::uint8_t* data,
                                   std::uint32_t size) {
    return Succeeded(
        ::RegSetValueExW(ToHkey(key), Wide(valueName), reserved, type, data, size));
}

bool Win32Platform::RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) {
    return Succeeded(::RegDeleteKeyValueW(ToHkey(key), WideOrNull(subKey), Wide(valueName)));
}

bool Win32Platform::RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) {
    wchar_t className[260] = {};
    DWORD classLength = 260;
    DWORD count = 0;
    if (!Succeeded(::RegQueryInfoKeyW(ToHkey(key), className, &classLength, nullptr, &count,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr)))
        return false;
    *subKeys = count;
    return true;
}

bool Win32Platform::RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity,
                                  Text* name) {
    // One unit at least, so the system always gets a real buffer; the length
    // passed is still the caller's capacity.
    std::vector<wchar_t> buffer(std::max<std::uint32_t>(nameCapacity, 1), L'\0');
    DWORD length = nameCapacity;
    if (!Succeeded(::RegEnumKeyExW(ToHkey(key), index, buffer.data(), &length, nullptr, nullptr,
                                   nullptr, nullptr)))
        return false;
    *name = ToText(buffer.data(), std::min<std::size_t>(length, buffer.size()));
    return true;
}

namespace {
// The whole value, whatever its size: the status of the last query.
LSTATUS QueryWholeValue(HKEY hkey, const wchar_t* valueName, DWORD* type, Bytes* data) {
    DWORD storedType = 0;
    DWORD size = 0;
    // Ask for the size, then read; the value may grow between the two calls.
    LSTATUS status = ::RegQueryValueExW(hkey, valueName, nullptr, &storedType, nullptr, &size);
    if (!Succeeded(status)) return status;
    Bytes buffer(size);
    for (;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        status = ::RegQueryValueExW(hkey, valueName, nullptr, &storedType,
                                    buffer.empty() ? nullptr : buffer.data(), &length);
        // A null buffer only reports the size: a value that grew from empty needs another turn.
        const bool grew = Succeeded(status) && buffer.empty() && length > 0;
        if (status == ERROR_MORE_DATA || grew) {
            buffer.resize(std::max<std::size_t>(length, buffer.size() * 2 + 16));
            continue;
        }
        if (!Succeeded(status)) return status;
        buffer.resize(length);
        break;
    }
    *type = storedType;
    *data = std::move(buffer);
    return ERROR_SUCCESS;
}
}  // namespace

bool Win32Platform::RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                                     Bytes* data) {
    DWORD storedType = 0;
    Bytes buffer;
    if (!Succeeded(QueryWholeValue(ToHkey(key), Wide(valueName), &storedType, &buffer))) return false;
    if (type) *type = storedType;
    *data = std::move(buffer);
    return true;
}

bool Win32Platform::RegCloseKey(RegKey key) {
    if (key == 0) return true;
    return Succeeded(::RegCloseKey(ToHkey(key)));
}

// --------------------------------------------------------------- Processes

bool Win32Platform::CreateProcessW(const Text& applicationName, const Text& commandLine,
                                   bool inheritHandles, std::uint32_t creationFlags,
                                   const StartupInfo& startup, ProcessHandle* process) {
    // The system may write into the command line, so it gets its own copy.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');

    STARTUPINFOW info{};
    info.cb = sizeof(info);
    info.dwFlags = startup.dwFlags;
    info.wShowWindow = startup.wShowWindow;
    PROCESS_INFORMATION started{};

    // An empty application name leaves the search for the program to the system.
    const wchar_t* application = applicationName.empty() ? nullptr : Wide(applicationName);
    if (!::CreateProcessW(application, line.data(), nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                          creationFlags, nullptr, nullptr, &info, &started))
        return false;
    UniqueKernelHandle thread(started.hThread);
    *process = FromHandle(started.hProcess);
    return true;
}

WaitResult Win32Platform::WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) {
    switch (::WaitForSingleObject(ToHandle(process), timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::Exited;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

void Win32Platform::CloseProcess(ProcessHandle process) {
    UniqueKernelHandle owned(ToHandle(process));
}

Text Win32Platform::GetSystemDirectoryW() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const UINT capacity = static_cast<UINT>(buffer.size());
        const UINT length = ::GetSystemDirectoryW(buffer.data(), capacity);
        if (length == 0) return Text();
        // A count below the capacity is the text; otherwise it is the size needed.
        if (length < capacity) return ToText(buffer.data(), length);
        if (length > kMaxPathUnits) return Text();
        buffer.resize(length);
    }
}

// ------------------------------------------------------ Clock, environment

LocalTime Win32Platform::GetLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    LocalTime time;
    time.year = now.wYear;
    time.month = now.wMonth;
    time.day = now.wDay;
    time.hour = now.wHour;
    time.minute = now.wMinute;
    time.second = now.wSecond;
    return time;
}

bool Win32Platform::ExpandEnvironmentStringsW(const Text& source, Text* expanded) {
    std::vector<wchar_t> buffer(std::max<std::size_t>(source.size() + 1, MAX_PATH));
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(buffer.size());
        // The count includes the terminator, whether it fitted or is the size needed.
        const DWORD count = ::ExpandEnvironmentStringsW(Wide(source), buffer.data(), capacity);
        if (count == 0) return false;
        if (count <= capacity) {
            *expanded = ToText(buffer.data(), ::wcsnlen(buffer.data(), count));
            return true;
        }
        buffer.resize(count);
    }
}

bool Win32Platform::GetShortPathNameW(const Text& longPath, Text* shortPath) {
    std::vector<wchar_t> buffer(std::max<std::size_t>(longPath.size() + 1, MAX_PATH));
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetShortPathNameW(Wide(longPath), buffer.data(), capacity);
        if (length == 0) return false;
        // A count below the capacity is the text; otherwise it is the size needed.
        if (length < capacity) {
            *shortPath = ToText(buffer.data(), length);
            return true;
        }
        buffer.resize(length);
    }
}

// ------------------------------------------------------------------- Files

namespace {

// The path of an open file as the system resolved it, in the form that opens
// it again (\\?\C:\... or \\?\UNC\...); empty where it cannot say. Never
// fails the read it serves, not even when memory runs out.
Text FinalPathOf(HANDLE file) noexcept {
    try {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD length = ::GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (length == 0) return Text();
            if (length < buffer.size()) return Text(reinterpret_cast<const char16_t*>(buffer.data()), length);
            buffer.resize(length + 1);  // the size it needs, terminator included
        }
    } catch (const std::bad_alloc&) {
        return Text();
    }
}

}  // namespace

FileContents Win32Platform::ReadWholeFile(const Text& path, std::uint64_t limit) {
    FileContents contents;
    // Without backup semantics a folder cannot be opened, so folders fail here.
    UniqueFileHandle file(::CreateFileW(Wide(path), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return contents;
    BY_HANDLE_FILE_INFORMATION about{};
    if (::GetFileInformationByHandle(file.Get(), &about) &&
        (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return contents;

    // Read straight into a buffer of the file's size, so a large package costs
    // its size once; a file that grows meanwhile is read on to its end.
    const std::uint64_t expected =
        (std::uint64_t(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
    if (expected > limit) {
        contents.status = FileReadStatus::TooLarge;
        return contents;
    }
    contents.finalPath = FinalPathOf(file.Get());
    try {
        if (expected >= contents.bytes.max_size()) throw std::bad_alloc();
        contents.bytes.resize(static_cast<std::size_t>(expected));
        std::size_t filled = 0;
        // The end is found by a read into a small buffer of its own: growing
        // the whole buffer just to see nothing more comes would need half
        // the file's size again, and a 32-bit process may not have it.
        char probe[64 * 1024];
        for (;;) {
            const bool full = filled == contents.bytes.size();
            char* into = full ? probe : &contents.bytes[filled];
            const DWORD want = full ? DWORD{sizeof probe}
                                    : static_cast<DWORD>(std::min<std::size_t>(
                                          contents.bytes.size() - filled, 1u << 30));
            DWORD got = 0;
            if (!::ReadFile(file.Get(), into, want, &got, nullptr)) {
                contents.bytes.resize(filled);
                contents.status = FileReadStatus::ReadError;
                return contents;
            }
            if (got == 0) break;
            if (std::uint64_t(filled) + got > limit) {  // grew past the limit meanwhile
                contents.bytes.clear();
                contents.status = FileReadStatus::TooLarge;
                return contents;
            }
            if (full) contents.bytes.append(probe, got);  // the file grew meanwhile
            filled += got;
        }
        contents.bytes.resize(filled);
    } catch (const std::bad_alloc&) {
        // More than this process can hold: the package cannot be read whole.
        contents.bytes.clear();
        contents.status = FileReadStatus::ReadError;
        return contents;
    }
    contents.status = FileReadStatus::Read;
    return contents;
}

bool Win32Platform::AppendToFile(const Text& path, std::string_view bytes) {
    // Append-only access makes every write land at the end, even with other writers.
    UniqueFileHandle file(::CreateFileW(Wide(path), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), next, part, &written, nullptr) || written == 0) return false;
        next += written;
        left -= written;
    }
    return ::FlushFileBuffers(file.Get()) != FALSE;
}

bool Win32Platform::PathExists(const Text& path) { return ::_waccess(Wide(path), 0) == 0; }

// ----------------------------------------------------------- Machine policy

PolicyValue Win32Platform::QueryPolicyValue(const Text& keyPath, const Text& valueName) {
    PolicyValue policy;
    HKEY opened = nullptr;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath), 0,
                                     KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
    if (status == ERROR_FILE_NOT_FOUND) return policy;
    if (!Succeeded(status)) {
        policy.status = PolicyValueStatus::Unreadable;
        return policy;
    }
    UniqueRegKey key(opened);
    DWORD type = 0;
    status = QueryWholeValue(key.Get(), Wide(valueName), &type, &policy.data);
    if (status == ERROR_FILE_NOT_FOUND) return policy;
    policy.status = Succeeded(status) ? PolicyValueStatus::Present : PolicyValueStatus::Unreadable;
    policy.type = type;
    return policy;
}

// ------------------------------------------------------------- Own version

std::optional<std::uint64_t> Win32Platform::GetOwnFileVersion() {
    std::vector<wchar_t> program(MAX_PATH);
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(program.size());
        const DWORD length = ::GetModuleFileNameW(nullptr, program.data(), capacity);
        if (length == 0) return std::nullopt;
        // A full buffer means the path was cut short.
        if (length < capacity) break;
        if (program.size() >= kMaxPathUnits) return std::nullopt;
        program.resize(program.size() * 2);
    }

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program.data(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<std::uint8_t> info(size, 0);
    if (!::GetFileVersionInfoW(program.data(), 0, size, info.data())) return std::nullopt;

    void* block = nullptr;
    UINT blockSize = 0;
    if (!::VerQueryValueW(info.data(), L"\\", &block, &blockSize) || block == nullptr ||
        blockSize < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    VS_FIXEDFILEINFO fixed{};
    std::memcpy(&fixed, block, sizeof(fixed));
    return (static_cast<std::uint64_t>(fixed.dwFileVersionMS) << 32) | fixed.dwFileVersionLS;
}

}  // namespace km
