#include "tests/reference/pass_comparison.h"

#include <set>

#include "engine/package_file.h"
#include "engine/update_pass.h"
#include "platform/forwarding_platform.h"
#include "platform/memory/memory_platform_print.h"
#include "platform/text.h"
#include "tests/reference/reference_pass.h"
#include "tests/unit/two_profile_machine.h"

namespace km::reference {

namespace {

// The machine's calls through its fault layer, noting which key creations
// made a key (the others opened one, and the current pass makes fewer of
// those), and asking for cancel after a given number of value writes, as a
// dialog's Cancel would.
class ComparedPlatform : public ForwardingPlatform {
public:
    explicit ComparedPlatform(machine::TwoProfileMachine& m)
        : ForwardingPlatform(static_cast<Platform&>(m.seam)), m_(m) {}

    std::size_t cancelAfterWrites = 0;
    std::set<std::size_t> creations;  // indices into the layer's Calls()

    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                         std::uint32_t options, std::uint32_t samDesired,
                         const SecurityAttributes* attributes, RegKey* result) override {
        // Looked up without the 32-bit view; a create in that view counts as
        // making a key every time, which the comparison would show.
        const bool viewed = m_.sys.wow64Redirection && (samDesired & kKeyWow64_64Key) == 0;
        const bool existed = !viewed && m_.sys.KeyExists(key, subKey);
        const bool done = ForwardingPlatform::RegCreateKeyExW(key, subKey, reserved, options,
                                                              samDesired, attributes, result);
        if (done && !existed) creations.insert(m_.seam.Calls().size() - 1);
        return done;
    }

    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                        std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
        const bool done =
            ForwardingPlatform::RegSetValueExW(key, valueName, reserved, type, data, size);
        if (++writes_ == cancelAfterWrites) m_.state.cancelRequested.store(1);
        return done;
    }

private:
    machine::TwoProfileMachine& m_;
    std::size_t writes_ = 0;
};

// Machine keys with values, for removals and rewrites to find.
void SeedMachineKeys(MemoryPlatform& sys) {
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"Name", kRegSz, Utf16Bytes(u"old"));
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"D", kRegDword, {9, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\App", u"Old", kRegSz, Utf16Bytes(u"x"));
    sys.SetValue(kHkeyLocalMachine, u"SYSTEM\\CurrentControlSet\\Services\\Km", u"Start", kRegDword,
                 {3, 0, 0, 0});
    sys.SetValue(kHkeyClassesRoot, u".km", u"", kRegSz, Utf16Bytes(u"km.file"));
}

// The registry changes, process starts and log appends, in call order. Keys
// are named by path: handle numbers differ between the passes.
std::vector<std::string> Effects(const FaultPlatform& seam, const ComparedPlatform& compared) {
    std::vector<std::string> effects;
    const std::vector<PlatformCall>& calls = seam.Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        switch (calls[i].op) {
            case SeamOp::RegSetValueExW:
            case SeamOp::RegDeleteKeyValueW:
            case SeamOp::RegDeleteTreeW:
            case SeamOp::RegDeleteKeyExW:
            case SeamOp::CreateProcessW:
            case SeamOp::AppendToFile:
                effects.push_back(calls[i].ToString());
                break;
            case SeamOp::RegCreateKeyExW:
                if (compared.creations.count(i)) effects.push_back("made a key: " + calls[i].ToString());
                break;
            default:
                break;
        }
    }
    return effects;
}

struct PassOutcome {
    std::int32_t exitCode = 0;
    std::int32_t done = 0;
    std::string log;
    std::vector<std::string> effects;
    std::string machine;  // the platform's whole state, the package file left out
    std::size_t keyOpens = 0;
};

enum class Pass { Current, Reference };

