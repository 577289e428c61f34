#include "selftest/checks.h"

#include <cstdio>

namespace km {

namespace {

void PrintLine(const char* prefix, const std::string& what) {
    std::printf("%s%s\n", prefix, what.c_str());
    std::fflush(stdout);
}

}  // namespace

void Checks::Expect(bool ok, const std::string& what) {
    PrintLine(ok ? "[ ok ] " : "[FAIL] ", what);
    ++(ok ? passed_ : failed_);
}

void Checks::Note(const std::string& what) { PrintLine("note: ", what); }

void Checks::WineKnown(const std::string& what) { PrintLine("wine-known: ", what); }

void Checks::ExpectOrWineKnown(bool ok, bool wineDifference, const std::string& what,
                               const std::string& difference) {
    if (!ok && wineDifference && RunsUnderWine())
        WineKnown(what + ": " + difference);
    else
        Expect(ok, what);
}

bool RunsUnderWine() {
    using WineVersion = const char* (*)();
    return NtdllExport<WineVersion>("wine_get_version") != nullptr;
}

}  // namespace km
