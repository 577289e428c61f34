#include "toolkit/lint.h"

#include <algorithm>
#include <cstdio>

#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/package_language.h"
#include "engine/record_parser.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"
#include "platform/registry_limits.h"
#include "platform/text.h"

namespace km::toolkit {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Quoted for a message; long texts are cut (never inside a surrogate pair),
// escaped characters shown by code.
std::string Quote(TextView text, std::size_t max = 60) {
    const std::size_t kept =
        text.size() > max ? max + (max > 0 && IsHighSurrogate(text[max - 1]) && IsLowSurrogate(text[max]) ? 1 : 0)
                          : text.size();
    const bool cut = kept < text.size();
    return "\"" + DisplayText(text.substr(0, kept), {{}, {}, true}) + (cut ? "...\"" : "\"");
}

std::string Number(std::size_t n) { return std::to_string(n); }

std::string Hex(std::uint64_t value, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

struct Findings {
    int line;
    std::vector<Finding>* out;
    void Add(int field, Severity severity, std::string text) const {
        out->push_back(Finding{line, field, severity, std::move(text)});
    }
    void Error(int field, std::string text) const { Add(field, Severity::Error, std::move(text)); }
    void Warning(int field, std::string text) const { Add(field, Severity::Warning, std::move(text)); }
};

// Everything the rules need to know about one line, as the reader reads it.
struct LineView {
    TextView text;
    LineSpans spans;
    const PackageRecord& record;
    std::uint8_t packageGroups = 0;  // the target groups of the whole package

    std::size_t Separators() const { return spans.separators; }
    // Part k, from 1: field k while a separator ends it, then what follows the last separator.
    std::size_t Parts() const { return Separators() + 1; }
    TextView Part(std::size_t k) const {
        const LineSpan& span = spans.parts[k - 1];
        return text.substr(span.begin, span.end - span.begin);
    }
    // A field as the parser reads it: text after the last separator is no field.
    TextView FieldText(int field) const {
        return std::size_t(field) <= Separators() ? Part(std::size_t(field)) : TextView();
    }
    bool IsValueLine() const { return record.keyOnly != 1; }
    // Value data that no separator follows: the parser reads it as empty.
    bool ValueDataCutOff() const {
        return Parts() == std::size_t(kValueDataField) && !Part(Parts()).empty();
    }
    bool ReadsField(int field) const {
        if (field == kRootField || field == kKeyField || field == kKeyOnlyField) return true;
        if (IsValueLine()) return field >= kValueNameField && field <= kValueDataField;
        return field == kTargetField && record.rootKind == Users;
    }
    // The field in which a position of the line lies.
    int FieldAt(std::size_t position) const {
        for (std::size_t k = 0; k < Separators(); ++k)
            if (position < spans.parts[k].end + kFieldSeparator.size()) return int(k) + 1;
        return std::min(int(Parts()), int(kRestField));
    }
};

// ---- The rules, one a function. ----

// "A, B or C" of the names a table lists.
template <class Rows, class Name>
std::string NameList(const Rows& rows, Name name, const char* last = " or ") {
    std::vector<std::string> names;
    for (const auto& row : rows)
        if (const TextView n = name(row); !n.empty()) names.push_back(ToUtf8(n));
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return out;
}

std::string MachineRootList() {
    return NameList(kRootRules, [](const RootRule& r) { return r.marker; }, ", ");
}
std::string GroupTargetList() {
    return NameList(kTargetRules, [](const TargetRule& r) { return r.target; }, ", ");
}
std::string PackageTypeList() {
    return NameList(kPackageTypes, [](std::uint32_t code) { return RegistryTypeName(code); }, ", ");
}

void CheckRoot(const LineView& line, const Findings& findings) {
    if (line.record.rootKind != Users) return;
    const TextView root = line.FieldText(kRootField);
    for (TextView perUser : kPerUserRootFields)
        if (root.find(perUser) != TextView::npos) return;
    const std::string what = "root " + Quote(root) + " is not one of the three machine roots (" + MachineRootList() +
                             ", matched in exact case): "
                             "the line is per-user and is written below HKEY_USERS for each targeted profile";
    for (const TextView lookalike : kMachineRootLookalikes) {
        if (ContainsIgnoreAsciiCase(root, lookalike)) {
            findings.Error(kRootField, what);
            return;
        }
    }
    findings.Warning(kRootField, what);
}

// Which lines read a limited field: the key-only field always, the value
// fields on value lines, the target where the line reads it.
bool ReadsLimitedField(const LineView& line, PackageField field) {
    if (field == kKeyOnlyField) return true;
    if (field == kTargetField) return line.ReadsField(kTargetField);
    return line.IsValueLine();
}

// How a key field's limit is counted for a root.
std::string KeyLimitScope(RootKind kind) {
    for (const RootRule& rule : kRootRules)
        if (rule.kind == kind)
            return ToUtf8(rule.marker) + (rule.takesClassesPrefix ? ", after a leading " + ToUtf8(kClassesBranch) : "");
    return "per-user lines, after a leading " + ToUtf8(kClassesBranch);
}

void CheckCapacities(const LineView& line, const Findings& findings) {
    TextView key = line.FieldText(kKeyField);
    if (line.record.classesKey == 1) key.remove_prefix(kClassesBranch.size());
    const std::size_t keyMax = KeyFieldLimit(line.record.rootKind);
    if (key.size() > keyMax)
        findings.Error(kKeyField, "key field is " + Number(key.size()) + " characters long; the format allows at most " +
                                      Number(keyMax) + " for " + KeyLimitScope(line.record.rootKind));
    for (const auto& limit : kFieldLimits) {
        const TextView text = line.FieldText(limit.field);
        if (ReadsLimitedField(line, limit.field) && text.size() > limit.max)
            findings.Error(limit.field, std::string(kPackageFieldNames[limit.field]) + " " + Quote(text, 40) + " is " +
                                            Number(text.size()) + " characters long; the format allows at most " +
                                            Number(limit.max));
    }
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

void CheckNumber(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine() || line.record.remove == 1 || line.ValueDataCutOff()) return;
    const std::uint32_t code = ValueTypeCode(line.record.typeName).value_or(0);
    if (const NumberWidth* number = NumberWidthOf(code)) {
        const std::size_t width = kFirstNumberDigit + number->digits;
        const TextView data = line.FieldText(kValueDataField);
        const std::string name = ToUtf8(RegistryTypeName(code));
        const std::string form =
            " (\"" + ToUtf8(kNumberPrefix) + "\" and " + std::to_string(number->digits) + " hex digits)";
        if (line.record.unencodable) {
            findings.Error(kValueDataField, name + " value data " + Quote(data) + " is " + Number(data.size()) +
                                           " characters, not " + Number(width) + form +
                                           ": no value will be set");
            return;
        }
        const TextView digits = data.substr(kFirstNumberDigit, number->digits);
        const bool allHex = std::all_of(digits.begin(), digits.end(), IsHexDigit);
        const std::uint64_t stored =
            number->bytes == 4 ? (line.record.number & 0xFFFFFFFFu) : line.record.number;
        if (data.size() > width || !allHex) {
            std::string why = data.size() > width
                                  ? " is " + Number(data.size()) + " characters, not " + Number(width) +
                                        form + "; only " + Quote(data.substr(0, width)) + " is read"
                                  : " has characters that are not hex digits";
            findings.Error(kValueDataField, name + " value data " + Quote(data) + why + ": " +
                                           Hex(stored, int(number->digits)) + " will be stored");
        }
        if (!EqualsIgnoreAsciiCase(data.substr(0, kFirstNumberDigit), kNumberPrefix))
            findings.Warning(kValueDataField, name + " value data " + Quote(data) + " does not begin with \"" +
                                                  ToUtf8(kNumberPrefix) + "\": its first two characters are not read");
    }
}

// "0a,ff": every comma-separated group two hex digits, at least two groups.
bool LooksLikeHexPairs(TextView data) {
    if (data.find(u',') == TextView::npos) return false;
    for (TextView group : [&] {
             std::vector<TextView> groups;
             while (true) {
                 const std::size_t cut = data.find(u',');
                 groups.push_back(data.substr(0, cut));
                 if (cut == TextView::npos) break;
                 data.remove_prefix(cut + 1);
             }
             return groups;
         }()) {
        if (group.size() != 2 || !IsHexDigit(group[0]) || !IsHexDigit(group[1])) return false;
    }
    return true;
}

std::string ByteList(const Bytes& bytes, std::size_t count, std::size_t max = 16) {
    std::string out;
    for (std::size_t i = 0; i < count && i < max; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    if (count > max) out += " ...";
    return out;
}

void CheckBinary(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine() || line.record.remove == 1 || line.ValueDataCutOff() ||
        ValueTypeCode(line.record.typeName) != kRegBinary)
        return;
    const TextView data = line.FieldText(kValueDataField);
    for (char16_t c : data) {
        if (c > 0xFF) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
            findings.Error(kValueDataField, ToUtf8(RegistryTypeName(kRegBinary)) + " value data has " +
                                                Quote(TextView(&c, 1)) + " (" + code +
                                                "), a character above U+00FF: no value will be set");
            return;
        }
    }
    const std::size_t characters =
        std::size_t(std::count_if(data.begin(), data.end(), [](char16_t c) { return c != kBinarySeparator; }));
    if (characters > kMaxBinaryLength)
        findings.Error(kValueDataField, ToUtf8(RegistryTypeName(kRegBinary)) + " value data is " + Number(characters) +
                                            " characters long once its commas are removed; the format allows at most " +
                                            Number(kMaxBinaryLength));
    if (LooksLikeHexPairs(data)) {
        Text pairs;
        for (char16_t c : data)
            if (c != u',') pairs.push_back(c >= u'a' && c <= u'f' ? char16_t(c - 32) : c);
        Text spaced;
        for (std::size_t i = 0; i < pairs.size(); i += 2) {
            if (!spaced.empty()) spaced += u' ';
            spaced += pairs.substr(i, 2);
        }
        findings.Warning(kValueDataField, ToUtf8(RegistryTypeName(kRegBinary)) + " value data " + Quote(data) +
                                              " looks like hex bytes, but each character is stored as its code: "
                                              "it stores " +
                                              ByteList(line.record.data, line.record.dataSize) + ", not " +
                                              ToUtf8(spaced));
    }
}

void CheckType(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine() || line.record.remove == 1) return;
    if (ValueTypeCode(line.record.typeName)) return;
    findings.Error(kTypeField, "type " + Quote(line.record.typeName) + " is not one of " + PackageTypeList() +
                                   ": nothing will be set");
}

