// Memory running out anywhere in the pass: every allocation of a per-user
// run failing in turn. The pass must end (done set), hold no hive, keep no
// key or process open, and tell it in the log and the exit code; a run that
// met no failure, or absorbed it, ends as a clean one does.
#include <gtest/gtest.h>

#include <string>

#include "check/plan.h"
#include "pack/undo.h"
#include "platform/forwarding_platform.h"
#include "tests/oom/failing_allocator.h"
#include "tests/unit/two_profile_machine.h"

namespace km {
namespace {

using namespace machine;

// Closing a key or a process handle runs in destructors and allocates
// nothing on Windows; the call log below does allocate, which is not the
// pass's memory and must not fail there.
class SystemCloses : public ForwardingPlatform {
public:
    explicit SystemCloses(Platform& inner) : ForwardingPlatform(inner) {}
    bool RegCloseKey(RegKey key) override {
        const oom::Suspend system;
        return ForwardingPlatform::RegCloseKey(key);
    }
    void CloseProcess(ProcessHandle process) override {
        const oom::Suspend system;
        ForwardingPlatform::CloseProcess(process);
    }
};

const std::string kOutOfMemoryEntry =
    "[Pass] Memory ran out; the records from here on were not applied.";

std::string Package() {
    return ValueLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\App", "Mode", "REG_DWORD",
                     "0x00000001") +
           ValueLine("HKEY_CURRENT_USER", "Software\\Vendor", "Theme", "REG_SZ", "dark") +
           ValueLine("HKEY_CURRENT_USER", "Software\\Classes\\.kmx", "", "REG_SZ", "Vendor.File") +
           KeyLine("HKEY_CURRENT_USER", "Software\\Vendor\\Empty", false) +
           ValueLine("HKEY_CLASSES_ROOT", ".kmy", "", "REG_MULTI_SZ", "a*BreakLine*b");
}

struct Outcome {
    int done = 0;
    int exitCode = 0;
    int openKeys = 0;
    int openProcesses = 0;
    std::size_t hivesLeft = 0;
    std::string log;
    bool failed = false;
    bool defaultHiveWritten = false;
};

Outcome RunWith(std::size_t failAt, bool persist, std::size_t* allocations = nullptr) {
    TwoProfileMachine m;
    SystemCloses system(m.seam);
    m.IncludeDefaultProfile();
    m.sys.files[kDataPath] = Package();
    oom::FailAllocation(failAt, persist);
    UpdateWorker(system, m.state);
    const std::size_t counted = oom::StopFailing();
    if (allocations) *allocations = counted;
    Outcome out;
    out.failed = oom::Failed();
    out.done = m.state.done.load();
    out.exitCode = m.state.exitCode.load();
    out.openKeys = m.sys.OpenHandleCount();
    out.openProcesses = m.sys.OpenProcessCount();
    out.hivesLeft = m.sys.MountedHives().size();
    out.log = m.Log();
    out.defaultHiveWritten = m.sys.hiveFiles.at(kDefaultHiveFile)->FindSubkey(u"Software") != nullptr;
    return out;
}

TEST(OutOfMemoryTest, EachAllocationFailingInTurn) {
    std::size_t total = 0;
    const Outcome clean = RunWith(~std::size_t{0}, false, &total);
    ASSERT_EQ(clean.exitCode, 0);
    ASSERT_TRUE(clean.defaultHiveWritten);
    ASSERT_EQ(clean.log.find("Memory ran out"), std::string::npos);
    ASSERT_GT(total, 20u) << "the pass allocates; the sweep must reach it";

    // Once: a single failed allocation. Persisting: none succeeds after it,
    // so not even the end can be logged, yet the pass must still end.
    for (const bool persist : {false, true}) {
        std::size_t stopped = 0;
        for (std::size_t n = 0; n < total; ++n) {
            const std::string label =
                "allocation " + std::to_string(n) + (persist ? " and all after it" : "") + " failing";
            const Outcome out = RunWith(n, persist);
            ASSERT_TRUE(out.failed) << label;
            EXPECT_EQ(out.done, 1) << label;
            EXPECT_EQ(out.openKeys, 0) << label;
            EXPECT_EQ(out.openProcesses, 0) << label;
            const bool stoppedHere = out.exitCode == kExitPackageNotApplied;
            if (stoppedHere) ++stopped;
            EXPECT_TRUE(out.exitCode == 0 || stoppedHere) << label << ": exit code " << out.exitCode;
            if (persist) continue;
            EXPECT_EQ(out.hivesLeft, 0u) << label;
            // Once the log is named, the end is told exactly when the pass
            // stopped early.
            if (out.log.empty()) continue;
            EXPECT_EQ(out.log.find(kOutOfMemoryEntry) != std::string::npos, stoppedHere)
                << label << "\n" << out.log;
        }
        EXPECT_GT(stopped, total / 2) << "most failures stop the pass, not just a few";
    }
}

// A package whose file is held but whose largest line cannot be decoded
// changes nothing: the room for decoding is taken before the first change,
// wherever that line stands.
TEST(OutOfMemoryTest, ALineTooLargeToDecodeStopsBeforeAnyChange) {
    const std::string huge(3u << 20, 'x');  // decodes to 6 MB, its value as much again
    const std::string small = ValueLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\App", "Mode", "REG_SZ", "1");
    const std::string big = ValueLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\App", "Big", "REG_SZ", huge);
    for (const std::string& package : {small + small + big, big + small, small + big + small}) {
        TwoProfileMachine m;
        SystemCloses system(m.seam);
        m.sys.files[kDataPath] = package;
        oom::FailAllocationsOver(4u << 20);  // the file's 3 MB can be read
        UpdateWorker(system, m.state);
        oom::StopFailing();
        EXPECT_TRUE(oom::Failed());
        EXPECT_EQ(m.state.exitCode.load(), kExitPackageNotApplied);
        EXPECT_FALSE(m.sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Vendor")) << m.seam.CallLog();
        EXPECT_NE(m.Log().find(kOutOfMemoryEntry), std::string::npos) << m.Log();
        EXPECT_EQ(m.sys.OpenHandleCount(), 0);

        // The tools run the same pass: they make no plan and no undo of the
        // lines before that point, which would pass for the whole package's.
        MemoryPlatform base, planned;
        check::PlanInput input;
        input.packageBytes = package;
        oom::FailAllocationsOver(4u << 20);
        const pack::UndoResult undo = pack::PlanUndo(base, package);
        const std::string plan = check::RunPlan(input, planned);
        oom::StopFailing();
        EXPECT_NE(undo.notMade, "");
        EXPECT_NE(plan.find("no plan could be made"), std::string::npos) << plan;
    }
}

}  // namespace
}  // namespace km
