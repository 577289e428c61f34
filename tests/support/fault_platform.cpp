#include "tests/support/fault_platform.h"

#include <algorithm>
#include <cstring>

namespace km {

FaultPlatform::FaultPlatform(Platform& inner, KeyNamer pathOf)
    : ForwardingPlatform(inner), pathOf_(std::move(pathOf)) {}

FaultPlatform::FaultPlatform(MemoryPlatform& model)
    : FaultPlatform(model, [&model](RegKey key) { return model.HandlePath(key); }) {}

FaultPlatform::~FaultPlatform() = default;

// ---- Faults and recording ----

void FaultPlatform::FailCall(SeamOp op, const Text& contains) { opFaults_.push_back({op, contains}); }

void FaultPlatform::FailNthCall(std::size_t n) { nthFaults_.insert(n); }

void FaultPlatform::FailNthCallOf(SeamOp op, std::size_t n) { nthOfFaults_.emplace_back(op, n); }

void FaultPlatform::ChangeAfterCall(std::size_t n, std::function<void()> change) {
    changes_.emplace(n, std::move(change));
}

void FaultPlatform::ClearFaults() {
    opFaults_.clear();
    nthFaults_.clear();
    nthOfFaults_.clear();
    changes_.clear();
}

bool FaultPlatform::Faulted(const PlatformCall& call) const {
    // Counted like the call log, so the failing call is line n of CallLog().
    if (nthFaults_.count(calls_.size() + 1)) return true;
    const auto counted = callsOf_.find(call.op);
    const std::size_t sameOp = counted == callsOf_.end() ? 0 : counted->second;
    for (const auto& fault : nthOfFaults_)
        if (fault.first == call.op && fault.second == sameOp + 1) return true;
    for (const auto& fault : opFaults_) {
        if (fault.op != call.op) continue;
        if (fault.contains.empty() || call.subKey.find(fault.contains) != Text::npos ||
            call.valueName.find(fault.contains) != Text::npos)
            return true;
    }
    return false;
}

bool FaultPlatform::Record(PlatformCall call, const std::function<bool()>& act) {
    // Room first, so that a call that took a handle is never lost to a
    // failed append; grown by doubling, as push_back would.
    if (calls_.size() == calls_.capacity()) calls_.reserve(std::max<std::size_t>(16, 2 * calls_.capacity()));
    call.succeeded = !Faulted(call) && act();
    const bool succeeded = call.succeeded;
    Log(std::move(call));
    return succeeded;
}

void FaultPlatform::Log(PlatformCall call) {
    ++callsOf_[call.op];
    calls_.push_back(std::move(call));
    const auto due = changes_.equal_range(calls_.size());
    for (auto change = due.first; change != due.second; ++change) change->second();
}

std::vector<PlatformCall> FaultPlatform::CallsOf(SeamOp op) const {
    std::vector<PlatformCall> found;
    for (const auto& call : calls_)
        if (call.op == op) found.push_back(call);
    return found;
}

void FaultPlatform::ClearCalls() {
    calls_.clear();
    callsOf_.clear();
}

std::string FaultPlatform::CallLog() const {
    std::string log;
    for (std::size_t i = 0; i < calls_.size(); ++i)
        log += "#" + std::to_string(i + 1) + " " + calls_[i].ToString() + "\n";
    return log;
}

namespace {
// A call that names a path, file or program rather than a key.
PlatformCall TextCall(SeamOp op, const Text& text) {
    PlatformCall call;
    call.op = op;
    call.subKey = text;
    call.hasSubKey = true;
    return call;
}

PlatformCall PlainCall(SeamOp op) {
    PlatformCall call;
    call.op = op;
    return call;
}
}  // namespace

PlatformCall FaultPlatform::KeyCall(SeamOp op, RegKey key, const Text* subKey) const {
    PlatformCall call = PlainCall(op);
    call.key = key;
    if (pathOf_) call.where = pathOf_(key);
    if (subKey) call.subKey = *subKey;
    call.hasSubKey = subKey != nullptr;
    return call;
}

// ---- Registry ----

bool FaultPlatform::RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                                  std::uint32_t samDesired, RegKey* result) {
    if (result) *result = 0;
    PlatformCall call = KeyCall(SeamOp::RegOpenKeyExW, key, &subKey);
    call.options = options;
    call.sam = samDesired;
    return Record(std::move(call),
                  [&] { return ForwardingPlatform::RegOpenKeyExW(key, subKey, options, samDesired, result); });
}

bool FaultPlatform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                    std::uint32_t options, std::uint32_t samDesired,
                                    const SecurityAttributes* attributes, RegKey* result) {
    if (result) *result = 0;
    PlatformCall call = KeyCall(SeamOp::RegCreateKeyExW, key, &subKey);
    call.reserved = reserved;
    call.options = options;
    call.sam = samDesired;
    if (attributes) call.attributes = *attributes;
    return Record(std::move(call), [&] {
        return ForwardingPlatform::RegCreateKeyExW(key, subKey, reserved, options, samDesired, attributes, result);
    });
}