void CheckRemovalMarker(const LineView& line, const Findings& findings) {
    // Fields 1 to 3 are never searched for the marker.
    if (line.record.remove != 1) {
        for (int field = kLeadingField; field <= kKeyField && std::size_t(field) <= line.Parts(); ++field) {
            if (ContainsIgnoreAsciiCase(line.Part(std::size_t(field)), kRemovalMarker)) {
                findings.Error(field, ToUtf8(kRemovalMarker) + " in the " + kPackageFieldNames[field] +
                                          " does not make a removal: the marker counts only from the "
                                          "key-only field on");
            }
        }
    }
    // Where the reader searches for the marker, it is matched in exact case.
    const std::size_t from = line.spans.markerFrom;
    const TextView rest = line.text.substr(from);
    if (line.record.remove != 1) {
        for (std::size_t i = 0; i + kRemovalMarker.size() <= rest.size(); ++i) {
            const TextView found = rest.substr(i, kRemovalMarker.size());
            if (EqualsIgnoreAsciiCase(found, kRemovalMarker)) {
                findings.Error(line.FieldAt(from + i), Quote(found) + " is not the removal marker, which is " +
                                                           ToUtf8(kRemovalMarker) +
                                                           " in capitals: the line is not a removal");
                break;
            }
        }
        return;
    }
    // A marker inside longer value data still makes the line a removal.
    const TextView data = line.FieldText(kValueDataField);
    if (line.IsValueLine() && data.find(kRemovalMarker) != TextView::npos && data != kRemovalMarker)
        findings.Warning(kValueDataField, "value data " + Quote(data) + " holds " + ToUtf8(kRemovalMarker) +
                                              ": the line is a removal, the value is deleted, not set");
}

