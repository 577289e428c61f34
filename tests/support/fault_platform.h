// The tests' fault layer: it wraps any platform, as SQLite's test VFS wraps
// its parent, and passes each call on unless a fault the test chose fails it
// first. It numbers and logs every call, makes outside changes right after a
// chosen one, and answers for the machine policies and the signatures a test
// seeds, which the registry model itself never holds.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/forwarding_platform.h"
#include "platform/memory/memory_platform.h"
#include "tests/support/platform_call.h"

namespace km {

class FaultPlatform : public ForwardingPlatform {
public:
    // Names the key a handle stands for, for the log ("HKLM\SOFTWARE").
    using KeyNamer = std::function<std::string(RegKey)>;
    // Without a namer the log shows the handle.
    explicit FaultPlatform(Platform& inner, KeyNamer pathOf = {});
    // Over the registry model, naming keys as the model holds them.
    explicit FaultPlatform(MemoryPlatform& model);
    ~FaultPlatform() override;

    // ---- Faults. A failed call never reaches the platform below. ----
    // Fail every call of this operation whose subkey/value/command text contains `contains`.
    void FailCall(SeamOp op, const Text& contains = Text());
    // Fail the nth call through the seam (1-based, counting every call): the
    // call numbered n in CallLog(). ClearCalls() starts the count again.
    // GetLocalTime cannot fail; a fault aimed at it is ignored.
    void FailNthCall(std::size_t n);
    // Fail the nth call of one operation (1-based, counted like FailNthCall).
    void FailNthCallOf(SeamOp op, std::size_t n);
    // An outside change, as when another program acts: `change` runs right
    // after the nth call through the seam (counted like FailNthCall).
    void ChangeAfterCall(std::size_t n, std::function<void()> change);
    void ClearFaults();

    // ---- The call log. ----
    const std::vector<PlatformCall>& Calls() const { return calls_; }
    std::vector<PlatformCall> CallsOf(SeamOp op) const;
    void ClearCalls();
    std::string CallLog() const;  // one line per call

    // ---- Machine policy and signatures. ----
    // Policy values by key path below HKEY_LOCAL_MACHINE and value name
    // (exact); others are asked of the platform below.
    std::map<std::pair<Text, Text>, StoredValue> policyValues;
    // A detached signature as this layer knows it.
    struct KnownSignature {
        std::string signedContent;  // the content as the signer saw it
        bool verifies = true;       // the signature itself checks
        bool sha256 = true;
        bool messageDigest = true;  // it carries the signed attribute
        Bytes signer;               // the signer's certificate
        bool signerCarried = true;  // the signature carries it
        std::uint32_t carried = 1;  // certificates it carries in all
    };
    // By the signature file's bytes; other bytes are asked of the platform below.
    std::map<std::string, KnownSignature> signatures;
    // By signer certificate: one who is no trusted publisher is trusted in
    // nothing. Other signers are asked of the platform below.
    std::map<Bytes, PublisherTrust> publishers;

    // ---- Platform ----
    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options, std::uint32_t samDesired,
                       RegKey* result) override;
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved, std::uint32_t options,
                         std::uint32_t samDesired, const SecurityAttributes* attributes,
                         RegKey* result) override;
    bool RegDeleteTreeW(RegKey key, const Text* subKey) override;
    bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                         std::uint32_t reserved) override;
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override;
    bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) override;
    bool RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) override;
    bool RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity, Text* name) override;
    bool RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type, Bytes* data) override;
    bool RegCloseKey(RegKey key) override;
    bool CreateProcessW(const Text& applicationName, const Text& commandLine, bool inheritHandles,
                        std::uint32_t creationFlags, const StartupInfo& startup,
                        ProcessHandle* process) override;
    WaitResult WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) override;
    void CloseProcess(ProcessHandle process) override;
    Text GetSystemDirectoryW() override;
    LocalTime GetLocalTime() override;
    bool ExpandEnvironmentStringsW(const Text& source, Text* expanded) override;
    bool GetShortPathNameW(const Text& longPath, Text* shortPath) override;
    FileContents ReadWholeFile(const Text& path, std::uint64_t limit) override;
    bool AppendToFile(const Text& path, std::string_view bytes) override;
    bool PathExists(const Text& path) override;
    std::optional<std::uint64_t> GetOwnFileVersion() override;
    PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) override;
    SignatureFacts InspectDetachedSignature(std::string_view content, std::string_view signature,
                                            std::uint32_t certificateLimit) override;
    PublisherTrust QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) override;

private:
    // Runs `act` unless a fault hits, then logs the call; true where the call succeeded.
    bool Record(PlatformCall call, const std::function<bool()>& act);
    bool Faulted(const PlatformCall& call) const;
    // Counts and logs the call, then makes the outside changes due after it.
    void Log(PlatformCall call);
    // A call on a key, with the subkey argument where it has one (null: none or null passed).
    PlatformCall KeyCall(SeamOp op, RegKey key, const Text* subKey = nullptr) const;

    KeyNamer pathOf_;
    struct OpFault {
        SeamOp op;
        Text contains;
    };
    std::vector<OpFault> opFaults_;
    std::set<std::size_t> nthFaults_;
    std::vector<std::pair<SeamOp, std::size_t>> nthOfFaults_;
    std::multimap<std::size_t, std::function<void()>> changes_;  // by the call they follow
    // Calls of each operation so far: a fault on the nth call of one is
    // found without counting the log again.
    std::map<SeamOp, std::size_t> callsOf_;
    std::vector<PlatformCall> calls_;
    std::set<ProcessHandle> processes_;  // started and not yet closed
};

}  // namespace km