bool FaultPlatform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    PlatformCall call = KeyCall(SeamOp::RegDeleteTreeW, key, subKey);
    return Record(std::move(call), [&] { return ForwardingPlatform::RegDeleteTreeW(key, subKey); });
}

bool FaultPlatform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                    std::uint32_t reserved) {
    PlatformCall call = KeyCall(SeamOp::RegDeleteKeyExW, key, &subKey);
    call.sam = samDesired;
    call.reserved = reserved;
    return Record(std::move(call),
                  [&] { return ForwardingPlatform::RegDeleteKeyExW(key, subKey, samDesired, reserved); });
}

bool FaultPlatform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                   std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
    PlatformCall call = KeyCall(SeamOp::RegSetValueExW, key);
    call.valueName = valueName;
    call.reserved = reserved;
    call.type = type;
    if (data) call.data.assign(data, data + size);
    return Record(std::move(call), [&] {
        return ForwardingPlatform::RegSetValueExW(key, valueName, reserved, type, data, size);
    });
}

bool FaultPlatform::RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) {
    PlatformCall call = KeyCall(SeamOp::RegDeleteKeyValueW, key, subKey);
    call.valueName = valueName;
    return Record(std::move(call),
                  [&] { return ForwardingPlatform::RegDeleteKeyValueW(key, subKey, valueName); });
}

bool FaultPlatform::RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) {
    return Record(KeyCall(SeamOp::RegQueryInfoKeyW, key),
                  [&] { return ForwardingPlatform::RegQueryInfoKeyW(key, subKeys); });
}

bool FaultPlatform::RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity, Text* name) {
    PlatformCall call = KeyCall(SeamOp::RegEnumKeyExW, key);
    call.index = index;
    call.capacity = nameCapacity;
    return Record(std::move(call),
                  [&] { return ForwardingPlatform::RegEnumKeyExW(key, index, nameCapacity, name); });
}

bool FaultPlatform::RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type, Bytes* data) {
    PlatformCall call = KeyCall(SeamOp::RegQueryValueExW, key);
    call.valueName = valueName;
    return Record(std::move(call),
                  [&] { return ForwardingPlatform::RegQueryValueExW(key, valueName, type, data); });
}

bool FaultPlatform::RegCloseKey(RegKey key) {
    return Record(KeyCall(SeamOp::RegCloseKey, key), [&] { return ForwardingPlatform::RegCloseKey(key); });
}

// ---- Processes ----

bool FaultPlatform::CreateProcessW(const Text& applicationName, const Text& commandLine, bool inheritHandles,
                                   std::uint32_t creationFlags, const StartupInfo& startup,
                                   ProcessHandle* process) {
    if (process) *process = 0;
    PlatformCall call = TextCall(SeamOp::CreateProcessW, applicationName);
    call.valueName = commandLine;
    call.inheritHandles = inheritHandles;
    call.creationFlags = creationFlags;
    call.startup = startup;
    return Record(std::move(call), [&] {
        if (!ForwardingPlatform::CreateProcessW(applicationName, commandLine, inheritHandles, creationFlags,
                                                startup, process))
            return false;
        if (process) processes_.insert(*process);
        return true;
    });
}

WaitResult FaultPlatform::WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) {
    PlatformCall call = PlainCall(SeamOp::WaitForProcess);
    call.key = process;
    call.timeoutMs = timeoutMs;
    WaitResult result = WaitResult::Failed;
    Record(std::move(call), [&] {
        result = ForwardingPlatform::WaitForProcess(process, timeoutMs);
        return result != WaitResult::Failed;
    });
    return result;
}

void FaultPlatform::CloseProcess(ProcessHandle process) {
    PlatformCall call = PlainCall(SeamOp::CloseProcess);
    call.key = process;
    Record(std::move(call), [&] {
        ForwardingPlatform::CloseProcess(process);
        return processes_.erase(process) == 1;
    });
}

Text FaultPlatform::GetSystemDirectoryW() {
    Text directory;
    Record(PlainCall(SeamOp::GetSystemDirectoryW), [&] {
        directory = ForwardingPlatform::GetSystemDirectoryW();
        return !directory.empty();
    });
    return directory;
}

// ---- Clock, environment ----

LocalTime FaultPlatform::GetLocalTime() {
    // The clock cannot fail; a fault aimed at it is counted and ignored.
    const LocalTime time = ForwardingPlatform::GetLocalTime();
    PlatformCall call = PlainCall(SeamOp::GetLocalTime);
    call.succeeded = true;
    Log(std::move(call));
    return time;
}