bool IsBlankChar(char16_t c) { return c == u' ' || c == u'\t' || c == 0xA0 || c == 0x3000; }

void CheckKeyOnly(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine()) return;
    TextView field = line.FieldText(kKeyOnlyField);
    while (!field.empty() && IsBlankChar(field.front())) field.remove_prefix(1);
    while (!field.empty() && IsBlankChar(field.back())) field.remove_suffix(1);
    if (EqualsIgnoreAsciiCase(field, kKeyOnlyMark))
        findings.Error(kKeyOnlyField, "key-only field " + Quote(line.FieldText(kKeyOnlyField)) + " is not \"" +
                                          ToUtf8(kKeyOnlyMark) + "\" (spaces count): the line is a value line");
    // "True DELETE_REG": the marker makes a removal, but of a value.
    else if (line.record.remove == 1 && field.size() > kKeyOnlyMark.size() &&
             EqualsIgnoreAsciiCase(field.substr(0, kKeyOnlyMark.size()), kKeyOnlyMark))
        findings.Warning(kKeyOnlyField, "key-only field " + Quote(line.FieldText(kKeyOnlyField)) + " is not \"" +
                                            ToUtf8(kKeyOnlyMark) + "\": the line deletes the value " +
                                            (line.record.valueName.empty() ? std::string("(default)")
                                                                           : Quote(line.record.valueName)) +
                                            " of the key, not the key");
}

