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
#include "engine/package_signature.h"
#include "platform/text.h"
#include "tests/unit/bad_input_catalog.h"
#include "tests/unit/registry_snapshot.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

using namespace machine;
using namespace bad_input;

std::string Entry(int line, const std::string& label, const std::string& text) {
    std::string tag = "keymason(" + std::to_string(line) + ")";
    tag.resize(30, ' ');
    return "[2024-03-05 09:07:02] " + tag + " [" + label + "] " + text + "\r\r\n";
}

std::string ExpectedLog(LogOutcome outcome) {
    const std::string start =
        Entry(254, "Version", "1.0.0.2") + Entry(256, "DAT", ToUtf8(kDataPath));
    switch (outcome) {
        case LogOutcome::StartEntries:
            return start;
        case LogOutcome::StartAndNothingApplied:
            return start +
                   Entry(258, "DAT", "Package could not be read whole; nothing was applied.");
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

// Under the signing policy a package is applied only with a trusted
// signature over its very bytes; each refusal applies nothing, loads no hive,
// adds one entry and exits 4. Without the policy nothing changes.
TEST(BadInputTest, SigningPolicy) {
    using Signature = MemoryPlatform::KnownSignature;
    const std::string package = VendorLine("Name", "REG_SZ", "x") +
                                ValueLine(kCurrentUser, "Vendor", "Name", "REG_SZ", "x");
    const Text signaturePath = kDataPath + kSignatureSuffix;
    const Bytes signer = {0x30, 0x01};
    auto policy = [](std::uint32_t type, Bytes data) {
        return [=](MemoryPlatform& s) { s.policyValues[{kSigningPolicyKey, kSigningPolicyValue}] = {type, data}; };
    };
    const auto on = policy(kRegDword, {1, 0, 0, 0});
    // Policy on, the package signed as `signature` and its signer trusted as `trust`.
    auto signedAs = [&](Signature signature, PublisherTrust trust = {true, true, true, true}) {
        return [=](MemoryPlatform& s) {
            on(s);
            s.files[signaturePath] = "signature";
            s.signatures["signature"] = signature;
            s.publishers[signer] = trust;
        };
    };
    auto made = [&](std::string content, bool verifies = true, bool sha256 = true, bool digest = true) {
        return Signature{content, verifies, sha256, digest, signer};
    };
    const Signature good = made(package);
    auto fail = [](SeamOp op) { return [=](MemoryPlatform& s) { s.FailCall(op); }; };
    auto with = [](auto first, auto second) { return [=](MemoryPlatform& s) { first(s), second(s); }; };
    struct Case {
        const char* name;
        std::function<void(MemoryPlatform&)> arrange;
        SignatureVerdict verdict;
    } cases[] = {
        {"no policy", [](MemoryPlatform&) {}, SignatureVerdict::Accepted},
        {"policy 0", policy(kRegDword, {0, 0, 0, 0}), SignatureVerdict::Accepted},
        {"policy of another type", policy(kRegSz, {'1', 0, 0, 0}), SignatureVerdict::Accepted},
        {"signed and trusted", signedAs(good), SignatureVerdict::Accepted},
        {"policy 2 is on", policy(kRegDword, {2, 0, 0, 0}), SignatureVerdict::NoSignature},
        {"short REG_DWORD is on", policy(kRegDword, {0}), SignatureVerdict::NoSignature},
        {"unreadable policy is on", fail(SeamOp::QueryPolicyValue), SignatureVerdict::NoSignature},
        {"unsigned", on, SignatureVerdict::NoSignature},
        {"signature file unreadable",
         with(signedAs(good), [&](MemoryPlatform& s) { s.unreadableFiles.insert(signaturePath); }),
         SignatureVerdict::SignatureUnreadable},
        {"signature file read error",
         with(signedAs(good), [&](MemoryPlatform& s) { s.readErrorAfter[signaturePath] = 3; }),
         SignatureVerdict::SignatureUnreadable},
        {"garbage as the signature",
         with(signedAs(good), [&](MemoryPlatform& s) { s.files[signaturePath] = "garbage"; }),
         SignatureVerdict::NotASignature},
        {"inspection fails", with(signedAs(good), fail(SeamOp::InspectDetachedSignature)),
         SignatureVerdict::NotASignature},
        {"signature does not verify", signedAs(made(package, false)), SignatureVerdict::DoesNotVerify},
        {"SHA-1 digest", signedAs(made(package, true, false)), SignatureVerdict::NoSha256Digest},
        {"no messageDigest attribute", signedAs(made(package, true, true, false)), SignatureVerdict::NoSha256Digest},
        {"changed after signing", signedAs(made(package + "\n")), SignatureVerdict::ChangedAfterSigning},
        {"signer not a trusted publisher", signedAs(good, {false, true, true, true}),
         SignatureVerdict::NotTrustedPublisher},
        {"trust query fails", with(signedAs(good), fail(SeamOp::QueryPublisherTrust)),
         SignatureVerdict::NotTrustedPublisher},
        {"untrusted root", signedAs(good, {true, false, true, true}), SignatureVerdict::UntrustedRoot},
        {"expired signer", signedAs(good, {true, true, false, true}), SignatureVerdict::NotValidNow},
        {"no code signing", signedAs(good, {true, true, true, false}), SignatureVerdict::NotForCodeSigning},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        c.arrange(m.sys);
        m.Run(package);
        const bool applied = c.verdict == SignatureVerdict::Accepted;
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor"), applied ? kValueX : "absent") << c.name;
        EXPECT_EQ(Snapshot(m.sys, kHkeyUsers, kAdminSid + u"\\Vendor"), applied ? kValueX : "absent") << c.name;
        EXPECT_EQ(m.sys.Processes().empty(), !applied) << c.name;  // no hive loaded
        bool wrote = false;
        for (const PlatformCall& call : m.sys.Calls()) wrote = wrote || WritesRegistry(call);
        EXPECT_EQ(wrote, applied) << c.name;
        EXPECT_EQ(m.Log(), ExpectedLog(LogOutcome::StartEntries) +
                               (applied ? "" : Entry(262, "Signature", std::string("Package refused: ") +
                                                                           VerdictText(c.verdict) +
                                                                           "; nothing was applied.")))
            << c.name;
        EXPECT_EQ(m.state.exitCode.load(), applied ? 0 : kExitPackageRefused) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
    }
}

}  // namespace
}  // namespace km
