// The self-test's tally and what its check files share: one line per check,
// known differences of Wine told apart from passes and failures.
#pragma once

#include <windows.h>

#include <string>

#include "platform/text.h"
#include "platform/win32/win32_platform.h"

namespace km {

class Checks {
public:
    void Expect(bool ok, const std::string& what);
    // Reported, never judged: how the system treats something the engine decides itself.
    void Note(const std::string& what);
    // Under Wine, where it is known to differ from Windows: neither a pass nor a failure.
    void WineKnown(const std::string& what);
    // Expect on Windows; under Wine a failure that shows the known difference is told as such.
    void ExpectOrWineKnown(bool ok, bool wineDifference, const std::string& what, const std::string& difference);
    int Passed() const { return passed_; }
    int Failed() const { return failed_; }

private:
    int passed_ = 0;
    int failed_ = 0;
};

// ntdll's export of that name, or null.
template <typename Function>
Function NtdllExport(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}
bool RunsUnderWine();

inline const wchar_t* Wide(const Text& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline Text FromWide(const wchar_t* text) { return Text(reinterpret_cast<const char16_t*>(text)); }

// Below HKEY_LOCAL_MACHINE: every key the self-test makes, removed when it ends.
inline const Text kScratchKey = u"SOFTWARE\\KeymasonSelfTest";

// What Keymason relies on from this Windows, each in its own file.
void CheckHives(Win32Platform& sys, Checks& checks, const Text& work);       // hive_checks.cpp
void CheckSignatureForms(Checks& checks, const Text& work);                  // signature_checks.cpp

}  // namespace km
