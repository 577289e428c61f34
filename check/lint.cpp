#include "check/lint.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "check/text_codec.h"
#include "engine/package_file.h"
#include "engine/record_parser.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"
#include "platform/text.h"

namespace km::check {

namespace {

constexpr TextView kSeparator = u"*@*";
constexpr TextView kRemovalMarker = u"DELETE_REG";

// Field positions of a package line.
enum Field : int { kLeading = 1, kRoot, kKey, kKeyOnly, kValueName, kType, kApplyTo, kValueData, kRest };

// Quoted for a message; long texts are cut, control characters shown by code.
std::string Quote(TextView text, std::size_t max = 60) {
    std::string out = "\"";
    const bool cut = text.size() > max;
    if (cut) text = text.substr(0, max);
    for (char16_t c : text) {
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(c));
            out += buf;
        } else {
            out += ToUtf8(TextView(&c, 1));
        }
    }
    return out + (cut ? "...\"" : "\"");
}

std::string Number(std::size_t n) { return std::to_string(n); }

std::string Hex(std::uint64_t value, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

struct Findings {
    int line;
    std::vector<Diagnostic>* out;
    void Add(int field, Severity severity, std::string text) const {
        out->push_back(Diagnostic{line, field, severity, std::move(text)});
    }
    void Error(int field, std::string text) const { Add(field, Severity::Error, std::move(text)); }
    void Warning(int field, std::string text) const { Add(field, Severity::Warning, std::move(text)); }
};

// Everything the rules need to know about one line.
struct LineView {
    TextView text;
    std::vector<TextView> pieces;  // split at every separator; the last one has none after it
    PackageRecord record;          // as the program's parser reads the line
    std::uint8_t packageGroups = 0;  // the target groups of the whole package

    std::size_t Separators() const { return pieces.size() - 1; }
    // A field as the parser reads it: text after the last separator is no field.
    TextView FieldText(int field) const {
        return std::size_t(field) <= Separators() ? pieces[std::size_t(field) - 1] : TextView();
    }
    bool IsValueLine() const { return record.keyOnly != 1; }
    // Value data that no separator follows: the parser reads it as empty.
    bool ValueDataCutOff() const { return Separators() + 1 == std::size_t(kValueData) && !pieces.back().empty(); }
    bool ReadsField(int field) const {
        if (field == kRoot || field == kKey || field == kKeyOnly) return true;
        if (IsValueLine()) return field >= kValueName && field <= kValueData;
        return field == kApplyTo && record.rootKind == Users;
    }
    // The field in which a position of the line lies.
    int FieldAt(std::size_t position) const {
        std::size_t start = 0;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            start += pieces[i].size() + kSeparator.size();
            if (position < start) return std::min(int(i) + 1, int(kRest));
        }
        return std::min(int(pieces.size()), int(kRest));
    }
};

std::vector<TextView> SplitFields(TextView line) {
    std::vector<TextView> pieces;
    while (true) {
        const std::size_t cut = line.find(kSeparator);
        pieces.push_back(line.substr(0, cut));
        if (cut == TextView::npos) break;
        line.remove_prefix(cut + kSeparator.size());
    }
    return pieces;
}

// ---- The rules, one a function. ----

struct MachineRootLookalike {
    TextView text;  // found with ASCII case ignored
};
constexpr MachineRootLookalike kMachineRootLookalikes[] = {
    {u"HKEY_LOCAL_MACHINE"}, {u"HKEY_CLASSES_ROOT"}, {u"HKLM"}, {u"HKCR"},
};
// Roots that name the per-user branch as the author meant it.
constexpr TextView kPerUserRoots[] = {u"HKEY_CURRENT_USER", u"HKEY_USERS"};

void CheckRoot(const LineView& line, const Findings& findings) {
    if (line.record.rootKind != Users) return;
    const TextView root = line.FieldText(kRoot);
    for (TextView perUser : kPerUserRoots)
        if (root.find(perUser) != TextView::npos) return;
    const std::string what = "root " + Quote(root) +
                             " is not one of the three machine roots (HKEY_LOCAL_MACHINE\\SOFTWARE, "
                             "HKEY_LOCAL_MACHINE\\SYSTEM, HKEY_CLASSES_ROOT, matched in exact case): "
                             "the line is per-user and is written below HKEY_USERS for each targeted profile";
    for (const auto& lookalike : kMachineRootLookalikes) {
        if (ContainsIgnoreAsciiCase(root, lookalike.text)) {
            findings.Error(kRoot, what);
            return;
        }
    }
    findings.Warning(kRoot, what);
}

