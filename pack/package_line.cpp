#include "pack/package_line.h"

#include <cstdio>

#include "check/lint.h"
#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "platform/text.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"

namespace km::pack {

namespace {

constexpr TextView kSeparator = u"*@*";
constexpr TextView kRemovalMarker = u"DELETE_REG";
constexpr TextView kLineBreak = u"*BreakLine*";
constexpr TextView kClassesPrefix = kClassesBranch;
constexpr TextView kCrLf = u"\r\n";

// How each place is named in a line, and what the reader makes of it.
struct PlaceRow {
    Place place;
    TextView rootField;
    RegKey rootKey;
    RootKind kind;
    TextView keyPrefix;  // what the reader puts before the key field
};
constexpr PlaceRow kPlaces[] = {
    {Place::MachineSoftware, u"HKEY_LOCAL_MACHINE\\SOFTWARE", kHkeyLocalMachine, MachineSoftware,
     u"SOFTWARE\\"},
    {Place::MachineSystem, u"HKEY_LOCAL_MACHINE\\SYSTEM", kHkeyLocalMachine, MachineSystem,
     u"SYSTEM\\"},
    {Place::ClassesRoot, u"HKEY_CLASSES_ROOT", kHkeyClassesRoot, ClassesRoot, u""},
    {Place::UserHive, u"HKEY_CURRENT_USER", kHkeyUsers, Users, u""},
    {Place::UserClasses, u"HKEY_CURRENT_USER", kHkeyUsers, Users, u""},
};

const PlaceRow& RowOf(Place place) {
    for (const PlaceRow& row : kPlaces)
        if (row.place == place) return row;
    return kPlaces[0];
}

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

// What no field can hold: the separator cuts it, the marker turns a line into
// a removal (and keymason-check calls it an error in any letter case), a line
// break ends the line, UTF-8 has no form for a lone surrogate; and a name with
// a NUL would name something else, as the registry stops there.
std::string CheckText(const std::string& what, TextView text, bool removal, Nul nul) {
    if (text.find(kSeparator) != TextView::npos) return what + " holds the field separator *@*";
    if (!removal && ContainsIgnoreAsciiCase(text, kRemovalMarker))
        return what + " holds the removal marker DELETE_REG";
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

// The reader stores the text with each *BreakLine* made CR LF, and no
// terminator: only such bytes can be written.
Field MultiTextData(const Bytes& data) {
    if (data.size() % 2 != 0)
        return Refuse("a REG_MULTI_SZ of an odd size (" + SizeText(data.size()) + ")");
    const Text units = UnitsOf(data);
    if (units.find(kLineBreak) != Text::npos)
        return Refuse("a REG_MULTI_SZ holding *BreakLine* as text");
    Text field;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = units.find(kCrLf, pos)) != Text::npos; pos = hit + kCrLf.size())
        field.append(units, pos, hit - pos).append(kLineBreak);
    field.append(units, pos, Text::npos);
    if (field.find_first_of(u"\r\n") != Text::npos)
        return Refuse("a REG_MULTI_SZ holding a line break other than CR LF");
    std::string why = CheckText("the REG_MULTI_SZ", field, false, Nul::Allowed);
    return Field{std::move(field), std::move(why)};
}

// One character per byte; the reader drops commas.
Field BinaryData(const Bytes& data) {
    Text field;
    for (std::uint8_t byte : data) {
        if (byte == ',') return Refuse("binary data holding a comma byte (2c), which the reader drops");
        if (byte == '\r' || byte == '\n') return Refuse("binary data holding a line break byte (0a or 0d)");
        field.push_back(char16_t(byte));
    }
    std::string why = CheckText("the binary data", field, false, Nul::Allowed);
    return Field{std::move(field), std::move(why)};
}

// "0x" and the number in exactly 4 or 8 bytes' worth of hex digits.
Field NumberData(const Bytes& data, std::size_t bytes, const char* typeName) {
    if (data.size() != bytes)
        return Refuse(std::string("a ") + typeName + " of " + SizeText(data.size()) +
                      "; a package line sets exactly " + SizeText(bytes));
    std::string hex = "0x";
    for (std::size_t i = bytes; i-- > 0;) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        hex += digits;
    }
    return Field{Widen(hex), std::string()};
}

Field DataField(std::uint32_t type, const Bytes& data) {
    switch (type) {
        case kRegSz:
        case kRegExpandSz: return TextData(data);
        case kRegMultiSz: return MultiTextData(data);
        case kRegBinary: return BinaryData(data);
        case kRegDword: return NumberData(data, 4, "REG_DWORD");
        case kRegQword: return NumberData(data, 8, "REG_QWORD");
        default: return Refuse("type " + std::to_string(type) + " has no package name");
    }
}

bool HasEmptyPart(TextView key) {
    if (key.empty()) return false;
    if (key.front() == u'\\') return true;
    return key.find(u"\\\\") != TextView::npos;
}

// The key field, as the reader turns it back into the change's key.
Field KeyField(const Change& change) {
    const bool removal = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    std::string why = CheckText("the key", change.key, removal, Nul::Refused);
    if (!why.empty()) return Refuse(why);
    if (HasEmptyPart(change.key)) return Refuse("the key has an empty part");
    const bool classesPrefixed = TextView(change.key).substr(0, kClassesPrefix.size()) == kClassesPrefix;
    // The registry follows the link in any letter case, where the reader's
    // prefix is exact.
    const TextView head = TextView(change.key).substr(0, kClassesPrefix.size());
    const bool reachesClasses = EqualsIgnoreAsciiCase(head, kClassesPrefix) ||
                                EqualsIgnoreAsciiCase(change.key, kClassesKeyPath);
    switch (change.place) {
        case Place::ClassesRoot:
            // The reader drops the prefix once.
            return Field{classesPrefixed ? Text(kClassesPrefix) + change.key : change.key, std::string()};
        case Place::UserHive:
            if (reachesClasses)
                return Refuse("a key at or below Software\\Classes in a user's own hive: a package line "
                              "reaches the user's classes hive there");
            return Field{change.key, std::string()};
        case Place::UserClasses:
            return Field{Text(kClassesPrefix) + change.key, std::string()};
        default:
            return Field{change.key, std::string()};
    }
}

