#include "engine/record_parser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/package_language.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"
#include "platform/text.h"

namespace km {

namespace {

// Lines are cut as decoded UTF-16 text, or, to find the profiles a package
// needs while it is read, as its UTF-8 bytes. Every text searched for is
// ASCII, and in UTF-8 an ASCII byte only ever stands for itself (a bad
// sequence never takes one in), so both give the same fields.
template <class Unit>
using Units = std::basic_string_view<Unit>;

char16_t UnitValue(char c) { return char16_t(static_cast<unsigned char>(c)); }
char16_t UnitValue(char16_t c) { return c; }

// Index of the first unit equal to c at or after from, or npos. Bytes are
// only ever searched for ASCII (see above), so c fits in one.
std::size_t FindUnit(std::string_view text, char16_t c, std::size_t from) {
    if (from >= text.size()) return TextView::npos;
    const void* hit = std::memchr(text.data() + from, c, text.size() - from);
    return hit ? std::size_t(static_cast<const char*>(hit) - text.data()) : TextView::npos;
}

// Lines are scanned four units at a time: a word is looked into only when one
// of its units is c (the test finds every such word and no other).
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

// Exact search for an ASCII needle, without a unit-by-unit scan.
template <class Unit>
std::size_t Find(Units<Unit> text, TextView needle, std::size_t from = 0) {
    if (needle.empty()) return from <= text.size() ? from : TextView::npos;
    for (std::size_t at = from; (at = FindUnit(text, needle[0], at)) != TextView::npos; ++at) {
        if (text.size() - at < needle.size()) return TextView::npos;
        std::size_t k = 1;  // the first unit matched already
        while (k < needle.size() && UnitValue(text[at + k]) == needle[k]) ++k;
        if (k == needle.size()) return at;
    }
    return TextView::npos;
}

template <class Unit>
bool StartsWith(Units<Unit> text, TextView prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (UnitValue(text[i]) != prefix[i]) return false;
    return true;
}

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

// ASCII case ignored; `word` is ASCII, so a non-ASCII unit or byte never matches.
template <class Unit>
bool EqualsAsciiWord(Units<Unit> text, TextView word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (FoldAscii(UnitValue(text[i])) != FoldAscii(word[i])) return false;
    return true;
}

// Cuts a line into fields. A field ends at the next separator; when no
// separator is left the field is empty and moving on drops two characters
// (existing packages depend on this exact cutting). Offsets into the line:
// the line outlives the parse, and a long line is never copied.
template <class Unit>
class FieldCutter {
public:
    explicit FieldCutter(Units<Unit> line) : line_(line) {}

    // Takes the next field and moves past it and its separator.
    Units<Unit> Next() {
        const LineSpan field = NextSpan();
        return line_.substr(field.begin, field.end - field.begin);
    }
    LineSpan NextSpan() {
        // The rest only ever shrinks to a suffix of itself: once no separator
        // is found, none will be, and a long line is not searched again.
        const std::size_t found = separatorLeft_ ? Find(line_, kFieldSeparator, rest_) : TextView::npos;
        separatorLeft_ = found != TextView::npos;
        if (!separatorLeft_) {
            rest_ = std::min(line_.size(), rest_ + kFieldSeparator.size() - 1);
            return LineSpan{rest_, rest_};
        }
        const LineSpan field{rest_, found};
        rest_ = found + kFieldSeparator.size();
        return field;
    }

