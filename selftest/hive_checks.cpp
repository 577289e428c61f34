// The hives Keymason works with, on a hive of the self-test's own (saved from
// a scratch key with RegSaveKeyW, never a user's): loaded and unloaded through
// the system's reg.exe as the pass does, read with RegLoadAppKeyW as
// keymason-check --live does; and the classes link the per-user branch
// crosses, only looked at.
#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <vector>

#include "engine/hive_mount.h"
#include "platform/win32/win32_handle.h"
#include "selftest/checks.h"

namespace km {
namespace {

const Text kHiveSource = kScratchKey + u"\\HiveSource";
const Text kMountName = u"KeymasonSelfTest-Hive";
const Text kMarker = u"saved by the Keymason self-test";

void FreeLocal(wchar_t* text) { ::LocalFree(text); }
using UniqueLocalText = UniqueHandle<ClosedBy<wchar_t*, &FreeLocal>>;

// Saving a key needs SeBackupPrivilege; loading and unloading SeRestorePrivilege.
bool EnableHivePrivileges() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    UniqueKernelHandle heldToken(token);
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) ||
            !::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
            ::GetLastError() == ERROR_NOT_ALL_ASSIGNED)
            return false;
    }
    return true;
}

bool SaveScratchHive(const Text& file) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(kHiveSource), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                          nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    UniqueRegKey heldKey(key);
    const DWORD size = static_cast<DWORD>((kMarker.size() + 1) * sizeof(char16_t));
    return ::RegSetValueExW(key, L"Marker", 0, REG_SZ, reinterpret_cast<const BYTE*>(kMarker.c_str()), size) ==
               ERROR_SUCCESS &&
           ::RegSaveKeyW(key, Wide(file), nullptr) == ERROR_SUCCESS;
}

bool HoldsMarker(HKEY key) {
    wchar_t value[64] = {};
    DWORD size = sizeof value;
    return ::RegGetValueW(key, nullptr, L"Marker", RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS &&
           FromWide(value) == kMarker;
}

// 0: not loaded; 1: loaded, marker read; -1: loaded without the marker.
int MountState() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_USERS, Wide(kMountName), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    UniqueRegKey heldKey(key);
    return HoldsMarker(key) ? 1 : -1;
}

// Unloads the hive if it is still loaded when the check ends, however it ends.
struct MountGuard {
    ~MountGuard() {
        if (MountState() != 0) ::RegUnLoadKeyW(HKEY_USERS, Wide(kMountName));
    }
};

// reg.exe's messages go to NUL rather than between the check lines: a
// console child takes its parent's standard handles.
class QuietChildren {
public:
    QuietChildren() {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        nul_.Reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr));
        if (!nul_) return;
        for (Redirect& each : redirects_) {
            each.saved = ::GetStdHandle(each.which);
            ::SetStdHandle(each.which, nul_.Get());
        }
    }
    ~QuietChildren() {
        if (!nul_) return;
        for (const Redirect& each : redirects_) ::SetStdHandle(each.which, each.saved);
    }
    QuietChildren(const QuietChildren&) = delete;
    QuietChildren& operator=(const QuietChildren&) = delete;

private:
    struct Redirect {
        DWORD which;
        HANDLE saved;
    };
    UniqueFileHandle nul_;
    Redirect redirects_[2] = {{STD_OUTPUT_HANDLE, nullptr}, {STD_ERROR_HANDLE, nullptr}};
};

void CheckRegExe(Win32Platform& sys, Checks& checks, const Text& file) {
    MountGuard guard;
    QuietChildren quiet;
    const bool started =
        RunHiddenCommand(sys, u"reg.exe Load HKEY_USERS\\" + kMountName + u" \"" + file + u"\"");
    const int loaded = MountState();
    checks.ExpectOrWineKnown(started && loaded == 1, started && loaded == 0,
                             "the system's reg.exe loads a hive under HKEY_USERS, its value read back",
                             "Wine's reg.exe has no Load or Unload");
    if (loaded == 0) return;
    RunHiddenCommand(sys, u"reg.exe Unload HKEY_USERS\\" + kMountName);
    checks.Expect(MountState() == 0, "the system's reg.exe unloads it");
}

void CheckAppKey(Checks& checks, const Text& file) {
    HKEY key = nullptr;
    const LONG result = ::RegLoadAppKeyW(Wide(file), &key, KEY_READ, REG_PROCESS_APPKEY, 0);
    UniqueRegKey heldKey(result == ERROR_SUCCESS ? key : nullptr);
    const bool read = heldKey && HoldsMarker(heldKey.Get());
    checks.ExpectOrWineKnown(read, result == ERROR_SUCCESS,
                             "RegLoadAppKeyW reads the hive, as keymason-check --live does (result " +
                                 std::to_string(result) + ")",
                             "Wine 8's RegLoadAppKeyW is a stub that reads nothing");
}

// The process user's SID as text; empty when it cannot be had.
Text OwnSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return Text();
    UniqueKernelHandle heldToken(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    wchar_t* text = nullptr;
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return Text();
    UniqueLocalText heldText(text);
    return FromWide(text);
}

// The name the system gives an open key (\REGISTRY\USER\...), where a link
// has been followed; empty when it gives none.
Text KeyName(HKEY key) {
    using QueryKey = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = NtdllExport<QueryKey>("NtQueryKey");
    constexpr int kKeyNameInformation = 3;  // ULONG NameLength, then the name's units
    std::vector<BYTE> buffer(4096);
    ULONG size = 0;
    if (!query || query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size) != 0)
        return Text();
    ULONG length = 0;
    std::memcpy(&length, buffer.data(), sizeof length);
    return Text(reinterpret_cast<const char16_t*>(buffer.data() + sizeof length), length / sizeof(char16_t));
}

void CheckClassesLink(Checks& checks) {
    const Text sid = OwnSid();
    HKEY key = nullptr;
    const bool opened = !sid.empty() && ::RegOpenKeyExW(HKEY_USERS, Wide(sid + u"\\Software\\Classes"), 0,
                                                        KEY_READ, &key) == ERROR_SUCCESS;
    UniqueRegKey heldKey(opened ? key : nullptr);
    const Text name = opened ? KeyName(key) : Text();
    const Text users = u"\\REGISTRY\\USER\\" + sid;
    checks.ExpectOrWineKnown(EqualsIgnoreAsciiCase(name, users + u"_Classes"),
                             !opened || EqualsIgnoreAsciiCase(name, users + u"\\Software\\Classes"),
                             "HKEY_USERS\\<SID>\\Software\\Classes is HKEY_USERS\\<SID>_Classes (the classes link) for " +
                                 ToUtf8(sid) + ": " + (name.empty() ? std::string("no key name") : ToUtf8(name)),
                             "no link to a classes hive here, a plain key or none");
}

}  // namespace

void CheckHives(Win32Platform& sys, Checks& checks, const Text& work) {
    checks.Expect(EnableHivePrivileges(),
                  "SeBackupPrivilege and SeRestorePrivilege enabled (run as an administrator)");
    const Text file = work + u"\\pilot.hive";
    const bool saved = SaveScratchHive(file);
    checks.Expect(saved, "a hive of its own saved with RegSaveKeyW from a scratch key");
    if (saved) {
        CheckRegExe(sys, checks, file);
        CheckAppKey(checks, file);
    }
    CheckClassesLink(checks);
}

}  // namespace km