// Where the engine would remove the key, for each way a profile's hives hang.
bool RemovalRefusedByEngine(const Change& change) {
    const PlaceRow& row = RowOf(change.place);
    switch (change.place) {
        case Place::UserHive:
            return KeyRemovalRefused(kHkeyUsers, u"S-1-5-21-1\\" + change.key);
        case Place::UserClasses:
            return KeyRemovalRefused(kHkeyUsers, u"S-1-5-21-1\\Software\\Classes\\" + change.key) ||
                   KeyRemovalRefused(kHkeyUsers, u"Mount-Classes-S-1-5-21-1\\" + change.key);
        default:
            return KeyRemovalRefused(row.rootKey, Text(row.keyPrefix) + change.key);
    }
}

Text AssembleLine(const Change& change, const Text& keyField, const Text& dataField) {
    const PlaceRow& row = RowOf(change.place);
    const Text target = row.kind == Users ? change.target : Text(u"All Users");
    Text line = u"1*@*" + Text(row.rootField) + u"*@*" + keyField + u"*@*";
    switch (change.kind) {
        case ChangeKind::SetValue:
            line += u"*@*" + change.valueName + u"*@*" + Text(ValueTypeName(change.type)) + u"*@*" + target +
                    u"*@*" + dataField + u"*@*";
            break;
        case ChangeKind::RemoveValue:
            line += u"*@*" + change.valueName + u"*@*REG_SZ*@*" + target + u"*@**@*DELETE_REG";
            break;
        case ChangeKind::CreateKey: line += u"True*@**@**@*" + target + u"*@**@*"; break;
        case ChangeKind::RemoveKey: line += u"True*@**@**@*" + target + u"*@*DELETE_REG*@*"; break;
    }
    return line + u"\r\n";
}

// Reads the line back as Keymason reads a package held in memory.
bool ReadsBackAs(const Change& change, const std::string& line) {
    const PackageContents read = ParsePackage(line);
    if (read.result != PackageReadResult::Opened || read.lines.size() != 1) return false;
    RecordReader reader(read.lines);
    const PackageRecord& r = reader.Read(0);
    const PlaceRow& row = RowOf(change.place);
    const bool keyOnly = change.kind == ChangeKind::CreateKey || change.kind == ChangeKind::RemoveKey;
    const bool remove = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    if (r.rootKey != row.rootKey || r.rootKind != row.kind || r.keyOnly != (keyOnly ? 1 : 0) ||
        r.remove != (remove ? 1 : 0) || r.keyPath != Text(row.keyPrefix) + change.key)
        return false;
    if (row.kind == Users &&
        (r.classesKey != (change.place == Place::UserClasses ? 1 : 0) || r.target != change.target))
        return false;
    if (keyOnly) return true;
    if (r.valueName != change.valueName) return false;
    if (remove) return true;
    // What the pass would hand RegSetValueExW for it.
    const std::optional<ValueToSet> set = ValueSetBy(r);
    return set && set->type == change.type &&
           Bytes(set->Data(), set->Data() + set->size) == change.data;
}

// The line's own fields: a line for one account needs an "All Users" line
// somewhere in its package, which is the package's concern, not the line's.
bool LintsClean(const std::string& line) {
    const std::string withGroup =
        line + "1*@*HKEY_CURRENT_USER*@*X*@**@*X*@*REG_SZ*@*All Users*@**@*DELETE_REG\r\n";
    for (const check::Diagnostic& d : check::LintPackage(withGroup))
        if (d.line == 1 && d.severity == check::Severity::Error) return false;
    return true;
}

}  // namespace

LineResult WritePackageLine(const Change& change) {
    LineResult result;
    const bool removal = change.kind == ChangeKind::RemoveKey || change.kind == ChangeKind::RemoveValue;
    const Field key = KeyField(change);
    if (!key.refusal.empty()) return LineResult{false, std::string(), key.refusal};
    if (change.kind == ChangeKind::RemoveKey && RemovalRefusedByEngine(change))
        return LineResult{false, std::string(),
                          "Keymason never removes a root, a hive's top key or a classes store"};
    if (RowOf(change.place).kind == Users) {
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
    // The rules above are the whole list; reading the line back is the proof.
    if (!ReadsBackAs(change, result.line) || !LintsClean(result.line))
        return LineResult{false, std::string(), "the line would not be read back as the change"};
    result.written = true;
    return result;
}

std::string GroupAnchorLine(Place place) {
    Change anchor;
    anchor.kind = ChangeKind::RemoveValue;
    anchor.place = place;
    anchor.key = u"Keymason Group Anchor";
    anchor.valueName = anchor.key;
    return WritePackageLine(anchor).line;
}

bool IsGroupTarget(TextView target) {
    for (TextView group : {TextView(u"All Users"), TextView(u"Administrator"), TextView(u"User")})
        if (EqualsIgnoreAsciiCase(target, group)) return true;
    return false;
}

}  // namespace km::pack