    // Whether the field last taken ended at a separator.
    bool EndedAtSeparator() const { return separatorLeft_; }
    std::size_t RestFrom() const { return rest_; }
    Units<Unit> Rest() const { return line_.substr(rest_); }

private:
    Units<Unit> line_;
    std::size_t rest_ = 0;
    bool separatorLeft_ = true;
};

template <class Unit>
bool Equals(Units<Unit> text, TextView ascii) {
    return text.size() == ascii.size() && StartsWith(text, ascii);
}

template <class Unit>
const RootRule& ClassifyRoot(Units<Unit> field) {
    // Most root fields are a marker exactly; no marker holds another, so an
    // equal field gets the rule the search would give.
    for (const RootRule& rule : kRootRules)
        if (Equals(field, rule.marker)) return rule;
    for (const RootRule& rule : kRootRules)
        if (Find(field, rule.marker) != TextView::npos) return rule;
    return kPerUserRoot;
}

// The hives a per-user line with this target needs.
template <class Unit>
std::uint8_t GroupsOfTarget(Units<Unit> target, bool classesKey) {
    for (const TargetRule& rule : kTargetRules)
        if (EqualsAsciiWord(target, rule.target)) return classesKey ? rule.classesBits : rule.userBits;
    return 0;
}

template <class Unit>
std::uint8_t GroupsOfLine(Units<Unit> line) {
    FieldCutter<Unit> fields(line);
    fields.Next();  // the leading field carries nothing for us
    const RootRule& root = ClassifyRoot(fields.Next());
    if (root.kind != Users) return 0;
    const Units<Unit> key = fields.Next();
    const bool classesKey = root.takesClassesPrefix && StartsWith(key, kClassesBranch);
    for (int field = kKeyOnlyField; field < kTargetField; ++field) fields.Next();
    return GroupsOfTarget(fields.Next(), classesKey);
}

// Empties a record for the next line, keeping its buffers.
void Clear(PackageRecord& record) {
    record.rootKey = 0;
    record.rootKind = ClassesRoot;
    record.keyOnly = 0;
    record.remove = 0;
    record.classesKey = 0;
    record.keyPath.clear();
    record.valueName.clear();
    record.typeName.clear();
    record.data.clear();
    record.dataSize = 0;
    record.unencodable = false;
    record.number = 0;
    record.target.clear();
}

}  // namespace

LineSpans CutLine(TextView line) {
    LineSpans spans;
    FieldCutter<char16_t> fields(line);
    bool cutting = true;  // every field so far ended at a separator
    for (int field = kLeadingField; field < kRestField; ++field) {
        const std::size_t from = fields.RestFrom();
        const LineSpan span = fields.NextSpan();
        if (field == kKeyField) spans.markerFrom = fields.RestFrom();
        if (!cutting) continue;
        cutting = fields.EndedAtSeparator();
        spans.parts[spans.separators] = cutting ? span : LineSpan{from, line.size()};
        if (cutting) ++spans.separators;
    }
    if (cutting) spans.parts[spans.separators] = LineSpan{fields.RestFrom(), line.size()};
    return spans;
}

std::uint8_t LineTargetGroups(std::string_view utf8Line) { return GroupsOfLine(utf8Line); }
std::uint8_t LineTargetGroups(TextView line) { return GroupsOfLine(line); }

PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups) {
    PackageRecord record;
    ParseRecordLine(line, record, targetGroups);
    return record;
}

void ParseRecordLine(TextView line, PackageRecord& record, std::uint8_t& targetGroups) {
    Clear(record);
    FieldCutter<char16_t> fields(line);

    fields.Next();  // the leading field carries nothing for us

    const RootRule& root = ClassifyRoot(fields.Next());
    record.rootKind = root.kind;
    record.rootKey = root.key;

    TextView key = fields.Next();
    if (root.takesClassesPrefix && StartsWith(key, kClassesBranch)) {
        key.remove_prefix(kClassesBranch.size());
        record.classesKey = 1;
    }
    record.keyPath.append(root.keyPrefix).append(key);

    // The marker counts anywhere from the key-only field to the end of the line.
    if (Find(fields.Rest(), kRemovalMarker) != TextView::npos) record.remove = 1;

    const bool users = record.rootKind == Users;
    if (EqualsAsciiWord(fields.Next(), kKeyOnlyMark)) {
        record.keyOnly = 1;
        // A per-user key still needs its target to reach the right profiles
        // (and their hives); value name, type and data stay unread.
        if (users) {
            fields.Next();
            fields.Next();
            record.target.assign(fields.Next());
            targetGroups |= GroupsOfTarget(TextView(record.target), record.classesKey == 1);
        }
        return;
    }

    record.valueName.assign(fields.Next());
    record.typeName.assign(fields.Next());
    record.target.assign(fields.Next());
    if (users) targetGroups |= GroupsOfTarget(TextView(record.target), record.classesKey == 1);

    // Value data counts only when a separator follows it.
    EncodeValueData(record, fields.Next());
}

}  // namespace km
