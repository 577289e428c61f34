#include "check/reg_file.h"

#include <cstdio>

#include "check/text_codec.h"
#include "platform/text.h"

namespace km::check {

namespace {

constexpr TextView kVersion5Header = u"Windows Registry Editor Version 5.00";
constexpr TextView kVersion4Header = u"REGEDIT4";

struct RootSpelling {
    TextView name;
    RegKey root;  // 0: a root that a snapshot cannot hold
};
constexpr RootSpelling kRootSpellings[] = {
    {u"HKEY_CLASSES_ROOT", kHkeyClassesRoot}, {u"HKCR", kHkeyClassesRoot},
    {u"HKEY_LOCAL_MACHINE", kHkeyLocalMachine}, {u"HKLM", kHkeyLocalMachine},
    {u"HKEY_USERS", kHkeyUsers},              {u"HKU", kHkeyUsers},
    {u"HKEY_CURRENT_USER", 0},                {u"HKCU", 0},
    {u"HKEY_CURRENT_CONFIG", 0},              {u"HKCC", 0},
};

// Bytes to text by the file's byte-order mark; a version 5 file saved
// without one in UTF-16LE is recognised by its zero high bytes.
Text DecodeFile(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        return DecodeUtf16Le(bytes.substr(2));
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    else if (bytes.size() >= 4 && bytes[0] != 0 && bytes[1] == 0 && bytes[2] != 0 && bytes[3] == 0)
        return DecodeUtf16Le(bytes);
    // A REGEDIT4 file is in the system's code page: Latin-1 is the nearest
    // fixed choice when the bytes are not UTF-8.
    Utf8Decoded utf8 = DecodeUtf8(bytes);
    return utf8.valid ? utf8.text : DecodeLatin1(bytes);
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

TextView Trim(TextView text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<Text> SplitLines(const Text& text) {
    std::vector<Text> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find(u'\n', start);
        std::size_t stop = end == Text::npos ? text.size() : end;
        if (stop > start && text[stop - 1] == u'\r') --stop;
        lines.push_back(text.substr(start, stop - start));
        if (end == Text::npos) break;
        start = end + 1;
    }
    return lines;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

class LineParser {
public:
    LineParser(TextView line, int lineNumber, RegFileError* error)
        : rest_(line), lineNumber_(lineNumber), error_(error) {}

    bool Fail(const std::string& message) {
        if (error_) *error_ = RegFileError{lineNumber_, message};
        return false;
    }

    // A quoted string with the escapes that `reg export` writes.
    bool QuotedString(Text* out) {
        if (rest_.empty() || rest_.front() != u'"') return Fail("expected a quoted string");
        rest_.remove_prefix(1);
        out->clear();
        while (!rest_.empty()) {
            const char16_t c = rest_.front();
            rest_.remove_prefix(1);
            if (c == u'"') return true;
            if (c != u'\\' || rest_.empty()) {
                out->push_back(c);
                continue;
            }
            const char16_t e = rest_.front();
            rest_.remove_prefix(1);
            switch (e) {
                case u'\\': out->push_back(u'\\'); break;
                case u'"': out->push_back(u'"'); break;
                case u'n': out->push_back(u'\n'); break;
                case u'r': out->push_back(u'\r'); break;
                case u'0': out->push_back(u'\0'); break;
                default:
                    out->push_back(u'\\');
                    out->push_back(e);
            }
        }
        return Fail("the quoted string has no closing quote");
    }

    bool Take(char16_t c) {
        rest_ = Trim(rest_);
        if (rest_.empty() || rest_.front() != c) return false;
        rest_.remove_prefix(1);
        rest_ = Trim(rest_);
        return true;
    }

    bool TakeWord(TextView word) {
        if (rest_.size() < word.size() || !EqualsIgnoreAsciiCase(rest_.substr(0, word.size()), word))
            return false;
        rest_.remove_prefix(word.size());
        return true;
    }

    TextView Rest() const { return rest_; }

private:
    TextView rest_;
    int lineNumber_;
    RegFileError* error_;
};

bool ParseHexBytes(TextView text, Bytes* out, LineParser& parser) {
    out->clear();
    text = Trim(text);
    if (text.empty()) return true;
    std::size_t at = 0;
    while (true) {
        while (at < text.size() && IsBlank(text[at])) ++at;
        std::size_t start = at;
        while (at < text.size() && HexDigit(text[at]) >= 0) ++at;
        const std::size_t digits = at - start;
        if (digits == 0 || digits > 2) return parser.Fail("hex data must be bytes of two digits separated by commas");
        int byte = 0;
        for (std::size_t i = start; i < at; ++i) byte = byte * 16 + HexDigit(text[i]);
        out->push_back(std::uint8_t(byte));
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at == text.size()) return true;
        if (text[at] != u',') return parser.Fail("hex data must be bytes of two digits separated by commas");
        ++at;
        // reg export never ends with a comma, but a hand-made file may.
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at == text.size()) return true;
    }
}

Bytes Utf16Bytes(TextView text, bool terminate) {
    std::string bytes = EncodeUtf16Le(text);
    if (terminate) bytes.append(2, '\0');
    return Bytes(bytes.begin(), bytes.end());
}

// A REGEDIT4 file writes hex(2) and hex(7) as narrow strings.
Bytes WidenNarrowString(const Bytes& narrow) {
    Bytes wide;
    for (std::uint8_t b : narrow) {
        wide.push_back(b);
        wide.push_back(0);
    }
    return wide;
}

bool ParseValueData(LineParser& parser, bool regedit4, RegFileValue* value) {
    if (parser.Take(u'-')) {
        if (!parser.Rest().empty()) return parser.Fail("unexpected text after \"-\"");
        value->remove = true;
        return true;
    }
    if (!parser.Rest().empty() && parser.Rest().front() == u'"') {
        Text text;
        if (!parser.QuotedString(&text)) return false;
        if (!Trim(parser.Rest()).empty()) return parser.Fail("unexpected text after the string");
        value->value = StoredValue{kRegSz, Utf16Bytes(text, true)};
        return true;
    }
    if (parser.TakeWord(u"dword:")) {
        const TextView digits = Trim(parser.Rest());
        if (digits.empty() || digits.size() > 8) return parser.Fail("dword data must be 1 to 8 hex digits");
        std::uint32_t number = 0;
        for (char16_t c : digits) {
            if (HexDigit(c) < 0) return parser.Fail("dword data must be 1 to 8 hex digits");
            number = number * 16 + std::uint32_t(HexDigit(c));
        }
        value->value = StoredValue{kRegDword, Bytes{std::uint8_t(number), std::uint8_t(number >> 8),
                                                    std::uint8_t(number >> 16), std::uint8_t(number >> 24)}};
        return true;
    }
    std::uint32_t type = kRegBinary;
    if (parser.TakeWord(u"hex(")) {
        const TextView rest = parser.Rest();
        const std::size_t close = rest.find(u')');
        if (close == 0 || close == TextView::npos || close > 8)
            return parser.Fail("hex(N) needs a type of 1 to 8 hex digits");
        type = 0;
        for (char16_t c : rest.substr(0, close)) {
            if (HexDigit(c) < 0) return parser.Fail("hex(N) needs a type of 1 to 8 hex digits");
            type = type * 16 + std::uint32_t(HexDigit(c));
        }
        LineParser after(rest.substr(close + 1), 0, nullptr);
        if (!after.TakeWord(u":")) return parser.Fail("expected \":\" after hex(N)");
        Bytes bytes;
        if (!ParseHexBytes(after.Rest(), &bytes, parser)) return false;
        if (regedit4 && (type == kRegExpandSz || type == kRegMultiSz)) bytes = WidenNarrowString(bytes);
        value->value = StoredValue{type, bytes};
        return true;
    }
    if (parser.TakeWord(u"hex:")) {
        Bytes bytes;
        if (!ParseHexBytes(parser.Rest(), &bytes, parser)) return false;
        value->value = StoredValue{type, bytes};
        return true;
    }
    return parser.Fail("unknown value data (expected a string, dword:, hex: or hex(N):)");
}

bool ParseSectionHeader(TextView line, int lineNumber, RegFileSection* section,
                        RegFileError* error) {
    auto fail = [&](const std::string& message) {
        if (error) *error = RegFileError{lineNumber, message};
        return false;
    };
    line = Trim(line);
    const std::size_t close = line.rfind(u']');
    if (close == TextView::npos) return fail("the key name has no closing \"]\"");
    if (!Trim(line.substr(close + 1)).empty()) return fail("unexpected text after \"]\"");
    TextView name = line.substr(1, close - 1);
    section->line = lineNumber;
    if (!name.empty() && name.front() == u'-') {
        section->remove = true;
        name.remove_prefix(1);
    }
    const std::size_t cut = name.find(u'\\');
    const TextView rootText = name.substr(0, cut);
    TextView path = cut == TextView::npos ? TextView() : name.substr(cut + 1);
    const RootSpelling* spelling = nullptr;
    for (const RootSpelling& s : kRootSpellings)
        if (EqualsIgnoreAsciiCase(rootText, s.name)) spelling = &s;
    if (!spelling) return fail("unknown root \"" + ToUtf8(rootText) + "\"");
    if (spelling->root == 0)
        return fail(ToUtf8(rootText) +
                    " is not part of a snapshot: give a user's keys below HKEY_USERS\\<SID>");
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.find(u"\\\\") != TextView::npos || (!path.empty() && path.front() == u'\\'))
        return fail("the key name has an empty part");
    section->root = spelling->root;
    section->rootName = Text(rootText);
    section->path = Text(path);
    return true;
}

}  // namespace