// Lines the pass can never apply: no key has that name, or Keymason refuses
// the removal wherever it lands.
void CheckLands(const LineView& line, const Findings& findings) {
    const PackageRecord& r = line.record;
    const std::string key = "key " + Quote(line.FieldText(kKeyField));
    if (KeyPathHasEmptyPart(r.keyPath))
        findings.Error(kKeyField, key + " has an empty part: no key has that name, so the line never lands");
    else if (r.keyOnly == 1 && r.remove == 1 && KeyRemovalRefusedAt(PlaceOf(r), Text(KeyBelowTop(r))))
        findings.Error(kKeyField, key + " is a root, a hive's top key or a classes store, which Keymason never "
                                        "removes: the line is refused");
}

void CheckTrailingText(const LineView& line, const Findings& findings) {
    const TextView trailing = line.Part(line.Parts());
    const int field = int(line.Separators()) + 1;
    if (trailing.empty() || field == kLeadingField || field > kValueDataField || !line.ReadsField(field)) return;
    std::string text =
        (field == kValueDataField ? std::string("value data ") : "field " + std::to_string(field) + " ") +
        Quote(trailing) + " has no \"" + ToUtf8(kFieldSeparator) + "\" after it: it is read as empty";
    if (field == kValueDataField) {
        const bool number = NumberWidthOf(ValueTypeCode(line.record.typeName).value_or(0)) != nullptr;
        text += number ? " and no value will be set" : " and empty value data will be stored";
    }
    findings.Error(field, text);
}

// Names that are not accounts with a profile of their own.
constexpr TextView kNotAccounts[] = {
    u"Administrators", u"Users", u"Everyone", u"Guests", u"Authenticated Users", u"SYSTEM",
    u"Default", u"Default User", u"Public", u"AllUsers", u"All User", u"CurrentUser", u"Current User",
};

}  // namespace

std::string WhyNotAnAccount(TextView name) {
    if (name.empty()) return "is empty";
    if (name.size() > kMaxAccountName)
        return "is longer than the " + std::to_string(kMaxAccountName) + " characters an account name can have";
    if (IsBlankChar(name.front()) || IsBlankChar(name.back())) return "begins or ends with a blank";
    if (std::all_of(name.begin(), name.end(), [](char16_t c) { return c == u'.' || c == u' '; }))
        return "is only dots and spaces";
    for (char16_t c : name)
        if (c < 0x20 || TextView(u"\"/\\[]:;|=,+*?<>@%").find(c) != TextView::npos)
            return "holds " + Quote(TextView(&c, 1)) + ", which no account name can";
    for (TextView other : kNotAccounts)
        if (EqualsIgnoreAsciiCase(name, other)) return "is a group or a built-in name, not an account with a profile";
    return std::string();
}

