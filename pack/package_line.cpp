#include "pack/package_line.h"

#include <cstdio>
#include <optional>

#include "toolkit/lint.h"
#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/package_language.h"
#include "platform/registry_case.h"
#include "platform/registry_limits.h"
#include "platform/text.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"

namespace km::pack {

namespace {

bool PerUser(Place place) { return PlaceRuleOf(place).kind == Users; }

// A field's text, or why the change cannot be written.
struct Field {
    Text text;
    std::string refusal;
};
Field Refuse(std::string why) { return Field{Text(), std::move(why)}; }

bool HoldsLoneSurrogate(TextView text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

enum class Nul { Allowed, Refused };

// What no field can hold: the separator cuts it (or, at its end, the one after
// it cuts it early), the marker turns a line into
// a removal (and keymason-check calls it an error in any letter case), a line
// break ends the line, UTF-8 has no form for a lone surrogate; and a name with
// a NUL would name something else, as the registry stops there.
std::string CheckText(const std::string& what, TextView text, bool removal, Nul nul) {
    if (text.find(kFieldSeparator) != TextView::npos)
        return what + " holds the field separator " + ToUtf8(kFieldSeparator);
    // A field ending in the separator's start makes one with the separator after it.
    const std::size_t early = (Text(text) += kFieldSeparator).find(kFieldSeparator);
    if (early < text.size())
        return what + " ends in " + ToUtf8(text.substr(early)) + ", which the field separator " +
               ToUtf8(kFieldSeparator) + " after it would read as one";
    if (!removal && ContainsIgnoreAsciiCase(text, kRemovalMarker))
        return what + " holds the removal marker " + ToUtf8(kRemovalMarker);
    if (text.find_first_of(u"\r\n") != TextView::npos) return what + " holds a line break";
    if (HoldsLoneSurrogate(text)) return what + " holds a lone surrogate, which UTF-8 cannot carry";
    if (nul == Nul::Refused && text.find(u'\0') != TextView::npos)
        return what + " holds a NUL, where the registry would end it";
    return std::string();
}

Text UnitsOf(const Bytes& data) {
    Text units(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    return units;
}

std::string SizeText(std::size_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// The reader stores the text and one zero unit after it.
Field TextData(const Bytes& data) {
    if (data.size() % 2 != 0) return Refuse("a string of an odd size (" + SizeText(data.size()) + ")");
    const Text units = UnitsOf(data);
    if (units.empty() || units.back() != u'\0')
        return Refuse("a string stored without its terminator");
    Text text = units.substr(0, units.size() - 1);
    std::string why = CheckText("the string", text, false, Nul::Allowed);
    return Field{std::move(text), std::move(why)};
}

std::string MultiName() { return ToUtf8(RegistryTypeName(kRegMultiSz)); }

// The reader stores the text with each line-break mark made CR LF, and no
// terminator: only such bytes can be written.
Field MultiTextData(const Bytes& data) {
    if (data.size() % 2 != 0)
        return Refuse("a " + MultiName() + " of an odd size (" + SizeText(data.size()) + ")");
    const Text units = UnitsOf(data);
    if (units.find(kLineBreakMark) != Text::npos)
        return Refuse("a " + MultiName() + " holding " + ToUtf8(kLineBreakMark) + " as text");
    Text field;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = units.find(kCrLf, pos)) != Text::npos; pos = hit + kCrLf.size())
        field.append(units, pos, hit - pos).append(kLineBreakMark);
    field.append(units, pos, Text::npos);
    if (field.find_first_of(u"\r\n") != Text::npos)
        return Refuse("a " + MultiName() + " holding a line break other than CR LF");
    std::string why = CheckText("the " + MultiName(), field, false, Nul::Allowed);
    return Field{std::move(field), std::move(why)};
}

// One character per byte; the reader drops commas.
Field BinaryData(const Bytes& data) {
    Text field;
    for (std::uint8_t byte : data) {
        if (byte == kBinarySeparator) return Refuse("binary data holding a comma byte (2c), which the reader drops");
        if (byte == '\r' || byte == '\n') return Refuse("binary data holding a line break byte (0a or 0d)");
        field.push_back(char16_t(byte));
    }
    std::string why = CheckText("the binary data", field, false, Nul::Allowed);
    return Field{std::move(field), std::move(why)};
}

// "0x" and the number in exactly 4 or 8 bytes' worth of hex digits.
Field NumberData(const Bytes& data, std::uint32_t type, const NumberWidth& width) {
    if (data.size() != width.bytes)
        return Refuse("a " + ToUtf8(RegistryTypeName(type)) + " of " + SizeText(data.size()) +
                      "; a package line sets exactly " + SizeText(width.bytes));
    std::string hex = ToUtf8(kNumberPrefix);
    for (std::size_t i = width.bytes; i-- > 0;) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        hex += digits;
    }
    return Field{Widen(hex), std::string()};
}

Field DataField(std::uint32_t type, const Bytes& data) {
    if (const NumberWidth* width = NumberWidthOf(type)) return NumberData(data, type, *width);
    switch (type) {
        case kRegSz:
        case kRegExpandSz: return TextData(data);
        case kRegMultiSz: return MultiTextData(data);
        case kRegBinary: return BinaryData(data);
        default: return Refuse("type " + std::to_string(type) + " has no package name");
    }
}

// The key field, as the reader turns it back into the change's key.
Field KeyField(const Change& change) {
    const bool removal = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    std::string why = CheckText("the key", change.key, removal, Nul::Refused);
    if (!why.empty()) return Refuse(why);
    if (KeyPathHasEmptyPart(change.key)) return Refuse("the key has an empty part");
    const bool classesPrefixed = TextView(change.key).substr(0, kClassesBranch.size()) == kClassesBranch;
    // The registry follows the link in any letter case, where the reader's
    // prefix is exact.
    const TextView head = TextView(change.key).substr(0, kClassesBranch.size());
    const bool reachesClasses =
        SameRegistryName(head, kClassesBranch) || SameRegistryName(change.key, kClassesKeyPath);
    switch (change.place) {
        case Place::ClassesRoot:
            // The reader drops the prefix once.
            return Field{classesPrefixed ? Text(kClassesBranch) + change.key : change.key, std::string()};
        case Place::UserHive:
            if (reachesClasses)
                return Refuse("a key at or below Software\\Classes in a user's own hive: a package line "
                              "reaches the user's classes hive there");
            return Field{change.key, std::string()};
        case Place::UserClasses:
            return Field{Text(kClassesBranch) + change.key, std::string()};
        default:
            return Field{change.key, std::string()};
    }
}

Text AssembleLine(const Change& change, const Text& keyField, const Text& dataField) {
    LineFields fields;
    fields.rootField = RootRuleOf(change.place).marker;
    fields.keyField = keyField;
    fields.keyOnly = change.kind == ChangeKind::CreateKey || change.kind == ChangeKind::RemoveKey;
    fields.remove = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    fields.valueName = change.valueName;
    fields.typeName = fields.remove ? RegistryTypeName(kRemovalLineType) : ValueTypeName(change.type);
    fields.target = PerUser(change.place) ? TextView(change.target) : kAllUsersTarget;
    fields.valueData = dataField;
    return WriteLineText(fields);
}

// The group anchor: an All Users value removal in a key that exists nowhere.
Text AnchorLine(Place place) {
    constexpr TextView kAnchorKey = u"Keymason Group Anchor";
    Change anchor;
    anchor.kind = ChangeKind::RemoveValue;
    anchor.place = place;
    anchor.key = Text(kAnchorKey);
    anchor.valueName = anchor.key;
    return AssembleLine(anchor, KeyField(anchor).text, Text());
}

// Reads the line back as Keymason reads a package held in memory.
bool ReadsBackAs(const Change& change, const std::string& line) {
    const PackageContents read = ParsePackage(line);
    if (read.result != PackageReadResult::Opened || read.lines.size() != 1) return false;
    RecordReader reader(read.lines);
    const PackageRecord& r = reader.Read(0);
    const bool keyOnly = change.kind == ChangeKind::CreateKey || change.kind == ChangeKind::RemoveKey;
    const bool remove = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    if (PlaceOf(r) != change.place || r.rootKey != PlaceRuleOf(change.place).root || KeyBelowTop(r) != change.key ||
        r.keyOnly != (keyOnly ? 1 : 0) || r.remove != (remove ? 1 : 0))
        return false;
    if (PerUser(change.place) && r.target != change.target) return false;
    if (keyOnly) return true;
    if (r.valueName != change.valueName) return false;
    if (remove) return true;
    // What the pass would hand RegSetValueExW for it.
    const std::optional<ValueToSet> set = ValueSetBy(r);
    return set && set->type == change.type &&
           Bytes(set->Data(), set->Data() + set->size) == change.data;
}

// The first error lint finds in the line's own fields, if any: a line for
// one account needs an All Users line somewhere in its package, which is the
// package's concern, not the line's.
std::optional<std::string> LintError(const std::string& line) {
    const std::string withGroup = line + ToUtf8(AnchorLine(Place::UserHive));
    for (const toolkit::Finding& d : toolkit::LintPackage(withGroup))
        if (d.line == 1 && d.severity == toolkit::Severity::Error) return d.text;
    return std::nullopt;
}

}  // namespace

LineResult WritePackageLine(const Change& change) {
    LineResult result;
    const bool removal = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    const Field key = KeyField(change);
    if (!key.refusal.empty()) return LineResult{false, std::string(), key.refusal};
    if (change.kind == ChangeKind::RemoveKey && KeyRemovalRefusedAt(change.place, change.key))
        return LineResult{false, std::string(),
                          "Keymason never removes a root, a hive's top key or a classes store"};
    if (PerUser(change.place)) {
        const std::string why = CheckText("the target", change.target, removal, Nul::Refused);
        if (!why.empty()) return LineResult{false, std::string(), why};
    }
    Field data;
    if (change.kind == ChangeKind::SetValue || change.kind == ChangeKind::RemoveValue) {
        const std::string why = CheckText("the value name", change.valueName, removal, Nul::Refused);
        if (!why.empty()) return LineResult{false, std::string(), why};
    }
    if (change.kind == ChangeKind::SetValue) {
        data = DataField(change.type, change.data);
        if (!data.refusal.empty()) return LineResult{false, std::string(), data.refusal};
    }
    result.line = ToUtf8(AssembleLine(change, key.text, data.text));
    // A limit of the format (a field's length) is lint's to name.
    if (const std::optional<std::string> error = LintError(result.line))
        return LineResult{false, std::string(), *error};
    // The rules above are the whole list; reading the line back is the proof.
    if (!ReadsBackAs(change, result.line))
        return LineResult{false, std::string(), "the line would not be read back as the change"};
    result.written = true;
    return result;
}

std::string GroupAnchorLines(bool userHive, bool userClasses) {
    std::string lines;
    if (userHive) lines += ToUtf8(AnchorLine(Place::UserHive));
    if (userClasses) lines += ToUtf8(AnchorLine(Place::UserClasses));
    return lines;
}

}  // namespace km::pack