struct Capacity {
    int field;
    const char* name;
    std::size_t max;
    bool (*applies)(const LineView&);
};

bool Always(const LineView&) { return true; }
bool OnValueLines(const LineView& line) { return line.IsValueLine(); }
bool WhereTargetIsRead(const LineView& line) { return line.ReadsField(kApplyTo); }

constexpr Capacity kCapacities[] = {
    {kKeyOnly, "key-only field", 31, Always},
    {kValueName, "value name", 259, OnValueLines},
    {kType, "type", 31, OnValueLines},
    {kApplyTo, "apply-to field", 20, WhereTargetIsRead},
};

struct KeyCapacity {
    RootKind kind;
    std::size_t max;
    const char* rootText;
};
constexpr KeyCapacity kKeyCapacities[] = {
    {MachineSoftware, 250, "HKEY_LOCAL_MACHINE\\SOFTWARE"},
    {MachineSystem, 252, "HKEY_LOCAL_MACHINE\\SYSTEM"},
    {ClassesRoot, 259, "HKEY_CLASSES_ROOT, after a leading Software\\Classes\\"},
    {Users, 259, "per-user lines, after a leading Software\\Classes\\"},
};

void CheckCapacities(const LineView& line, const Findings& findings) {
    for (const KeyCapacity& capacity : kKeyCapacities) {
        if (capacity.kind != line.record.rootKind) continue;
        TextView key = line.FieldText(kKey);
        if (line.record.classesKey == 1) key.remove_prefix(kClassesBranch.size());
        if (key.size() > capacity.max)
            findings.Error(kKey, "key field is " + Number(key.size()) +
                                     " characters long; the format allows at most " +
                                     Number(capacity.max) + " for " + capacity.rootText);
    }
    for (const Capacity& capacity : kCapacities) {
        const TextView text = line.FieldText(capacity.field);
        if (capacity.applies(line) && text.size() > capacity.max)
            findings.Error(capacity.field, std::string(capacity.name) + " " + Quote(text, 40) + " is " +
                                               Number(text.size()) +
                                               " characters long; the format allows at most " +
                                               Number(capacity.max));
    }
}

struct NumberType {
    TextView typeName;
    std::size_t width;  // "0x" and the digits
    int digits;
};
constexpr NumberType kNumberTypes[] = {{u"REG_DWORD", 10, 8}, {u"REG_QWORD", 18, 16}};

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