bool FaultPlatform::ExpandEnvironmentStringsW(const Text& source, Text* expanded) {
    return Record(TextCall(SeamOp::ExpandEnvironmentStringsW, source),
                  [&] { return ForwardingPlatform::ExpandEnvironmentStringsW(source, expanded); });
}

bool FaultPlatform::GetShortPathNameW(const Text& longPath, Text* shortPath) {
    return Record(TextCall(SeamOp::GetShortPathNameW, longPath),
                  [&] { return ForwardingPlatform::GetShortPathNameW(longPath, shortPath); });
}

// ---- Files ----

FileContents FaultPlatform::ReadWholeFile(const Text& path, std::uint64_t limit) {
    FileContents contents;
    Record(TextCall(SeamOp::ReadWholeFile, path), [&] {
        contents = ForwardingPlatform::ReadWholeFile(path, limit);
        return contents.status == FileReadStatus::Read;
    });
    return contents;
}

bool FaultPlatform::AppendToFile(const Text& path, std::string_view bytes) {
    PlatformCall call = TextCall(SeamOp::AppendToFile, path);
    call.data.assign(bytes.begin(), bytes.end());
    return Record(std::move(call), [&] { return ForwardingPlatform::AppendToFile(path, bytes); });
}

bool FaultPlatform::PathExists(const Text& path) {
    return Record(TextCall(SeamOp::PathExists, path), [&] { return ForwardingPlatform::PathExists(path); });
}

std::optional<std::uint64_t> FaultPlatform::GetOwnFileVersion() {
    std::optional<std::uint64_t> version;
    Record(PlainCall(SeamOp::GetOwnFileVersion), [&] {
        version = ForwardingPlatform::GetOwnFileVersion();
        return version.has_value();
    });
    return version;
}

// ---- Machine policy and signatures ----

PolicyValue FaultPlatform::QueryPolicyValue(const Text& keyPath, const Text& valueName) {
    PlatformCall call = TextCall(SeamOp::QueryPolicyValue, keyPath);
    call.valueName = valueName;
    PolicyValue policy;
    policy.status = PolicyValueStatus::Unreadable;
    Record(std::move(call), [&] {
        const auto seeded = policyValues.find({keyPath, valueName});
        if (seeded == policyValues.end()) {
            policy = ForwardingPlatform::QueryPolicyValue(keyPath, valueName);
        } else {
            policy.status = PolicyValueStatus::Present;
            policy.type = seeded->second.type;
            policy.data = seeded->second.data;
        }
        return policy.status != PolicyValueStatus::Unreadable;
    });
    return policy;
}

namespace {
// A stand-in for SHA-256: equal for equal content, which is all the engine compares.
Bytes StandInDigest(std::string_view content) {
    const std::size_t hash = std::hash<std::string_view>()(content);
    Bytes digest(sizeof hash);
    std::memcpy(digest.data(), &hash, sizeof hash);
    return digest;
}

SignatureFacts FactsOf(const FaultPlatform::KnownSignature& s, std::string_view content,
                       std::uint32_t certificateLimit) {
    SignatureFacts facts;
    facts.decoded = true;
    facts.certificateCount = s.carried;
    if (s.carried > certificateLimit) return facts;
    facts.signerCarried = s.signerCarried;
    facts.signatureVerifies = s.verifies && s.signerCarried;
    facts.digestIsSha256 = s.sha256;
    if (s.messageDigest) facts.messageDigest = StandInDigest(s.signedContent);
    facts.contentDigest = StandInDigest(content);
    if (facts.signatureVerifies) facts.signerCertificate = s.signer;
    if (s.signerCarried) facts.certificates = {s.signer};
    return facts;
}
}  // namespace

SignatureFacts FaultPlatform::InspectDetachedSignature(std::string_view content, std::string_view signature,
                                                       std::uint32_t certificateLimit) {
    SignatureFacts facts;
    Record(PlainCall(SeamOp::InspectDetachedSignature), [&] {
        const auto known = signatures.find(std::string(signature));
        facts = known != signatures.end()
                    ? FactsOf(known->second, content, certificateLimit)
                    : ForwardingPlatform::InspectDetachedSignature(content, signature, certificateLimit);
        return true;
    });
    return facts;
}

PublisherTrust FaultPlatform::QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) {
    PlatformCall call = PlainCall(SeamOp::QueryPublisherTrust);
    call.data = signer;
    PublisherTrust trust;
    Record(std::move(call), [&] {
        const auto known = publishers.find(signer);
        if (known == publishers.end()) trust = ForwardingPlatform::QueryPublisherTrust(signer, certificates);
        else if (known->second.trustedPublisher) trust = known->second;
        return true;
    });
    return trust;
}

}  // namespace km