PassOutcome Run(const PassSetup& setup, Pass pass) {
    machine::TwoProfileMachine m;
    ComparedPlatform compared(m);
    m.state.isWow64 = setup.wow64 ? 1 : 0;
    m.sys.wow64Redirection = setup.wow64;
    m.state.mode = setup.packageArgument ? PackageArgument : DefaultPackage;
    SeedMachineKeys(m.sys);
    for (const auto& fault : setup.nthFaults) m.seam.FailNthCallOf(fault.first, fault.second);
    for (const auto& fault : setup.textFaults) m.seam.FailCall(fault.first, fault.second);
    m.sys.files[machine::kDataPath] = setup.package;
    if (setup.arrange) setup.arrange(m.sys);
    compared.cancelAfterWrites = setup.cancelAfterWrites;

    if (pass == Pass::Current) {
        UpdateWorker(compared, m.state);
    } else {
        ReferenceWorker(compared, m.state);
        // The one change made on purpose since: a package that is there, or
        // was named on the command line, but could not be opened exits 3 with
        // the read-error entry, where the reference pass passed it for done.
        const auto reads = m.seam.CallsOf(SeamOp::ReadWholeFile);
        if (!reads.empty() && !reads.front().succeeded && m.state.exitCode.load() == 0 &&
            (m.state.mode == PackageArgument || m.seam.PathExists(machine::kDataPath))) {
            LogPackageNotRead(compared, LogSink{m.state.logPath});
            m.state.exitCode.store(kExitPackageNotApplied);
        }
    }

    PassOutcome outcome;
    outcome.exitCode = m.state.exitCode.load();
    outcome.done = m.state.done.load();
    const auto log = m.sys.files.find(m.state.logPath);
    if (log != m.sys.files.end()) outcome.log = log->second;
    outcome.effects = Effects(m.seam, compared);
    outcome.keyOpens = m.seam.CallsOf(SeamOp::RegOpenKeyExW).size() +
                       m.seam.CallsOf(SeamOp::RegCreateKeyExW).size();
    m.sys.files.erase(machine::kDataPath);  // read only, and it may be huge
    outcome.machine = m.sys.Dump();
    return outcome;
}

// The first line where two texts differ, with the line before it.
std::string FirstDifferentLine(const std::string& current, const std::string& reference) {
    std::size_t line = 0;
    std::size_t at = 0;
    while (at < current.size() && at < reference.size() && current[at] == reference[at]) {
        if (current[at] == '\n') ++line;
        ++at;
    }
    auto around = [&](const std::string& text) {
        std::size_t begin = text.rfind('\n', at == 0 ? 0 : at - 1);
        begin = begin == std::string::npos ? 0 : text.rfind('\n', begin == 0 ? 0 : begin - 1);
        begin = begin == std::string::npos ? 0 : begin + 1;
        const std::size_t end = text.find('\n', at);
        return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    };
    return "line " + std::to_string(line + 1) + "\n  current:   " + around(current) +
           "\n  reference: " + around(reference);
}

std::string OutcomeDifference(const PassOutcome& current, const PassOutcome& reference) {
    if (current.exitCode != reference.exitCode)
        return "exit code: current " + std::to_string(current.exitCode) + ", reference " +
               std::to_string(reference.exitCode);
    if (current.done != reference.done) return "done flag differs";
    if (current.log != reference.log)
        return "run log: current " + Quoted(current.log) + ", reference " + Quoted(reference.log);
    const std::size_t n = std::max(current.effects.size(), reference.effects.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::string none = "(none)";
        const std::string& c = i < current.effects.size() ? current.effects[i] : none;
        const std::string& r = i < reference.effects.size() ? reference.effects[i] : none;
        if (c != r)
            return "effect " + std::to_string(i + 1) + ": current " + c + ", reference " + r;
    }
    if (current.machine != reference.machine)
        return "machine state, " + FirstDifferentLine(current.machine, reference.machine);
    return std::string();
}

std::string Shown(const Text& text) { return Quoted(text); }
std::string Shown(const Bytes& bytes) { return Quoted(std::string(bytes.begin(), bytes.end())); }
template <class T>
std::string Shown(const T& number) {
    return std::to_string(number);
}

