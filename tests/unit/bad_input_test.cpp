// The catalog of bad input: broken, hostile or oversized package files and
// files or folders that cannot be used, each with what the whole pass must
// make of it. Every run must also finish, leave nothing open or loaded, and
// write only the log and the keys its records name.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <array>
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
        UpdateWorker(m.seam, m.state);

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
        for (const PlatformCall& call : m.seam.Calls())
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
                 scope::WritesOutsideRecords(m.seam.Calls(), records, {kAdminSid, kUserSid}))
                ADD_FAILURE() << c.name << ": write outside the records' keys: " << write;
        }
    }
}

// Under the signing policy only a trusted signature over the package's bytes lets it apply; each refusal applies
// nothing, loads no hive, adds one entry and exits 4. Without the policy nothing changes.
TEST(BadInputTest, SigningPolicy) {
    using Arrange = std::function<void(TwoProfileMachine&)>;
    const std::string package = VendorLine("Name", "REG_SZ", "x") +
                                ValueLine(kCurrentUser, "Vendor", "Name", "REG_SZ", "x");
    const Text signaturePath = kDataPath + kSignatureSuffix;
    auto policy = [](std::uint32_t type, Bytes data) -> Arrange {
        return [=](TwoProfileMachine& m) { m.seam.policyValues[{kMachinePolicyKey, kSigningPolicyValue}] = {type, data}; };
    };
    // Policy on; signed over `content` (verifies, SHA-256, messageDigest: `how`) by a signer trusted as `trust`.
    const std::array<bool, 3> sound = {true, true, true};
    const PublisherTrust trusted = {true, true, true, true, true};
    auto signedAs = [&](std::string content, std::array<bool, 3> how = {true, true, true},
                        PublisherTrust trust = {true, true, true, true, true}, Arrange more = nullptr) -> Arrange {
        return [=](TwoProfileMachine& m) {
            policy(kRegDword, {1, 0, 0, 0})(m);
            m.sys.files[signaturePath] = "signature";
            m.seam.signatures["signature"] = {content, how[0], how[1], how[2], {0x30}};
            m.seam.publishers[{0x30}] = trust;
            if (more) more(m);
        };
    };
    auto then = [&](Arrange more) { return signedAs(package, sound, trusted, more); };
    auto fail = [](SeamOp op) -> Arrange { return [=](TwoProfileMachine& m) { m.seam.FailCall(op); }; };
    auto carrying = [&](std::uint32_t count, bool signer = true) {
        return then([=](TwoProfileMachine& m) {
            m.seam.signatures["signature"].carried = count;
            m.seam.signatures["signature"].signerCarried = signer;
        });
    };
    using V = SignatureVerdict;
    const std::string lookedFor = " (looked for C:\\pkg\\install.reg.dat.p7s)";
    const struct {
        const char* name;
        Arrange arrange;
        SignatureVerdict verdict;
        Text typed = kDataPath;  // the package's path as given
    } cases[] = {
        {"no policy", [](TwoProfileMachine&) {}, V::Accepted},
        {"policy 0", policy(kRegDword, {0, 0, 0, 0}), V::Accepted},
        {"policy \"0\"", policy(kRegSz, {'0', 0, 0, 0}), V::Accepted},
        {"policy REG_QWORD 0", policy(kRegQword, Bytes(8, 0)), V::Accepted},
        {"policy REG_BINARY 00", policy(kRegBinary, {0}), V::Accepted},
        {"signed and trusted", signedAs(package), V::Accepted},
        {"policy 2 is on", policy(kRegDword, {2, 0, 0, 0}), V::NoSignature},
        {"short REG_DWORD is on", policy(kRegDword, {0}), V::NoSignature},
        {"policy \"1\" is on", policy(kRegSz, {'1', 0, 0, 0}), V::NoSignature},
        {"empty text policy is on", policy(kRegSz, {}), V::NoSignature},
        {"policy REG_QWORD 1 is on", policy(kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}), V::NoSignature},
        {"policy REG_BINARY 01 is on", policy(kRegBinary, {1}), V::NoSignature},
        {"policy of a type without a number is on", policy(kRegMultiSz, {'0', 0, 0, 0}), V::NoSignature},
        {"unreadable policy is on", fail(SeamOp::QueryPolicyValue), V::NoSignature},
        {"unsigned", then([&](TwoProfileMachine& m) { m.sys.files.erase(signaturePath); }), V::NoSignature},
        // The signature is found beside the file as opened, however its name was typed.
        {"named with a trailing dot", signedAs(package), V::Accepted, kDataPath + u"."},
        {"named by its short name",
         then([](TwoProfileMachine& m) { m.sys.shortPaths[kDataPath] = u"C:\\pkg\\INSTAL~1.DAT"; }), V::Accepted,
         u"C:\\pkg\\INSTAL~1.DAT"},
        {"signature unreadable", then([&](TwoProfileMachine& m) { m.sys.unreadableFiles.insert(signaturePath); }),
         V::SignatureUnreadable},
        {"signature read error", then([&](TwoProfileMachine& m) { m.sys.readErrorAfter[signaturePath] = 3; }),
         V::SignatureUnreadable},
        {"signature over 1 MiB", then([&](TwoProfileMachine& m) { m.sys.files[signaturePath] = std::string(1 << 20, 'x') + "x"; }),
         V::SignatureTooLarge},
        {"garbage as the signature", then([&](TwoProfileMachine& m) { m.sys.files[signaturePath] = "garbage"; }),
         V::NotASignature},
        {"inspection fails", then(fail(SeamOp::InspectDetachedSignature)), V::NotASignature},
        {"16 certificates", carrying(16), V::Accepted},
        {"17 certificates", carrying(17), V::TooManyCertificates},
        {"signer not carried", carrying(3, false), V::SignerNotCarried},
        {"signature does not verify", signedAs(package, {false, true, true}), V::DoesNotVerify},
        {"SHA-1 digest", signedAs(package, {true, false, true}), V::NoSha256Digest},
        {"no messageDigest attribute", signedAs(package, {true, true, false}), V::NoSha256Digest},
        {"changed after signing", signedAs(package + "\n"), V::ChangedAfterSigning},
        // No other judgement stands for a signer who is not a trusted publisher.
        {"not a trusted publisher", signedAs(package, sound, {false, true, true, true, true}), V::NotTrustedPublisher},
        {"trust query fails", then(fail(SeamOp::QueryPublisherTrust)), V::NotTrustedPublisher},
        {"untrusted root", signedAs(package, sound, {true, false, true, true, true}), V::UntrustedRoot},
        {"a CA that may not issue", signedAs(package, sound, {true, true, false, true, false}), V::IssuerMayNotIssue},
        {"expired signer", signedAs(package, sound, {true, true, true, false, true}), V::NotValidNow},
        {"no code signing", signedAs(package, sound, {true, true, true, true, false}), V::NotForCodeSigning},
    };
    for (const auto& c : cases) {
        TwoProfileMachine m;
        c.arrange(m);
        m.state.dataPath = c.typed;
        m.Run(package);
        const bool applied = c.verdict == V::Accepted;
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor"), applied ? kValueX : "absent") << c.name;
        EXPECT_EQ(Snapshot(m.sys, kHkeyUsers, kAdminSid + u"\\Vendor"), applied ? kValueX : "absent") << c.name;
        EXPECT_EQ(m.sys.Processes().empty(), !applied) << c.name;  // no hive loaded
        EXPECT_EQ(std::any_of(m.seam.Calls().begin(), m.seam.Calls().end(), WritesRegistry), applied) << c.name;
        const std::string reason =
            VerdictText(c.verdict) + std::string(c.verdict == V::NoSignature ? lookedFor : "");
        const std::string refusal = "Package refused: " + reason + "; nothing was applied.";
        const std::string start = Entry(254, "Version", "1.0.0.2") + Entry(256, "DAT", ToUtf8(c.typed));
        EXPECT_EQ(m.Log(), start + (applied ? "" : Entry(262, "Signature", refusal))) << c.name;
        EXPECT_EQ(m.state.exitCode.load(), applied ? 0 : kExitPackageRefused) << c.name;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
    }
}

}  // namespace
}  // namespace km