namespace {

void CheckTarget(const LineView& line, const Findings& findings) {
    if (line.record.rootKind != Users || !line.ReadsField(kTargetField)) return;
    const TextView target = line.record.target;
    if (!NeedsEveryProfile(target)) return;
    if (const std::string why = WhyNotAnAccount(target); !why.empty()) {
        findings.Error(kTargetField, "target " + Quote(target) + " names no profile group (" + GroupTargetList() +
                                         ") and no likely account (it " + why + "): the line reaches no profile");
        return;
    }
    // One account's profile is prepared only when the package selects every profile.
    if (SelectsEveryProfile(line.packageGroups)) return;
    findings.Error(kTargetField, "target " + Quote(target) +
                                     " names one account; its profile is prepared only when the package also "
                                     "has per-user lines for " +
                                     ToUtf8(kAllUsersTarget) + ", and this one has none: the line reaches no profile");
}

// The pass refuses such a line outright: the registry would read the name only
// up to the NUL and act on another key or value.
void CheckNul(const LineView& line, const Findings& findings) {
    const char* refused = ": the line is refused, as the registry would stop reading the name there";
    if (line.record.keyPath.find(u'\0') != Text::npos)
        findings.Error(kKeyField, "key field holds a NUL character" + std::string(refused));
    else if (ValueNameHoldsNul(line.record))
        findings.Error(kValueNameField, "value name holds a NUL character" + std::string(refused));
}

using LineRule = void (*)(const LineView&, const Findings&);
constexpr LineRule kLineRules[] = {
    CheckTrailingText, CheckRoot, CheckCapacities, CheckNumber, CheckBinary, CheckType,
    CheckRemovalMarker, CheckKeyOnly, CheckTarget, CheckNul, CheckLands,
};

// ---- The file as a whole. ----

struct ByteOrderMark {
    std::string_view bytes;
    const char* text;
};
// Marks the reader does not take for what they say. FF FE 00 00 (UTF-32LE)
// comes before the UTF-16LE mark it starts with.
constexpr ByteOrderMark kMisreadMarks[] = {
    {std::string_view("\xFF\xFE\x00\x00", 4),
     "byte-order mark FF FE 00 00 (UTF-32 little-endian): the file is read as UTF-16 little-endian"},
    {std::string_view("\x00\x00\xFE\xFF", 4),
     "byte-order mark 00 00 FE FF (UTF-32 big-endian) is not honoured: the file is read as UTF-8"},
    {"\xFE\xFF", "byte-order mark FE FF (UTF-16 big-endian) is not honoured: the file is read as UTF-8"},
};

// Text in UTF-16LE without a mark: zero high bytes where UTF-8 has none.
bool LooksLikeUnmarkedUtf16(std::string_view bytes) {
    if (bytes.size() < 4) return false;
    std::size_t zeros = 0, pairs = std::min<std::size_t>(bytes.size() / 2, 256);
    for (std::size_t i = 0; i < pairs; ++i)
        if (bytes[2 * i + 1] == 0 && bytes[2 * i] != 0) ++zeros;
    return zeros * 2 > pairs;
}

void LintLine(const LineView& line, const FirstBadByte& bad, const Findings& findings) {
    // Separators are ASCII and a bad sequence never takes one in: the bad
    // byte lies in the field its U+FFFD does.
    if (bad.byte != kNoBadByte)
        findings.Error(line.FieldAt(bad.unit), "bytes that are not valid UTF-8 at byte " + Number(bad.byte + 1) +
                                                   " of the line: each bad sequence is read as U+FFFD");
    // A carriage return alone ends no line: the line after it is read as this one's tail.
    if (const std::size_t cr = line.text.find(u'\r');
        cr != TextView::npos && line.text.find(kFieldSeparator, cr) != TextView::npos)
        findings.Error(line.FieldAt(cr), "a carriage return without a line feed does not end a line: what follows "
                                         "it is read as part of this line, not as a line of its own");
    if (line.text.empty()) {
        findings.Warning(kLeadingField, "empty line: it is read as a per-user line that changes nothing");
        return;
    }
    if (line.Separators() == 0) {
        findings.Warning(kLeadingField, "line without any \"" + ToUtf8(kFieldSeparator) +
                                            "\": it is read as an empty per-user line");
        return;
    }
    for (LineRule rule : kLineRules) rule(line, findings);
}

}  // namespace

std::vector<Finding> LintPackage(std::string_view bytes) {
    // Every line would be misread: nothing more is worth saying.
    for (const ByteOrderMark& mark : kMisreadMarks)
        if (bytes.substr(0, mark.bytes.size()) == mark.bytes) return {Finding{1, 1, Severity::Error, mark.text}};
    const PackageContents package = ParsePackage(bytes);
    const PackageLines& lines = package.lines;
    if (lines.MarkBytes() == 0 && LooksLikeUnmarkedUtf16(bytes))
        return {Finding{1, 1, Severity::Error, "the file looks like UTF-16 without a byte-order mark: it is read as UTF-8"}};
    std::vector<Finding> diagnostics;
    if (lines.UnreadBytes() > 0)
        diagnostics.push_back(
            Finding{1, 1, Severity::Warning, "UTF-16 file of an odd number of bytes: its last byte is not read"});

    RecordReader reader(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        FirstBadByte bad;
        const PackageRecord& record = reader.Read(i, &bad);
        const LineView line{reader.LineText(), CutLine(reader.LineText()), record, package.targetGroups};
        LintLine(line, bad, Findings{int(i) + 1, &diagnostics});
    }
    std::stable_sort(diagnostics.begin(), diagnostics.end(), [](const Finding& a, const Finding& b) {
        return a.line != b.line ? a.line < b.line : a.field < b.field;
    });
    return diagnostics;
}

std::string FormatFinding(const std::string& package, const Finding& d) {
    return package + ":" + std::to_string(d.line) + ":" + std::to_string(d.field) + ": " +
           (d.severity == Severity::Error ? "error" : "warning") + ": " + d.text;
}

int LintExitCode(const std::vector<Finding>& diagnostics) {
    int code = 0;
    for (const Finding& d : diagnostics) code = std::max(code, d.severity == Severity::Error ? 2 : 1);
    return code;
}

}  // namespace km::toolkit
