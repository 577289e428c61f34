// A whole update pass over the in-memory platform on an arbitrary package,
// on a machine with a logged-on and a not-logged-on profile, with seam calls
// failing where the input says. Input: one flags byte (bit 0 WOW64, bit 1 a
// package argument, bits 2-3 the number of faults), two bytes per fault
// (which operation, which call of it), then the package bytes.
// Aborts when the pass leaves anything behind or writes where it must not.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/memory/memory_reg_exe.h"
#include "platform/text.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

// What the failing run did, printed before the trap.
const MemoryPlatform* g_failedRun = nullptr;

[[noreturn]] void Fail(const char* condition, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, line, condition);
    if (g_failedRun)
        std::fprintf(stderr, "%s\n%s\n", g_failedRun->CallLog().c_str(),
                     g_failedRun->Dump().c_str());
    __builtin_trap();
}

#define REQUIRE(condition)                            \
    do {                                              \
        if (!(condition)) Fail(#condition, __LINE__); \
    } while (0)

// Closing calls are left out: a failed close keeps the handle in the model,
// which Windows does only for a handle that is not one.
const SeamOp kFaultOps[] = {
    SeamOp::RegOpenKeyExW,       SeamOp::RegCreateKeyExW,
    SeamOp::RegDeleteTreeW,      SeamOp::RegDeleteKeyExW,
    SeamOp::RegSetValueExW,      SeamOp::RegDeleteKeyValueW,
    SeamOp::RegQueryInfoKeyW,    SeamOp::RegEnumKeyExW,
    SeamOp::RegQueryValueExW,    SeamOp::CreateProcessW,
    SeamOp::GetSystemDirectoryW, SeamOp::WaitForProcess,
    SeamOp::AppendToFile,        SeamOp::ExpandEnvironmentStringsW,
    SeamOp::GetShortPathNameW,
};
constexpr std::size_t kFaultOpCount = sizeof kFaultOps / sizeof kFaultOps[0];

bool StartsProcess(SeamOp op) {
    return op == SeamOp::CreateProcessW || op == SeamOp::GetSystemDirectoryW;
}

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

void CheckProcesses(const MemoryPlatform& sys) {
    const Text regExe = sys.systemDirectory + u"\\reg.exe";
    for (const StartedProcess& process : sys.Processes()) {
        REQUIRE(process.applicationName == regExe);
        const auto command = ParseRegExeCommand(process.commandLine);
        REQUIRE(command.has_value());
        REQUIRE(StartsWith(command->mountName, u"Velmar-Mount-"));
        if (command->verb == RegExeCommand::Verb::Load)
            REQUIRE(StartsWith(command->file, machine::kAdminFolder + u"\\") ||
                    StartsWith(command->file, machine::kUserFolder + u"\\"));
    }
}

// Windows reads every name and path up to its first NUL: a text holding one
// would reach another key, value, file or command than the one meant.
void CheckNoNulReachesTheSystem(const MemoryPlatform& sys) {
    for (const PlatformCall& call : sys.Calls())
        REQUIRE(call.subKey.find(u'\0') == Text::npos && call.valueName.find(u'\0') == Text::npos);
}

void CheckLog(const MemoryPlatform& sys, const RunState& state, bool expansionFailed) {
    if (state.mode == PackageArgument)
        REQUIRE(state.logPath == machine::kLogPath ||
                (expansionFailed && state.logPath == u"\\keymason.log"));
    else
        REQUIRE(state.logPath == u"keymason.log");
    for (const PlatformCall& call : sys.CallsOf(SeamOp::AppendToFile))
        REQUIRE(call.subKey == state.logPath);
    // The package and nothing but the log among the files.
    for (const auto& file : sys.files)
        REQUIRE(file.first == machine::kDataPath || file.first == state.logPath);
}

}  // namespace
}  // namespace km

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace km;
    if (size < 1) return 0;
    const std::uint8_t flags = data[0];
    std::size_t at = 1;

    machine::TwoProfileMachine m;
    m.state.isWow64 = flags & 1;
    m.sys.wow64Redirection = m.state.isWow64 == 1;
    m.state.mode = (flags & 2) ? PackageArgument : DefaultPackage;

    // One failed process start is survived; two may leave a hive loaded.
    bool processFault = false;
    bool expansionFault = false;
    const std::size_t faults = (flags >> 2) & 3;
    for (std::size_t i = 0; i < faults && at + 2 <= size; ++i, at += 2) {
        const SeamOp op = kFaultOps[data[at] % kFaultOpCount];
        const std::size_t nth = data[at + 1] % 16 + 1;
        if (StartsProcess(op)) {
            if (processFault) continue;
            processFault = true;
        }
        expansionFault = expansionFault || op == SeamOp::ExpandEnvironmentStringsW;
        m.sys.FailNthCallOf(op, nth);
    }
    const std::string package(reinterpret_cast<const char*>(data) + at, size - at);

    g_failedRun = &m.sys;
    m.Run(package);

    REQUIRE(m.state.done.load() == 1);
    REQUIRE(m.sys.OpenHandleCount() == 0);
    REQUIRE(m.sys.OpenProcessCount() == 0);
    REQUIRE(m.sys.MountedHives().empty());
    REQUIRE(scope::WritesOutsideRecords(m.sys.Calls(), scope::RecordsOf(package),
                                        {machine::kAdminSid, machine::kUserSid})
                .empty());
    CheckProcesses(m.sys);
    CheckNoNulReachesTheSystem(m.sys);
    CheckLog(m.sys, m.state, expansionFault);
    g_failedRun = nullptr;
    return 0;
}