std::optional<RegFile> ParseRegFile(std::string_view bytes, RegFileError* error) {
    const std::vector<Text> lines = SplitLines(DecodeFile(bytes));
    RegFile file;
    std::size_t at = 0;
    while (at < lines.size() && Trim(lines[at]).empty()) ++at;
    if (at == lines.size()) {
        if (error) *error = RegFileError{0, "the file is empty"};
        return std::nullopt;
    }
    const TextView header = Trim(lines[at]);
    if (header == kVersion4Header) {
        file.regedit4 = true;
    } else if (header != kVersion5Header) {
        if (error)
            *error = RegFileError{int(at) + 1, "not a .reg file: the first line must be \"" +
                                                   ToUtf8(kVersion5Header) + "\" or \"REGEDIT4\""};
        return std::nullopt;
    }
    for (++at; at < lines.size(); ++at) {
        const int lineNumber = int(at) + 1;
        Text line = lines[at];
        const TextView trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == u';') continue;
        if (trimmed.front() == u'[') {
            RegFileSection section;
            if (!ParseSectionHeader(trimmed, lineNumber, &section, error)) return std::nullopt;
            file.sections.push_back(std::move(section));
            continue;
        }
        if (file.sections.empty()) {
            if (error) *error = RegFileError{lineNumber, "a value before the first key"};
            return std::nullopt;
        }
        // Hex data continues on the next line after a trailing backslash.
        while (!Trim(line).empty() && Trim(line).back() == u'\\' && at + 1 < lines.size()) {
            line = Text(Trim(line));
            line.pop_back();
            line += Trim(lines[++at]);
        }
        LineParser parser(Trim(line), lineNumber, error);
        RegFileValue value;
        if (parser.Rest().front() == u'@') {
            parser.TakeWord(u"@");
        } else if (!parser.QuotedString(&value.name)) {
            return std::nullopt;
        }
        if (!parser.Take(u'=')) {
            parser.Fail("expected \"=\" after the value name");
            return std::nullopt;
        }
        if (!ParseValueData(parser, file.regedit4, &value)) return std::nullopt;
        RegFileSection& section = file.sections.back();
        if (section.remove) {
            if (error) *error = RegFileError{lineNumber, "a value below a key removal"};
            return std::nullopt;
        }
        if (section.path.empty()) {
            if (error) *error = RegFileError{lineNumber, "a root key holds no values"};
            return std::nullopt;
        }
        section.values.push_back(std::move(value));
    }
    return file;
}

