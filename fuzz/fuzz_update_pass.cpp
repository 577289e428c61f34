// A whole update pass over the in-memory platform on an arbitrary package,
// on a machine with a logged-on and a not-logged-on profile, with seam calls
// failing where the input says. Input: one flags byte (bit 0 WOW64, bit 1 a
// package argument, bits 2-3 the number of faults), two bytes per fault
// (which operation, which call of it), then the package bytes.
// Aborts when the pass leaves anything behind or writes where it must not,
// or when the current reader and pass and the reference ones kept in
// tests/reference read different records or leave different results.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/memory/memory_reg_exe.h"
#include "platform/text.h"
#include "tests/reference/pass_comparison.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

// What the failing run did, printed before the trap.
const machine::TwoProfileMachine* g_failedRun = nullptr;

[[noreturn]] void Fail(const char* condition, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, line, condition);
    if (g_failedRun)
        std::fprintf(stderr, "%s\n%s\n", g_failedRun->seam.CallLog().c_str(),
                     g_failedRun->sys.Dump().c_str());
    __builtin_trap();
}

#define REQUIRE(condition)                            \
    do {                                              \
        if (!(condition)) Fail(#condition, __LINE__); \
    } while (0)

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
void CheckNoNulReachesTheSystem(const FaultPlatform& seam) {
    for (const PlatformCall& call : seam.Calls())
        REQUIRE(call.subKey.find(u'\0') == Text::npos && call.valueName.find(u'\0') == Text::npos);
}

void CheckLog(const machine::TwoProfileMachine& m, const RunState& state, bool expansionFailed) {
    if (state.mode == PackageArgument)
        REQUIRE(state.logPath == machine::kLogPath ||
                (expansionFailed && state.logPath == u"\\keymason.log"));
    else
        REQUIRE(state.logPath == u"keymason.log");
    for (const PlatformCall& call : m.seam.CallsOf(SeamOp::AppendToFile))
        REQUIRE(call.subKey == state.logPath);
    // The package and nothing but the log among the files.
    for (const auto& file : m.sys.files)
        REQUIRE(file.first == machine::kDataPath || file.first == state.logPath);
}

}  // namespace
}  // namespace km

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace km;
    const std::optional<reference::FuzzInput> input = reference::DecodeFuzzInput(data, size);
    if (!input) return 0;

    machine::TwoProfileMachine m;
    m.state.isWow64 = input->wow64 ? 1 : 0;
    m.sys.wow64Redirection = input->wow64;
    m.state.mode = input->packageArgument ? PackageArgument : DefaultPackage;
    bool expansionFault = false;
    for (const auto& fault : input->faults) {
        expansionFault = expansionFault || fault.first == SeamOp::ExpandEnvironmentStringsW;
        m.seam.FailNthCallOf(fault.first, fault.second);
    }
    const std::string& package = input->package;

    g_failedRun = &m;
    m.Run(package);

    REQUIRE(m.state.done.load() == 1);
    REQUIRE(m.sys.OpenHandleCount() == 0);
    REQUIRE(m.sys.OpenProcessCount() == 0);
    REQUIRE(m.sys.MountedHives().empty());
    REQUIRE(scope::WritesOutsideRecords(m.seam.Calls(), scope::RecordsOf(package),
                                        {machine::kAdminSid, machine::kUserSid})
                .empty());
    CheckProcesses(m.sys);
    CheckNoNulReachesTheSystem(m.seam);
    CheckLog(m, m.state, expansionFault);
    g_failedRun = nullptr;

    // The reference reader and pass, on machines of their own: the faults on
    // opens and creates are left out there, as the current pass makes fewer.
    const std::string records = reference::ParseDifference(package);
    const std::string passes =
        reference::ComparePasses(reference::ComparableSetup(*input)).difference;
    if (!records.empty() || !passes.empty())
        std::fprintf(stderr, "current and reference differ: %s%s\n", records.c_str(), passes.c_str());
    REQUIRE(records.empty() && passes.empty());
    return 0;
}
