// Reads .reg text line by line as `reg import` does: each line is applied,
// skipped (reg import ignores it and goes on) or refuses the whole file. The
// rules were worked out by importing generated texts with reg import and
// reading the registry back (tests/e2e/reg_import_diff.sh).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/utf8_decode.h"
#include "toolkit/reg_file.h"
#include "toolkit/text_codec.h"
#include "platform/text.h"

namespace km::toolkit {

namespace {

constexpr TextView kVersion5Header = u"Windows Registry Editor Version 5.00";
constexpr TextView kVersion4Header = u"REGEDIT4";
// "REGEDIT" alone is the Windows 3.1 format: HKEY_CLASSES_ROOT lines only.
constexpr TextView kWin31Header = u"REGEDIT";
constexpr TextView kWin31Root = u"HKEY_CLASSES_ROOT";


// The characters 0x80 to 0x9F of Windows-1252, the ANSI code page reg import
// reads files without a byte-order mark in; the five it leaves undefined
// map to the same code, as MultiByteToWideChar maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

Text DecodeWindows1252(std::string_view bytes) {
    Text text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.push_back(b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

// Lines end in CR LF, LF or CR alone.
std::vector<TextView> SplitLines(TextView text) {
    std::vector<TextView> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

TextView SkipBlanks(TextView text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// What may follow data on its line: blanks, then the end or a ';' comment.
bool OnlyCommentLeft(TextView rest) {
    rest = SkipBlanks(rest);
    return rest.empty() || rest.front() == u';';
}

Bytes TerminatedString(TextView text) {
    std::string bytes = EncodeUtf16Le(text);
    bytes.append(2, '\0');
    return Bytes(bytes.begin(), bytes.end());
}

std::string Quoted(TextView text) { return "\"" + ToUtf8(text) + "\""; }

class Reader {
public:
    Reader(std::vector<TextView> lines, bool utf16, RegFile* file)
        : lines_(std::move(lines)), utf16_(utf16), file_(file) {}

    void ReadEditorLines() {
        for (at_ = 1; at_ < lines_.size(); ++at_) ReadLine(lines_[at_]);
    }

    void ReadWin31Lines() {
        for (at_ = 1; at_ < lines_.size(); ++at_) {
            const TextView line = lines_[at_];
            if (SkipBlanks(line).empty()) continue;
            if (!StartsWith(line, kWin31Root)) {
                Skip("a REGEDIT file sets only lines that begin with HKEY_CLASSES_ROOT");
                continue;
            }
            // KEY, blanks, an optional "=" and one space, then the default value.
            std::size_t cut = 0;
            while (cut < line.size() && !IsBlank(line[cut])) ++cut;
            RegFileSection section;
            if (!ParseKeyName(line.substr(0, cut), &section)) continue;
            TextView rest = SkipBlanks(line.substr(cut));
            if (!rest.empty() && rest.front() == u'=') {
                rest.remove_prefix(1);
                if (!rest.empty() && rest.front() == u' ') rest.remove_prefix(1);
            }
            section.values.push_back(RegFileValue{Text(), false, {kRegSz, TerminatedString(rest)}});
            file_->sections.push_back(std::move(section));
        }
    }

private:
    void Skip(const std::string& why) {
        file_->skipped.push_back(RegFileError{int(at_) + 1, why});
    }

    void ReadLine(TextView line) {
        const TextView text = SkipBlanks(line);
        if (text.empty() || text.front() == u';' || text.front() == u'#') return;
        if (text.front() == u'[') return ReadKeyLine(text.substr(1));
        if (text.front() == u'@' || text.front() == u'"') return ReadValueLine(text);
        Skip("not a key, a value or a comment");
    }

    // Root, then the path; empty parts inside the path and backslashes at its
    // end are dropped, a backslash right after the root is an error.
    bool ParseKeyName(TextView name, RegFileSection* section) {
        const std::size_t cut = name.find(u'\\');
        const TextView rootText = name.substr(0, cut);
        const RegRootName* root = nullptr;
        for (const RegRootName& r : kRegRoots)
            if (EqualsIgnoreAsciiCase(rootText, r.name) || EqualsIgnoreAsciiCase(rootText, r.abbreviation))
                root = &r;
        if (!root) {
            Skip("unknown root " + Quoted(rootText) + ": the key and its values are skipped");
            return false;
        }
        TextView rest = cut == TextView::npos ? TextView() : name.substr(cut + 1);
        if (!rest.empty() && rest.front() == u'\\') {
            Skip("an empty key name after the root: the key and its values are skipped");
            return false;
        }
        section->line = int(at_) + 1;
        section->root = root->root;
        section->rootName = Text(rootText);
        while (!rest.empty()) {
            const std::size_t end = rest.find(u'\\');
            const TextView part = rest.substr(0, end);
            if (!part.empty()) section->path += (section->path.empty() ? Text() : Text(u"\\")) + Text(part);
            if (end == TextView::npos) break;
            rest.remove_prefix(end + 1);
        }
        return true;
    }

    // After "[": the name runs to the last "]"; what follows it is ignored.
    void ReadKeyLine(TextView text) {
        if (!text.empty() && IsBlank(text.front())) {
            Skip("a blank after \"[\": reg import ignores the line and stays in the key before it");
            return;
        }
        const std::size_t close = text.rfind(u']');
        if (close == TextView::npos) {
            Skip("the key name has no closing \"]\": reg import ignores the line and stays in the key before it");
            return;
        }
        keyOpen_ = false;
        RegFileSection section;
        TextView name = text.substr(0, close);
        if (!name.empty() && name.front() == u'-') {
            section.remove = true;
            name.remove_prefix(1);
        }
        if (!ParseKeyName(name, &section)) return;
        keyOpen_ = !section.remove;
        file_->sections.push_back(std::move(section));
    }

    // A quoted string with the escapes reg import honours: \\ \" \n \r. Any
    // other escaped character stands for itself; "\0" and a backslash at the
    // end of the line make the line skipped.
    bool QuotedString(TextView* rest, Text* out) {
        rest->remove_prefix(1);
        out->clear();
        while (!rest->empty()) {
            const char16_t c = rest->front();
            rest->remove_prefix(1);
            if (c == u'"') return true;
            if (c != u'\\') {
                out->push_back(c);
                continue;
            }
            if (rest->empty()) return Fail("a backslash ends the line inside a quoted string");
            const char16_t e = rest->front();
            rest->remove_prefix(1);
            switch (e) {
                case u'\\': out->push_back(u'\\'); break;
                case u'"': out->push_back(u'"'); break;
                case u'n': out->push_back(u'\n'); break;
                case u'r': out->push_back(u'\r'); break;
                case u'0': return Fail("\"\\0\" in a quoted string");
                default:
                    file_->skipped.push_back(RegFileError{
                        int(at_) + 1, "unknown escape \"\\" + ToUtf8(TextView(&e, 1)) +
                                          "\": reg import keeps the character without the backslash",
                        true});
                    out->push_back(e);
            }
        }
        return Fail("the quoted string has no closing quote");
    }

    bool Fail(const std::string& why) {
        failure_ = why;
        return false;
    }

    // Reading goes on after the last line the value took, even when hex
    // data failed on a line meant to continue it.
    void ReadValueLine(TextView text) {
        const std::size_t line = at_;
        RegFileValue value;
        value.line = int(line) + 1;
        failure_.clear();
        const bool read = ParseValue(text, &value);
        if (read && keyOpen_) {
            file_->sections.back().values.push_back(std::move(value));
            return;
        }
        const std::size_t last = at_;
        at_ = line;
        if (!read)
            Skip(failure_ + ": the value is skipped" +
                 (last != line ? " with lines up to " + std::to_string(last + 1) : std::string()));
        else
            Skip("a value with no key open");
        at_ = last;
    }

    bool ParseValue(TextView rest, RegFileValue* value) {
        if (rest.front() == u'@') {
            rest.remove_prefix(1);
        } else if (!QuotedString(&rest, &value->name)) {
            return false;
        }
        rest = SkipBlanks(rest);
        if (rest.empty() || rest.front() != u'=') return Fail("no \"=\" after the value name");
        rest = SkipBlanks(rest.substr(1));
        if (!rest.empty() && rest.front() == u'-') {
            value->remove = true;
            return OnlyCommentLeft(rest.substr(1)) || Fail("text after \"-\"");
        }
        if (!rest.empty() && rest.front() == u'"') {
            Text text;
            if (!QuotedString(&rest, &text)) return false;
            if (!OnlyCommentLeft(rest)) return Fail("text after the quoted string");
            value->value = StoredValue{kRegSz, TerminatedString(text)};
            return true;
        }
        if (StartsWith(rest, kRegDwordData)) return Dword(SkipBlanks(rest.substr(kRegDwordData.size())), value);
        if (StartsWith(rest, kRegBinaryData)) {
            value->value.type = kRegBinary;
            return HexBytes(rest.substr(kRegBinaryData.size()), &value->value.data);
        }
        if (StartsWith(rest, kRegTypedDataOpen)) {
            rest.remove_prefix(kRegTypedDataOpen.size());
            if (!HexType(&rest, &value->value.type) || !HexBytes(rest, &value->value.data)) return false;
            if (!utf16_) WidenAnsiString(&value->value);
            return true;
        }
        return Fail("unknown value data (reg import takes a quoted string, dword:, hex: or hex(N):)");
    }

    // A file in the ANSI code page holds string data in it, whatever its
    // header; reg import stores it as UTF-16.
    static void WidenAnsiString(StoredValue* value) {
        if (value->type != kRegSz && value->type != kRegExpandSz && value->type != kRegMultiSz) return;
        const std::string narrow(value->data.begin(), value->data.end());
        const std::string wide = EncodeUtf16Le(DecodeWindows1252(narrow));
        value->data.assign(wide.begin(), wide.end());
    }

    bool Dword(TextView rest, RegFileValue* value) {
        std::uint32_t number = 0;
        std::size_t digits = 0;
        for (; digits < rest.size() && HexDigit(rest[digits]) >= 0; ++digits)
            number = number * 16 + std::uint32_t(HexDigit(rest[digits]));
        if (digits == 0 || digits > 8 || !OnlyCommentLeft(rest.substr(digits)))
            return Fail("dword data must be 1 to 8 hex digits");
        value->value = StoredValue{kRegDword, Bytes{std::uint8_t(number), std::uint8_t(number >> 8),
                                                    std::uint8_t(number >> 16), std::uint8_t(number >> 24)}};
        return true;
    }

    // A number as the C library's wcstoul reads one in base 16: blanks, a
    // sign, hex digits; "-n" wraps around. No digits at all reads as 0.
    static bool UnsignedHex(TextView* rest, bool allowPrefix, std::uint64_t* number, bool* anyDigit) {
        *rest = SkipBlanks(*rest);
        bool negative = false;
        if (!rest->empty() && (rest->front() == u'+' || rest->front() == u'-')) {
            negative = rest->front() == u'-';
            rest->remove_prefix(1);
        }
        if (allowPrefix && rest->size() >= 3 && (*rest)[0] == u'0' && ((*rest)[1] | 0x20) == u'x' &&
            HexDigit((*rest)[2]) >= 0)
            rest->remove_prefix(2);
        std::uint64_t n = 0;
        *anyDigit = false;
        while (!rest->empty() && HexDigit(rest->front()) >= 0) {
            n = n * 16 + std::uint64_t(HexDigit(rest->front()));
            if (n > 0xFFFFFFFFull) return false;
            rest->remove_prefix(1);
            *anyDigit = true;
        }
        *number = negative ? (0x100000000ull - n) & 0xFFFFFFFFull : n;
        return true;
    }

    bool HexType(TextView* rest, std::uint32_t* type) {
        std::uint64_t number = 0;
        bool anyDigit = false;
        if (!UnsignedHex(rest, false, &number, &anyDigit) || !StartsWith(*rest, kRegTypedDataClose))
            return Fail("hex(N) needs a type in hex digits that fits 32 bits");
        rest->remove_prefix(kRegTypedDataClose.size());
        *type = std::uint32_t(number);
        return true;
    }

    // Bytes separated by commas; a backslash after "hex:" or after a comma
    // continues the data on the next line, where ";" comment lines may stand.
    bool HexBytes(TextView rest, Bytes* out) {
        out->clear();
        while (true) {
            rest = SkipBlanks(rest);
            if (rest.empty() || rest.front() == u';') return true;
            if (rest.front() == u'\\') {
                if (!OnlyCommentLeft(rest.substr(1))) return Fail("text after the backslash of hex data");
                if (!NextContinuationLine(&rest)) return true;
                if (rest.front() == u'\\') return Fail("a line that continues hex data starts with a backslash");
                continue;
            }
            std::uint64_t byte = 0;
            bool anyDigit = false;
            if (!UnsignedHex(&rest, true, &byte, &anyDigit) || !anyDigit || byte > 0xFF)
                return Fail("hex data must be bytes (hex numbers up to ff) separated by commas");
            out->push_back(std::uint8_t(byte));
            if (!rest.empty() && rest.front() == u',') {
                rest.remove_prefix(1);
                continue;
            }
            return OnlyCommentLeft(rest) || Fail("hex data must be bytes (hex numbers up to ff) separated by commas");
        }
    }

    // Moves to the line that continues hex data, past blank lines and ";"
    // comments. False at the end of the file: the data ends there.
    bool NextContinuationLine(TextView* rest) {
        for (std::size_t next = at_ + 1; next < lines_.size(); ++next) {
            const TextView line = SkipBlanks(lines_[next]);
            if (line.empty() || line.front() == u';') continue;
            at_ = next;
            *rest = line;
            return true;
        }
        return false;
    }

    std::vector<TextView> lines_;
    bool utf16_;
    RegFile* file_;
    std::size_t at_ = 0;
    bool keyOpen_ = false;
    std::string failure_;
};

// What the reader needs to know of the bytes once they are decoded.
struct Decoded {
    Text text;
    bool utf16 = false;
    bool unmarkedUtf16 = false;  // a second byte of zero and no byte-order mark
    // Where UTF-8 text first goes beyond ASCII, in a file that is all UTF-8;
    // npos otherwise. A byte is a unit in this code page.
    std::size_t utf8At = std::string_view::npos;
};

// The first byte beyond ASCII, when the bytes hold one and all of them are
// well-formed UTF-8: text an editor saved as UTF-8, which reg import reads in
// the ANSI code page all the same. npos otherwise.
std::size_t FirstUtf8Byte(std::string_view bytes) {
    const auto beyondAscii = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
    const auto continues = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    const std::size_t first = std::size_t(std::find_if(bytes.begin(), bytes.end(), beyondAscii) - bytes.begin());
    if (first == bytes.size()) return std::string_view::npos;
    // Decoded in pieces, each cut before a byte that begins a sequence (or
    // after the three a sequence may continue with), so that no well-formed
    // sequence is ever cut.
    constexpr std::size_t kPiece = 1 << 16;
    std::vector<char16_t> room(kPiece + 3);
    for (std::size_t at = first; at < bytes.size();) {
        std::size_t end = std::min(bytes.size(), at + kPiece);
        for (int extra = 0; extra < 3 && end < bytes.size() && continues(bytes[end]); ++extra) ++end;
        FirstBadByte bad;
        DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data() + at), end - at, room.data(), &bad);
        if (bad.byte != kNoBadByte) return std::string_view::npos;
        at = end;
    }
    return first;
}

Decoded Decode(std::string_view bytes) {
    const bool utf16 = bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE";
    return Decoded{utf16 ? DecodeUtf16Le(bytes.substr(2)) : DecodeWindows1252(bytes), utf16,
                   !utf16 && bytes.size() > 1 && bytes[1] == 0,
                   // What a NUL ends is never read.
                   utf16 ? std::string_view::npos : FirstUtf8Byte(bytes.substr(0, bytes.find('\0')))};
}

std::optional<RegFile> ParseDecoded(const Decoded& decoded, RegFileError* error) {
    auto refuse = [&](int line, const std::string& message) {
        if (error) *error = RegFileError{line, message};
        return std::nullopt;
    };
    const Text& text = decoded.text;
    const bool utf16 = decoded.utf16;
    // reg import reads the text as a C string: a NUL character ends it.
    const TextView read = TextView(text).substr(0, text.find(u'\0'));
    const std::vector<TextView> lines = SplitLines(read);
    if (lines.empty()) return refuse(0, "the file is empty");
    const TextView header = SkipBlanks(lines[0]);
    RegFile file;
    Reader reader(lines, utf16, &file);
    if (header == kVersion5Header) {
        reader.ReadEditorLines();
    } else if (header == kVersion4Header) {
        if (utf16) return refuse(1, "a UTF-16LE file with the header REGEDIT4: reg import refuses it");
        file.regedit4 = true;
        reader.ReadEditorLines();
    } else if (header == kWin31Header) {
        reader.ReadWin31Lines();
    } else if (StartsWith(header, kWin31Header)) {
        file.skipped.push_back(RegFileError{1, "the header " + Quoted(header) +
                                                   ": reg import accepts the file and reads none of its lines"});
    } else {
        return refuse(1, "not a .reg file: the first line must be \"" + ToUtf8(kVersion5Header) +
                             "\" or \"REGEDIT4\"" +
                             (decoded.unmarkedUtf16 ? " (UTF-16LE needs its byte-order mark)" : ""));
    }
    if (decoded.utf8At < read.size()) {
        const auto after = std::upper_bound(lines.begin(), lines.end(), read.data() + decoded.utf8At,
                                            [](const char16_t* at, TextView line) { return at < line.data(); });
        file.skipped.push_back(RegFileError{
            int(after - lines.begin()),
            "UTF-8 text in a file without the UTF-16LE byte-order mark: reg import reads it in the ANSI code page, "
            "each character beyond ASCII as two to four",
            true});
    }
    if (read.size() < text.size())
        file.skipped.push_back(RegFileError{
            int(lines.size()) + (read.empty() || read.back() == u'\r' || read.back() == u'\n' ? 1 : 0),
            "a NUL character: reg import reads nothing from here on"});
    std::stable_sort(file.skipped.begin(), file.skipped.end(),
                     [](const RegFileError& a, const RegFileError& b) { return a.line < b.line; });
    return file;
}

}  // namespace

std::optional<RegFile> ParseRegFile(std::string_view bytes, RegFileError* error) {
    return ParseDecoded(Decode(bytes), error);
}

std::optional<RegFile> ParseRegFile(std::string&& bytes, RegFileError* error) {
    const Decoded decoded = Decode(bytes);
    std::string().swap(bytes);
    return ParseDecoded(decoded, error);
}

}  // namespace km::toolkit