void CheckNumber(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine() || line.record.remove == 1 || line.ValueDataCutOff()) return;
    for (const NumberType& type : kNumberTypes) {
        if (!EqualsIgnoreAsciiCase(line.record.typeName, type.typeName)) continue;
        const TextView data = line.FieldText(kValueData);
        const std::string name = ToUtf8(type.typeName);
        const std::string form = " (\"0x\" and " + std::to_string(type.digits) + " hex digits)";
        if (line.record.unencodable) {
            findings.Error(kValueData, name + " value data " + Quote(data) + " is " + Number(data.size()) +
                                           " characters, not " + Number(type.width) + form +
                                           ": no value will be set");
            return;
        }
        const TextView digits = data.substr(2, type.width - 2);
        const bool allHex = std::all_of(digits.begin(), digits.end(), IsHexDigit);
        const std::uint64_t stored =
            type.digits == 8 ? (line.record.number & 0xFFFFFFFFu) : line.record.number;
        if (data.size() > type.width || !allHex) {
            std::string why = data.size() > type.width
                                  ? " is " + Number(data.size()) + " characters, not " + Number(type.width) +
                                        form + "; only " + Quote(data.substr(0, type.width)) + " is read"
                                  : " has characters that are not hex digits";
            findings.Error(kValueData, name + " value data " + Quote(data) + why + ": " +
                                           Hex(stored, type.digits) + " will be stored");
        }
        if (!EqualsIgnoreAsciiCase(data.substr(0, 2), u"0x"))
            findings.Warning(kValueData, name + " value data " + Quote(data) +
                                             " does not begin with \"0x\": its first two characters are not read");
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
        !EqualsIgnoreAsciiCase(line.record.typeName, u"REG_BINARY"))
        return;
    const TextView data = line.FieldText(kValueData);
    for (char16_t c : data) {
        if (c > 0xFF) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
            findings.Error(kValueData, "REG_BINARY value data has " + Quote(TextView(&c, 1)) + " (" + code +
                                           "), a character above U+00FF: no value will be set");
            return;
        }
    }
    const std::size_t characters = std::size_t(std::count_if(data.begin(), data.end(), [](char16_t c) { return c != u','; }));
    if (characters > 259)
        findings.Error(kValueData, "REG_BINARY value data is " + Number(characters) +
                                       " characters long once its commas are removed; the format allows at most 259");
    if (LooksLikeHexPairs(data)) {
        Text pairs;
        for (char16_t c : data)
            if (c != u',') pairs.push_back(c >= u'a' && c <= u'f' ? char16_t(c - 32) : c);
        Text spaced;
        for (std::size_t i = 0; i < pairs.size(); i += 2) {
            if (!spaced.empty()) spaced += u' ';
            spaced += pairs.substr(i, 2);
        }
        findings.Warning(kValueData, "REG_BINARY value data " + Quote(data) +
                                         " looks like hex bytes, but each character is stored as its code: "
                                         "it stores " + ByteList(line.record.data, line.record.dataSize) +
                                         ", not " + ToUtf8(spaced));
    }
}

void CheckType(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine() || line.record.remove == 1) return;
    if (ValueTypeCode(line.record.typeName)) return;
    findings.Error(kType, "type " + Quote(line.record.typeName) +
                              " is not one of REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_QWORD, "
                              "REG_MULTI_SZ: nothing will be set");
}

constexpr const char* kFieldNames[] = {"", "leading field", "root field", "key field"};

void CheckRemovalMarker(const LineView& line, const Findings& findings) {
    // Fields 1 to 3 are never searched for the marker.
    if (line.record.remove != 1) {
        for (int field = kLeading; field <= kKey && std::size_t(field) <= line.pieces.size(); ++field) {
            if (ContainsIgnoreAsciiCase(line.pieces[std::size_t(field) - 1], kRemovalMarker)) {
                findings.Error(field, std::string("DELETE_REG in the ") + kFieldNames[field] +
                                          " does not make a removal: the marker counts only from the "
                                          "key-only field on");
            }
        }
    }
    // From field 4 on the marker is matched in exact case; a line with fewer
    // fields has nothing there to look at.
    std::size_t from = line.text.size();
    if (line.Separators() >= std::size_t(kKeyOnly - 1)) {
        from = 0;
        for (int field = kLeading; field < kKeyOnly; ++field)
            from += line.pieces[std::size_t(field) - 1].size() + kSeparator.size();
    }
    const TextView rest = line.text.substr(std::min(from, line.text.size()));
    if (line.record.remove != 1) {
        for (std::size_t i = 0; i + kRemovalMarker.size() <= rest.size(); ++i) {
            const TextView found = rest.substr(i, kRemovalMarker.size());
            if (EqualsIgnoreAsciiCase(found, kRemovalMarker)) {
                findings.Error(line.FieldAt(from + i), Quote(found) +
                                                           " is not the removal marker, which is DELETE_REG in "
                                                           "capitals: the line is not a removal");
                break;
            }
        }
        return;
    }
    // A marker inside longer value data still makes the line a removal.
    const TextView data = line.FieldText(kValueData);
    if (line.IsValueLine() && data.find(kRemovalMarker) != TextView::npos && data != kRemovalMarker)
        findings.Warning(kValueData, "value data " + Quote(data) +
                                         " holds DELETE_REG: the line is a removal, the value is deleted, not set");
}

bool IsBlankChar(char16_t c) { return c == u' ' || c == u'\t' || c == 0xA0 || c == 0x3000; }

