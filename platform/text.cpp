#include "platform/text.h"

#include <cstdio>

namespace km {

Text FoldAsciiCase(TextView text) {
    Text folded(text);
    for (char16_t& c : folded)
        if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
    return folded;
}

namespace {
char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }
}  // namespace

bool EqualsIgnoreAsciiCase(TextView a, TextView b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool ContainsIgnoreAsciiCase(TextView text, TextView part) {
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
        if (EqualsIgnoreAsciiCase(text.substr(i, part.size()), part)) return true;
    return false;
}

Text Widen(std::string_view latin1) {
    Text out;
    out.reserve(latin1.size());
    for (unsigned char c : latin1) out.push_back(char16_t(c));
    return out;
}

Text TextUpToNul(const Bytes& data) {
    Text text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t unit = char16_t(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

namespace {

// One code point, which is no surrogate, in UTF-8.
void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::string ToUtf8(TextView text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(c, out);
    }
    return out;
}

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool Escaped(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || IsHighSurrogate(c) ||
           IsLowSurrogate(c);
}

struct Letter {
    char16_t control;
    char letter;
};
constexpr Letter kLetters[] = {{u'\r', 'r'}, {u'\n', 'n'}, {u'\t', 't'}, {u'\0', '0'}};

char LetterOf(char16_t c, TextView byLetter) {
    if (byLetter.find(c) == TextView::npos) return 0;
    for (const Letter& l : kLetters)
        if (l.control == c) return l.letter;
    return 0;
}

}  // namespace

std::string DisplayText(TextView text, const DisplayForm& form) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (form.backslashed.find(c) != TextView::npos) {
            out += '\\';
            out += ToUtf8(text.substr(i, 1));
        } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            out += ToUtf8(text.substr(i, 2));
            ++i;
        } else if (const char letter = LetterOf(c, form.byLetter)) {
            out += '\\';
            out += letter;
        } else if (Escaped(c)) {
            char buf[8];
            const char* pattern = c <= 0xFF ? (form.upperHex ? "\\x%02X" : "\\x%02x")
                                            : (form.upperHex ? "\\u%04X" : "\\u%04x");
            std::snprintf(buf, sizeof buf, pattern, unsigned(c));
            out += buf;
        } else {
            AppendUtf8(c, out);  // no surrogate: those are escaped above
        }
    }
    return out;
}

}  // namespace km
