#include "toolkit/reg_file.h"

#include <cstdio>

#include "toolkit/text_codec.h"
#include "platform/text.h"

namespace km::toolkit {

Text RootName(RegKey root) {
    for (const RegRootName& r : kRegRoots)
        if (r.root == root) return Text(r.name);
    return Text();
}

namespace {

constexpr TextView kVersion5Header = u"Windows Registry Editor Version 5.00";

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
        std::snprintf(buf, sizeof buf, "%08x", n);
        return line + Text(kRegDwordData) + Widen(buf);
    }
    if (value.type == kRegBinary) {
        line += kRegBinaryData;
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%x", value.type);
        line += Text(kRegTypedDataOpen) + Widen(buf) + Text(kRegTypedDataClose);
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

}  // namespace km::toolkit