void CheckKeyOnly(const LineView& line, const Findings& findings) {
    if (!line.IsValueLine()) return;
    TextView field = line.FieldText(kKeyOnly);
    while (!field.empty() && IsBlankChar(field.front())) field.remove_prefix(1);
    while (!field.empty() && IsBlankChar(field.back())) field.remove_suffix(1);
    if (EqualsIgnoreAsciiCase(field, u"True"))
        findings.Error(kKeyOnly, "key-only field " + Quote(line.FieldText(kKeyOnly)) +
                                     " is not \"True\" (spaces count): the line is a value line");
}

void CheckTrailingText(const LineView& line, const Findings& findings) {
    const TextView trailing = line.pieces.back();
    const int field = int(line.Separators()) + 1;
    if (trailing.empty() || field == kLeading || field > kValueData || !line.ReadsField(field)) return;
    std::string text = (field == kValueData ? std::string("value data ") : "field " + std::to_string(field) + " ") +
                       Quote(trailing) + " has no \"*@*\" after it: it is read as empty";
    if (field == kValueData) {
        const bool number = EqualsIgnoreAsciiCase(line.record.typeName, u"REG_DWORD") ||
                            EqualsIgnoreAsciiCase(line.record.typeName, u"REG_QWORD");
        text += number ? " and no value will be set" : " and empty value data will be stored";
    }
    findings.Error(field, text);
}

// Names that are not accounts with a profile of their own.
constexpr TextView kNotAccounts[] = {
    u"Administrators", u"Users", u"Everyone", u"Guests", u"Authenticated Users", u"SYSTEM",
    u"Default", u"Default User", u"Public", u"AllUsers", u"All User", u"CurrentUser", u"Current User",
};
constexpr TextView kGroupTargets[] = {u"All Users", u"Administrator", u"User"};

bool IsLikelyAccount(TextView name) {
    if (name.empty() || name.size() > 20) return false;
    if (IsBlankChar(name.front()) || IsBlankChar(name.back())) return false;
    if (std::all_of(name.begin(), name.end(), [](char16_t c) { return c == u'.' || c == u' '; })) return false;
    for (char16_t c : name)
        if (c < 0x20 || TextView(u"\"/\\[]:;|=,+*?<>@%").find(c) != TextView::npos) return false;
    for (TextView other : kNotAccounts)
        if (EqualsIgnoreAsciiCase(name, other)) return false;
    return true;
}

constexpr std::uint8_t kAllUserHives = 0x03;
constexpr std::uint8_t kAllClassesHives = 0x30;

void CheckTarget(const LineView& line, const Findings& findings) {
    if (line.record.rootKind != Users || !line.ReadsField(kApplyTo)) return;
    const TextView target = line.record.target;
    for (TextView group : kGroupTargets)
        if (EqualsIgnoreAsciiCase(target, group)) return;
    if (!IsLikelyAccount(target)) {
        findings.Error(kApplyTo, "target " + Quote(target) +
                                     " names no profile group (All Users, Administrator, User) and no likely "
                                     "account: the line reaches no profile");
        return;
    }
    // One account's profile is prepared only when the package selects every profile.
    const std::uint8_t groups = line.packageGroups;
    if ((groups & kAllUserHives) == kAllUserHives || (groups & kAllClassesHives) == kAllClassesHives) return;
    findings.Error(kApplyTo, "target " + Quote(target) +
                                 " names one account; its profile is prepared only when the package also "
                                 "has per-user lines for All Users, and this one has none: the line reaches "
                                 "no profile");
}

using LineRule = void (*)(const LineView&, const Findings&);
constexpr LineRule kLineRules[] = {
    CheckTrailingText, CheckRoot, CheckCapacities, CheckNumber, CheckBinary, CheckType,
    CheckRemovalMarker, CheckKeyOnly, CheckTarget,
};

// ---- The file as a whole. ----

