// The catalog of bad input: broken, hostile or oversized package files and
// files or folders that cannot be used, each with what the whole pass must
// make of it. Every run must also finish, leave nothing open or loaded, and
// write only the log and the keys its records name.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "engine/package_file.h"
#include "platform/text.h"
#include "tests/unit/bad_input_catalog.h"
#include "tests/unit/registry_snapshot.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

using namespace machine;
using namespace bad_input;

std::string ExpectedLog(LogOutcome outcome) {
    auto entry = [](int line, const std::string& label, const std::string& text) {
        std::string tag = "keymason(" + std::to_string(line) + ")";
        tag.resize(30, ' ');
        return "[2024-03-05 09:07:02] " + tag + " [" + label + "] " + text + "\r\r\n";
    };
    const std::string start =
        entry(254, "Version", "1.0.0.2") + entry(256, "DAT", ToUtf8(kDataPath));
    switch (outcome) {
        case LogOutcome::StartEntries:
            return start;
        case LogOutcome::StartAndNothingApplied:
            return start +
                   entry(258, "DAT", "Package could not be read whole; nothing was applied.");
        case LogOutcome::Lost:
            return std::string();
    }
    return std::string();
}

// Each file's size and hash: the files may be a hundred megabytes.
std::map<Text, std::pair<std::size_t, std::size_t>> Fingerprints(
    const std::map<Text, std::string>& files) {
    std::map<Text, std::pair<std::size_t, std::size_t>> prints;
    for (const auto& file : files)
        prints[file.first] = {file.second.size(), std::hash<std::string>()(file.second)};
    return prints;
}

bool WritesRegistry(const PlatformCall& call) {
    for (SeamOp op : scope::kWriteOps)
        if (call.op == op) return true;
    return false;
}

TEST(BadInputTest, Catalog) {
    for (const Case& c : Catalog()) {
        TwoProfileMachine m;
        m.sys.files[kDataPath] = c.package();
        c.arrange(m.sys);
        const auto filesBefore = Fingerprints(m.sys.files);
        UpdateWorker(m.sys, m.state);

        // What the pass read, counted apart on the file as it was; the huge
        // ones by their lines alone, to keep the catalog fast.
        RecordList records;
        const bool huge =
            m.sys.files.count(kDataPath) && m.sys.files.at(kDataPath).size() > (256u << 10);
        if (huge && c.records >= 0) {
            const std::string& bytes = m.sys.files.at(kDataPath);
            const long lines = long(std::count(bytes.begin(), bytes.end(), '\n')) +
                               (!bytes.empty() && bytes.back() != '\n' ? 1 : 0);
            EXPECT_EQ(lines, c.records) << c.name;
        } else if (!huge) {
            MemoryPlatform reader;
            reader.files = m.sys.files;
            reader.unreadableFiles = m.sys.unreadableFiles;
            reader.lockedFiles = m.sys.lockedFiles;
            reader.readErrorAfter = m.sys.readErrorAfter;
            records = DecodeAll(ReadPackageFile(reader, kDataPath).lines);
            if (c.records >= 0) {
                EXPECT_EQ(long(records.size()), c.records) << c.name;
            }
        }

        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor"), c.vendor) << c.name;
        EXPECT_EQ(Snapshot(m.sys, kHkeyUsers, kAdminSid + u"\\Vendor"), c.adminVendor) << c.name;
        bool wrote = false;
        for (const PlatformCall& call : m.sys.Calls())
            wrote = wrote || (WritesRegistry(call) && call.succeeded);
        EXPECT_EQ(wrote, c.registryWrites) << c.name;
        EXPECT_EQ(m.Log(), ExpectedLog(c.log)) << c.name;

        EXPECT_EQ(m.state.done.load(), 1) << c.name;
        // Only a package that exists and was not applied fails the run.
        EXPECT_EQ(m.state.exitCode.load(),
                  c.log == LogOutcome::StartAndNothingApplied ? kExitPackageNotApplied : 0)
            << c.name;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
        EXPECT_EQ(m.sys.OpenProcessCount(), 0) << c.name;
        EXPECT_TRUE(m.sys.MountedHives().empty()) << c.name;
        // Only the log may have changed among the files.
        auto filesAfter = Fingerprints(m.sys.files);
        filesAfter.erase(kLogPath);
        EXPECT_EQ(filesAfter, filesBefore) << c.name;
        if (!huge) {
            for (const std::string& write :
                 scope::WritesOutsideRecords(m.sys.Calls(), records, {kAdminSid, kUserSid}))
                ADD_FAILURE() << c.name << ": write outside the records' keys: " << write;
        }
    }
}

}  // namespace
}  // namespace km