Text RootName(RegKey root) {
    switch (root) {
        case kHkeyClassesRoot: return u"HKEY_CLASSES_ROOT";
        case kHkeyLocalMachine: return u"HKEY_LOCAL_MACHINE";
        case kHkeyUsers: return u"HKEY_USERS";
        default: return Text();
    }
}

namespace {

Text Escape(TextView text) {
    Text out;
    for (char16_t c : text) {
        switch (c) {
            case u'\\': out += u"\\\\"; break;
            case u'"': out += u"\\\""; break;
            case u'\r': out += u"\\r"; break;
            case u'\n': out += u"\\n"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

// A string value reads back the same only when it is text with exactly one
// terminator at its end; anything else is written as hex(1).
bool IsPlainString(const StoredValue& value) {
    const Bytes& d = value.data;
    if (value.type != kRegSz || d.size() < 2 || d.size() % 2 != 0) return false;
    for (std::size_t i = 0; i + 2 < d.size(); i += 2)
        if (d[i] == 0 && d[i + 1] == 0) return false;
    return d[d.size() - 2] == 0 && d[d.size() - 1] == 0;
}

Text Hex2(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", value & 0xFF);
    return Widen(buf);
}

// reg export breaks hex data after the comma that brings a line to 77
// characters, and indents the next line by two spaces.
constexpr std::size_t kMaxHexLine = 77;

}  // namespace

Text FormatRegValue(const Text& name, const StoredValue& value) {
    Text line = name.empty() ? Text(u"@=") : u"\"" + Escape(name) + u"\"=";
    if (IsPlainString(value)) {
        Text units;
        for (std::size_t i = 0; i + 2 < value.data.size(); i += 2)
            units.push_back(char16_t(value.data[i] | (value.data[i + 1] << 8)));
        return line + u"\"" + Escape(units) + u"\"";
    }
    if (value.type == kRegDword && value.data.size() == 4) {
        const std::uint32_t n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                (std::uint32_t(value.data[3]) << 24);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return line + Widen(buf);
    }
    if (value.type == kRegBinary) {
        line += u"hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
        line += Widen(buf);
    }
    std::size_t lineLength = line.size();
    const Bytes& d = value.data;
    for (std::size_t i = 0; i < d.size(); ++i) {
        line += Hex2(d[i]);
        if (i + 1 == d.size()) break;
        line += u',';
        lineLength += 3;
        if (lineLength >= kMaxHexLine) {
            line += u"\\\r\n  ";
            lineLength = 2;
        }
    }
    return line;
}

std::string FormatRegFile(const std::vector<RegFileSection>& sections) {
    Text text(kVersion5Header);
    text += u"\r\n";
    for (const RegFileSection& section : sections) {
        text += u"\r\n[";
        if (section.remove) text += u'-';
        text += RootName(section.root);
        if (!section.path.empty()) text += u"\\" + section.path;
        text += u"]\r\n";
        for (const RegFileValue& value : section.values) {
            if (value.remove)
                text += (value.name.empty() ? Text(u"@") : u"\"" + Escape(value.name) + u"\"") + u"=-";
            else
                text += FormatRegValue(value.name, value.value);
            text += u"\r\n";
        }
    }
    text += u"\r\n";
    return "\xFF\xFE" + EncodeUtf16Le(text);
}

}  // namespace km::check