struct ByteOrderMark {
    std::string_view bytes;
    const char* text;  // empty: honoured
};
// Longest first: FF FE 00 00 is UTF-32LE, not UTF-16LE followed by a zero.
constexpr ByteOrderMark kByteOrderMarks[] = {
    {std::string_view("\xFF\xFE\x00\x00", 4),
     "byte-order mark FF FE 00 00 (UTF-32 little-endian): the file is read as UTF-16 little-endian"},
    {std::string_view("\x00\x00\xFE\xFF", 4),
     "byte-order mark 00 00 FE FF (UTF-32 big-endian) is not honoured: the file is read as UTF-8"},
    {"\xEF\xBB\xBF", ""},
    {"\xFF\xFE", ""},
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

// Bad UTF-8, line by line, as the program splits lines.
void CheckUtf8Lines(std::string_view bytes, const std::vector<LineView>& lines, std::vector<Diagnostic>* out) {
    std::size_t start = 0;
    for (std::size_t index = 0; start < bytes.size() && index < lines.size(); ++index) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view raw = bytes.substr(start, end - start);
        if (!raw.empty() && raw.back() == '\r' && end < bytes.size()) raw.remove_suffix(1);
        const Utf8Decoded decoded = DecodeUtf8(raw);
        if (!decoded.valid) {
            // Separators are ASCII: counting them in the bytes gives the field.
            int field = 1;
            for (std::size_t at = raw.find("*@*"); at != std::string_view::npos && at + 3 <= decoded.firstBadByte;
                 at = raw.find("*@*", at + 3))
                ++field;
            out->push_back(Diagnostic{int(index) + 1, std::min(field, int(kRest)), Severity::Error,
                                      "bytes that are not valid UTF-8 at byte " +
                                          Number(decoded.firstBadByte + 1) +
                                          " of the line: each bad sequence is read as U+FFFD"});
        }
        start = end + 1;
    }
}

}  // namespace

std::vector<Diagnostic> LintPackage(std::string_view bytes) {
    std::vector<Diagnostic> diagnostics;
    for (const ByteOrderMark& mark : kByteOrderMarks) {
        if (bytes.substr(0, mark.bytes.size()) != mark.bytes) continue;
        if (*mark.text) {
            diagnostics.push_back(Diagnostic{1, 1, Severity::Error, mark.text});
            return diagnostics;  // every line would be misread: nothing more is worth saying
        }
        break;
    }
    const bool utf16 = bytes.substr(0, 2) == "\xFF\xFE";
    if (!utf16 && bytes.substr(0, 3) != "\xEF\xBB\xBF" && LooksLikeUnmarkedUtf16(bytes)) {
        diagnostics.push_back(Diagnostic{1, 1, Severity::Error,
                                         "the file looks like UTF-16 without a byte-order mark: it is read as UTF-8"});
        return diagnostics;
    }
    if (utf16 && bytes.size() % 2 != 0)
        diagnostics.push_back(Diagnostic{1, 1, Severity::Warning,
                                         "UTF-16 file of an odd number of bytes: its last byte is not read"});

    std::vector<Text> texts;
    SplitPackageLines(bytes, [&](TextView line) { texts.emplace_back(line); });
    std::vector<LineView> lines(texts.size());
    std::uint8_t groups = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        lines[i].text = texts[i];
        lines[i].pieces = SplitFields(texts[i]);
        lines[i].record = ParseRecordLine(texts[i], groups);
    }
    if (!utf16) {
        const std::size_t skip = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
        CheckUtf8Lines(bytes.substr(skip), lines, &diagnostics);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        LineView& line = lines[i];
        line.packageGroups = groups;
        const Findings findings{int(i) + 1, &diagnostics};
        if (line.text.empty()) {
            findings.Warning(kLeading, "empty line: it is read as a per-user line that changes nothing");
            continue;
        }
        if (line.Separators() == 0) {
            findings.Warning(kLeading, "line without any \"*@*\": it is read as an empty per-user line");
            continue;
        }
        for (LineRule rule : kLineRules) rule(line, findings);
    }
    std::stable_sort(diagnostics.begin(), diagnostics.end(), [](const Diagnostic& a, const Diagnostic& b) {
        return a.line != b.line ? a.line < b.line : a.field < b.field;
    });
    return diagnostics;
}

std::string FormatDiagnostic(const std::string& package, const Diagnostic& d) {
    return package + ":" + std::to_string(d.line) + ":" + std::to_string(d.field) + ": " +
           (d.severity == Severity::Error ? "error" : "warning") + ": " + d.text;
}

int LintExitCode(const std::vector<Diagnostic>& diagnostics) {
    int code = 0;
    for (const Diagnostic& d : diagnostics) code = std::max(code, d.severity == Severity::Error ? 2 : 1);
    return code;
}

}  // namespace km::check
