// The line parser as it was (see reference_pass.h).
#include <cstdint>
#include <cstring>

#include "engine/windows_facts.h"
#include "platform/text.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

constexpr TextView kSeparator = u"*@*";
constexpr TextView kRemovalMarker = u"DELETE_REG";
constexpr TextView kKeyOnly = u"True";

// Index of the first unit equal to c at or after from, or npos. Lines are
// scanned four units at a time: a word is looked into only when one of its
// units is c (the test finds every such word and no other).
std::size_t FindUnit(TextView text, char16_t c, std::size_t from) {
    constexpr std::uint64_t kOnes = 0x0001000100010001ull;
    constexpr std::uint64_t kHighs = 0x8000800080008000ull;
    const std::uint64_t pattern = kOnes * c;
    const char16_t* units = text.data();
    const std::size_t n = text.size();
    std::size_t i = from;
    for (; i + 4 <= n; i += 4) {
        std::uint64_t word;
        std::memcpy(&word, units + i, sizeof word);
        const std::uint64_t x = word ^ pattern;  // a unit equal to c becomes zero
        if ((x - kOnes) & ~x & kHighs) break;
    }
    for (; i < n; ++i)
        if (units[i] == c) return i;
    return TextView::npos;
}

// Exact search, as TextView::find, without its unit-by-unit scan.
std::size_t Find(TextView text, TextView needle, std::size_t from = 0) {
    if (needle.empty()) return from <= text.size() ? from : TextView::npos;
    for (std::size_t at = from; (at = FindUnit(text, needle[0], at)) != TextView::npos; ++at) {
        if (text.size() - at < needle.size()) return TextView::npos;
        std::size_t k = 1;  // the first unit matched already
        while (k < needle.size() && text[at + k] == needle[k]) ++k;
        if (k == needle.size()) return at;
    }
    return TextView::npos;
}

// Cuts a line into fields. A field ends at the next separator; when no
// separator is left the field is empty and moving on drops two characters
// (existing packages depend on this exact cutting). A view: the line outlives
// the parse, and a long line is never copied.
class FieldCutter {
public:
    explicit FieldCutter(TextView line) : rest_(line) {}

    // Takes the next field and moves past it and its separator.
    TextView Next() {
        const std::int64_t n = Size();
        // The rest only ever shrinks to a suffix of itself: once no separator
        // is found, none will be, and a long line is not searched again.
        const std::size_t found = separatorLeft_ ? Find(rest_, kSeparator) : TextView::npos;
        separatorLeft_ = found != TextView::npos;
        const std::int64_t p = separatorLeft_ ? std::int64_t(found) : -1;
        const TextView field = Head(p);
        rest_ = Tail(n - p - std::int64_t(kSeparator.size()));
        return field;
    }

    TextView Rest() const { return rest_; }

private:
    std::int64_t Size() const { return std::int64_t(rest_.size()); }
    TextView Head(std::int64_t k) const {
        if (k <= 0) return TextView();
        return k >= Size() ? rest_ : rest_.substr(0, std::size_t(k));
    }
    TextView Tail(std::int64_t k) const {
        if (k <= 0) return TextView();
        return k >= Size() ? rest_ : rest_.substr(rest_.size() - std::size_t(k));
    }

    TextView rest_;
    bool separatorLeft_ = true;
};

struct RootRule {
    TextView marker;  // found anywhere in the root field, exact case
    RootKind kind;
    RegKey key;
    TextView keyPrefix;        // put before the key field
    bool takesClassesPrefix;   // a leading "Software\Classes\" marks a classes key
};

// First match wins; a root field that matches none, an empty one too, is
// taken as a per-user root.
constexpr RootRule kRootRules[] = {
    {u"HKEY_CLASSES_ROOT", ClassesRoot, kHkeyClassesRoot, u"", true},
    {u"HKEY_LOCAL_MACHINE\\SOFTWARE", MachineSoftware, kHkeyLocalMachine, u"SOFTWARE\\", false},
    {u"HKEY_LOCAL_MACHINE\\SYSTEM", MachineSystem, kHkeyLocalMachine, u"SYSTEM\\", false},
};
constexpr RootRule kOtherRoot = {u"", Users, kHkeyUsers, u"", true};

const RootRule& ClassifyRoot(TextView field) {
    for (const RootRule& rule : kRootRules)
        if (Find(field, rule.marker) != TextView::npos) return rule;
    return kOtherRoot;
}

struct TargetRule {
    TextView target;  // ASCII case ignored
    std::uint8_t classesBits;
    std::uint8_t userBits;
};

constexpr TargetRule kTargetRules[] = {
    {u"All Users", TargetGroups::kUserClasses | TargetGroups::kAdministratorClasses,
     TargetGroups::kUserHive | TargetGroups::kAdministratorHive},
    {u"Administrator", TargetGroups::kAdministratorClasses, TargetGroups::kAdministratorHive},
    {u"User", TargetGroups::kUserClasses, TargetGroups::kUserHive},
};

void AddTargetGroups(const PackageRecord& record, std::uint8_t& targetGroups) {
    if (record.rootKind != Users) return;
    for (const TargetRule& rule : kTargetRules) {
        if (EqualsIgnoreAsciiCase(record.target, rule.target)) {
            targetGroups |= record.classesKey == 1 ? rule.classesBits : rule.userBits;
            return;
        }
    }
}

}  // namespace

PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups) {
    PackageRecord record;
    FieldCutter fields(line);

    fields.Next();  // the leading field carries nothing for us

    const RootRule& root = ClassifyRoot(fields.Next());
    record.rootKind = root.kind;
    record.rootKey = root.key;

    TextView key = fields.Next();
    if (root.takesClassesPrefix && key.substr(0, kClassesBranch.size()) == kClassesBranch) {
        key.remove_prefix(kClassesBranch.size());
        record.classesKey = 1;
    }
    record.keyPath.reserve(root.keyPrefix.size() + key.size());
    record.keyPath.append(root.keyPrefix).append(key);

    // The marker counts anywhere from the key-only field to the end of the line.
    if (Find(fields.Rest(), kRemovalMarker) != TextView::npos) record.remove = 1;

    if (EqualsIgnoreAsciiCase(fields.Next(), kKeyOnly)) {
        record.keyOnly = 1;
        // A per-user key still needs its target to reach the right profiles
        // (and their hives); value name, type and data stay unread.
        if (record.rootKind == Users) {
            fields.Next();
            fields.Next();
            record.target = Text(fields.Next());
            AddTargetGroups(record, targetGroups);
        }
        return record;
    }

    record.valueName = Text(fields.Next());
    record.typeName = Text(fields.Next());
    record.target = Text(fields.Next());
    AddTargetGroups(record, targetGroups);

    // Value data counts only when a separator follows it.
    reference::EncodeValueData(record, fields.Next());
    return record;
}

}  // namespace km::reference