// The first field in which two records differ, or empty.
std::string RecordDifference(const PackageRecord& current, const PackageRecord& reference) {
    std::string difference;
    auto field = [&](const char* name, const auto& c, const auto& r) {
        if (difference.empty() && !(c == r))
            difference = std::string(name) + ": current " + Shown(c) + ", reference " + Shown(r);
    };
    field("rootKey", current.rootKey, reference.rootKey);
    field("rootKind", std::int32_t(current.rootKind), std::int32_t(reference.rootKind));
    field("keyOnly", current.keyOnly, reference.keyOnly);
    field("remove", current.remove, reference.remove);
    field("classesKey", current.classesKey, reference.classesKey);
    field("keyPath", current.keyPath, reference.keyPath);
    field("valueName", current.valueName, reference.valueName);
    field("typeName", current.typeName, reference.typeName);
    field("data", current.data, reference.data);
    field("dataSize", current.dataSize, reference.dataSize);
    field("unencodable", int(current.unencodable), int(reference.unencodable));
    field("number", current.number, reference.number);
    field("target", current.target, reference.target);
    return difference;
}

std::string ContentsDifference(const PackageContents& current, const ReferenceContents& reference) {
    if (current.result != reference.result)
        return "read result: current " + std::to_string(int(current.result)) + ", reference " +
               std::to_string(int(reference.result));
    if (current.targetGroups != reference.targetGroups)
        return "target groups: current " + std::to_string(current.targetGroups) + ", reference " +
               std::to_string(reference.targetGroups);
    const RecordList records = DecodeAll(current.lines);
    if (records.size() != reference.records.size())
        return "records: current " + std::to_string(records.size()) + ", reference " +
               std::to_string(reference.records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string difference = RecordDifference(records[i], reference.records[i]);
        if (!difference.empty()) return "line " + std::to_string(i + 1) + ", " + difference;
    }
    return std::string();
}

// The pass fuzzer's fault operations, in the order its input picks them by.
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

}  // namespace

bool CallCountShared(SeamOp op) {
    // The current pass also asks a held key whether it still answers after a
    // value call on it failed, which the reference pass never needed.
    return op != SeamOp::RegOpenKeyExW && op != SeamOp::RegCreateKeyExW &&
           op != SeamOp::RegCloseKey && op != SeamOp::RegQueryInfoKeyW;
}

PassComparison ComparePasses(const PassSetup& setup) {
    const PassOutcome current = Run(setup, Pass::Current);
    const PassOutcome reference = Run(setup, Pass::Reference);
    PassComparison comparison;
    comparison.difference = OutcomeDifference(current, reference);
    comparison.currentKeyOpens = current.keyOpens;
    comparison.referenceKeyOpens = reference.keyOpens;
    return comparison;
}

std::string ParseDifference(std::string_view bytes) {
    std::string difference = ContentsDifference(ParsePackage(bytes), ReferenceParse(bytes));
    if (!difference.empty()) return "held whole, " + difference;

    MemoryPlatform sys;
    const Text path = u"C:\\p.reg.dat";
    sys.files[path] = std::string(bytes);
    sys.readErrorAfter[path] = bytes.size() / 2;
    difference =
        ContentsDifference(ReadPackageFile(sys, path), ReferenceReadPackageFile(sys, path));
    if (!difference.empty()) return "cut by a read error, " + difference;
    return std::string();
}

std::optional<FuzzInput> DecodeFuzzInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return std::nullopt;
    FuzzInput input;
    const std::uint8_t flags = data[0];
    input.wow64 = (flags & 1) != 0;
    input.packageArgument = (flags & 2) != 0;
    std::size_t at = 1;
    bool processFault = false;
    const std::size_t faults = (flags >> 2) & 3;
    for (std::size_t i = 0; i < faults && at + 2 <= size; ++i, at += 2) {
        const SeamOp op = kFaultOps[data[at] % kFaultOpCount];
        if (StartsProcess(op)) {
            if (processFault) continue;
            processFault = true;
        }
        input.faults.emplace_back(op, std::size_t(data[at + 1] % 16 + 1));
    }
    input.package.assign(reinterpret_cast<const char*>(data) + at, size - at);
    return input;
}

PassSetup ComparableSetup(const FuzzInput& input) {
    PassSetup setup;
    setup.package = input.package;
    setup.wow64 = input.wow64;
    setup.packageArgument = input.packageArgument;
    for (const auto& fault : input.faults)
        if (CallCountShared(fault.first)) setup.nthFaults.push_back(fault);
    return setup;
}

}  // namespace km::reference
