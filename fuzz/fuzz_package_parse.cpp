// Arbitrary bytes as a package file: split into lines, read through the
// in-memory platform (whole and cut by a read error), each line parsed into a
// record, and the line's own text encoded as every value type. Aborts when a
// result breaks what the rest of the engine relies on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "engine/package_file.h"
#include "engine/record_parser.h"
#include "engine/value_encoding.h"
#include "fuzz/fuzz_require.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"

namespace km {
namespace {

const Text kPath = u"C:\\pkg\\install.reg.dat";

// Well-formed UTF-8 by the table of the Unicode standard (Table 3-7),
// written apart from the reader's decoder so the two check each other.
struct Utf8Row {
    unsigned leadLo, leadHi;      // the first byte
    unsigned secondLo, secondHi;  // the second byte; any later ones are 80..BF
    std::size_t length;
};
constexpr Utf8Row kUtf8Rows[] = {
    {0x00, 0x7F, 0, 0, 1},       {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
    {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
    {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

bool IsWellFormedUtf8(std::string_view s) {
    auto byte = [&](std::size_t at) { return unsigned(static_cast<unsigned char>(s[at])); };
    std::size_t i = 0;
    while (i < s.size()) {
        const Utf8Row* row = nullptr;
        for (const Utf8Row& r : kUtf8Rows)
            if (byte(i) >= r.leadLo && byte(i) <= r.leadHi) row = &r;
        if (!row || i + row->length > s.size()) return false;
        for (std::size_t k = 1; k < row->length; ++k) {
            const unsigned lo = k == 1 ? row->secondLo : 0x80;
            const unsigned hi = k == 1 ? row->secondHi : 0xBF;
            if (byte(i + k) < lo || byte(i + k) > hi) return false;
        }
        i += row->length;
    }
    return true;
}

bool HasUnpairedSurrogate(TextView text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return true;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

enum class Encoding { Utf8, Utf8WithMark, Utf16Le };

Encoding EncodingOf(std::string_view bytes) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return Encoding::Utf16Le;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return Encoding::Utf8WithMark;
    return Encoding::Utf8;
}

// The raw bytes of each UTF-8 line, its line end (LF, or CR LF) removed.
std::vector<std::string_view> RawUtf8Lines(std::string_view body, bool completeOnly) {
    std::vector<std::string_view> lines;
    while (!body.empty()) {
        const std::size_t lf = body.find('\n');
        if (lf == std::string_view::npos) {
            if (!completeOnly) lines.push_back(body);
            break;
        }
        std::string_view line = body.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        body.remove_prefix(lf + 1);
    }
    return lines;
}

std::size_t Utf16LineCount(std::string_view body, bool completeOnly) {
    const std::size_t units = body.size() / 2;
    std::size_t lines = 0;
    std::size_t lastEnd = 0;
    for (std::size_t i = 0; i < units; ++i) {
        if (body[2 * i] == '\n' && body[2 * i + 1] == '\0') {
            ++lines;
            lastEnd = i + 1;
        }
    }
    if (!completeOnly && lastEnd < units) ++lines;
    return lines;
}

void CheckLines(std::string_view bytes, const std::vector<Text>& lines) {
    const Encoding encoding = EncodingOf(bytes);
    if (encoding == Encoding::Utf16Le) {
        REQUIRE(lines.size() == Utf16LineCount(bytes.substr(2), false));
        return;
    }
    const std::string_view body = encoding == Encoding::Utf8WithMark ? bytes.substr(3) : bytes;
    const std::vector<std::string_view> raw = RawUtf8Lines(body, false);
    REQUIRE(lines.size() == raw.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // Decoding never produces more units than bytes, nor a broken pair.
        REQUIRE(lines[i].size() <= raw[i].size());
        REQUIRE(!HasUnpairedSurrogate(lines[i]));
        if (IsWellFormedUtf8(raw[i])) {
            REQUIRE(ToUtf8(lines[i]) == raw[i]);
        } else {
            REQUIRE(lines[i].find(u'\uFFFD') != Text::npos);
        }
    }
}

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

void CheckValueBytes(const PackageRecord& r) {
    const auto code = ValueTypeCode(r.typeName);
    if (code && (*code == kRegDword || *code == kRegQword)) {
        REQUIRE(r.data.empty() && r.dataSize == 0);
        return;
    }
    REQUIRE(r.number == 0);
    if (r.unencodable) return;
    if (code && *code == kRegMultiSz) {
        REQUIRE(r.data.size() == std::size_t(r.dataSize) + 2 && r.dataSize % 2 == 0);
    } else if (code && *code == kRegBinary) {
        REQUIRE(r.data.size() == std::size_t(r.dataSize) + 1 && r.data.back() == 0);
    } else {
        REQUIRE(r.data.size() == r.dataSize && r.dataSize >= 2 && r.dataSize % 2 == 0);
    }
    REQUIRE(r.data.size() >= 2 || (code && *code == kRegBinary));
    if (!(code && *code == kRegBinary))
        REQUIRE(r.data[r.data.size() - 1] == 0 && r.data[r.data.size() - 2] == 0);
}

void CheckRecord(const PackageRecord& r, TextView line) {
    struct RootRow {
        RootKind kind;
        RegKey key;
    };
    const RootRow roots[] = {{ClassesRoot, kHkeyClassesRoot},
                             {MachineSoftware, kHkeyLocalMachine},
                             {MachineSystem, kHkeyLocalMachine},
                             {Users, kHkeyUsers}};
    REQUIRE(r.rootKind >= ClassesRoot && r.rootKind <= Users);
    REQUIRE(roots[r.rootKind].key == r.rootKey);
    REQUIRE(r.keyOnly == 0 || r.keyOnly == 1);
    REQUIRE(r.remove == 0 || r.remove == 1);
    REQUIRE(r.classesKey == 0 || r.classesKey == 1);
    if (r.classesKey == 1) REQUIRE(r.rootKind == ClassesRoot || r.rootKind == Users);
    if (r.rootKind == MachineSoftware) REQUIRE(StartsWith(r.keyPath, u"SOFTWARE\\"));
    if (r.rootKind == MachineSystem) REQUIRE(StartsWith(r.keyPath, u"SYSTEM\\"));
    // Fields are never cut and never made up: each is a piece of the line.
    for (const Text* field : {&r.valueName, &r.typeName, &r.target})
        REQUIRE(field->empty() || line.find(*field) != TextView::npos);
    if (r.remove == 1) REQUIRE(line.find(u"DELETE_REG") != TextView::npos);
    if (r.keyOnly == 1) {
        REQUIRE(r.data.empty() && r.dataSize == 0 && r.number == 0);
        REQUIRE(r.valueName.empty() && r.typeName.empty());
        return;
    }
    CheckValueBytes(r);
}

// The format's field cutting written out plainly, with the standard
// library's search, to hold the parser's faster one against.
class PlainCutter {
public:
    explicit PlainCutter(TextView line) : rest_(line) {}
    TextView Next() {
        const std::int64_t n = std::int64_t(rest_.size());
        const std::size_t found = rest_.find(u"*@*");
        const std::int64_t p = found == TextView::npos ? -1 : std::int64_t(found);
        const TextView field = p <= 0 ? TextView() : rest_.substr(0, std::size_t(p));
        const std::int64_t k = n - p - 3;
        rest_ = k <= 0 ? TextView() : k >= n ? rest_ : rest_.substr(std::size_t(n - k));
        return field;
    }
    TextView Rest() const { return rest_; }

private:
    TextView rest_;
};

// The spans the lint reads, held against the plain cutting: the fields the
// separators end, what follows the last of them, where the marker counts.
void CheckSpans(TextView line) {
    const LineSpans spans = CutLine(line);
    const auto part = [&](std::size_t k) {
        return line.substr(spans.parts[k].begin, spans.parts[k].end - spans.parts[k].begin);
    };
    PlainCutter cut(line);
    for (std::size_t field = 1; field < std::size(spans.parts); ++field) {
        const TextView rest = cut.Rest();
        const TextView plain = cut.Next();
        if (field <= spans.separators) REQUIRE(part(field - 1) == plain);
        if (field == spans.separators + 1) REQUIRE(part(field - 1) == rest && rest.find(u"*@*") == TextView::npos);
        if (field == std::size_t(kKeyField)) REQUIRE(line.substr(spans.markerFrom) == cut.Rest());
    }
    if (spans.separators + 1 == std::size(spans.parts)) REQUIRE(part(spans.separators) == cut.Rest());
}

PackageRecord PlainParse(TextView line, std::uint8_t& groups) {
    PackageRecord r;
    PlainCutter cut(line);
    cut.Next();
    const TextView root = cut.Next();
    TextView prefix;
    if (root.find(u"HKEY_CLASSES_ROOT") != TextView::npos) {
        r.rootKind = ClassesRoot;
        r.rootKey = kHkeyClassesRoot;
    } else if (root.find(u"HKEY_LOCAL_MACHINE\\SOFTWARE") != TextView::npos) {
        r.rootKind = MachineSoftware;
        r.rootKey = kHkeyLocalMachine;
        prefix = u"SOFTWARE\\";
    } else if (root.find(u"HKEY_LOCAL_MACHINE\\SYSTEM") != TextView::npos) {
        r.rootKind = MachineSystem;
        r.rootKey = kHkeyLocalMachine;
        prefix = u"SYSTEM\\";
    } else {
        r.rootKind = Users;
        r.rootKey = kHkeyUsers;
    }
    TextView key = cut.Next();
    if ((r.rootKind == ClassesRoot || r.rootKind == Users) &&
        StartsWith(key, u"Software\\Classes\\")) {
        key.remove_prefix(17);
        r.classesKey = 1;
    }
    r.keyPath = Text(prefix) + Text(key);
    r.remove = cut.Rest().find(u"DELETE_REG") != TextView::npos ? 1 : 0;
    const bool keyOnly = EqualsIgnoreAsciiCase(cut.Next(), u"True");
    if (keyOnly) {
        r.keyOnly = 1;
        if (r.rootKind != Users) return r;
        cut.Next();
        cut.Next();
        r.target = Text(cut.Next());
    } else {
        r.valueName = Text(cut.Next());
        r.typeName = Text(cut.Next());
        r.target = Text(cut.Next());
    }
    if (r.rootKind == Users) {
        const bool classes = r.classesKey == 1;
        if (EqualsIgnoreAsciiCase(r.target, u"All Users"))
            groups |= classes ? 0x30 : 0x03;
        else if (EqualsIgnoreAsciiCase(r.target, u"Administrator"))
            groups |= classes ? 0x20 : 0x02;
        else if (EqualsIgnoreAsciiCase(r.target, u"User"))
            groups |= classes ? 0x10 : 0x01;
    }
    if (!keyOnly) EncodeValueData(r, cut.Next());
    return r;
}

void CheckSameRecord(const PackageRecord& a, const PackageRecord& b) {
    REQUIRE(a.rootKey == b.rootKey && a.rootKind == b.rootKind);
    REQUIRE(a.keyPath == b.keyPath && a.classesKey == b.classesKey);
    REQUIRE(a.keyOnly == b.keyOnly && a.remove == b.remove);
    REQUIRE(a.valueName == b.valueName && a.typeName == b.typeName && a.target == b.target);
    REQUIRE(a.data == b.data && a.dataSize == b.dataSize && a.number == b.number);
    REQUIRE(a.unencodable == b.unencodable);
}

// The line's whole text as the value data of every type, against the forms
// the registry is given.
void CheckEncodings(TextView field) {
    const TextView types[] = {u"REG_SZ",       u"REG_EXPAND_SZ", u"REG_BINARY", u"REG_DWORD",
                              u"REG_MULTI_SZ", u"REG_QWORD",     u"REG_NONE"};
    for (TextView type : types) {
        PackageRecord r;
        r.typeName = Text(type);
        EncodeValueData(r, field);
        CheckValueBytes(r);
        const std::uint32_t code = ValueTypeCode(type).value_or(0);
        if (code == kRegSz || code == kRegExpandSz || code == 0)
            REQUIRE(r.dataSize == 2 * (field.size() + 1));
        if (code == kRegBinary) {
            bool narrow = true;
            std::size_t kept = 0;
            for (char16_t c : field) {
                if (c == u',') continue;
                ++kept;
                narrow = narrow && c <= 0xFF;
            }
            REQUIRE(r.unencodable == !narrow);
            if (narrow) REQUIRE(r.dataSize == kept);
        }
        if (code == kRegDword || code == kRegQword) {
            const std::size_t digits = code == kRegDword ? 8 : 16;
            REQUIRE(r.unencodable == (field.size() < digits + 2));
            // Where the digits are proper hexadecimal the number is theirs.
            if (!r.unencodable) {
                std::string hex;
                for (std::size_t i = 2; i < 2 + digits; ++i)
                    hex += field[i] < 0x80 ? char(field[i]) : 'z';
                if (hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                    REQUIRE(r.number == std::strtoull(hex.c_str(), nullptr, 16));
            }
        }
        if (code == kRegMultiSz && field.find(u'\r') == TextView::npos) {
            // Putting the marker back for each CR LF gives the field again.
            Text back;
            for (std::size_t i = 0; i + 1 < r.dataSize; i += 2) {
                const char16_t c = char16_t(r.data[i] | (r.data[i + 1] << 8));
                if (c == u'\n' && !back.empty() && back.back() == u'\r') {
                    back.pop_back();
                    back += u"*BreakLine*";
                } else {
                    back.push_back(c);
                }
            }
            REQUIRE(back == field);
        }

        // What the writer hands the registry matches the encoding.
        MemoryPlatform sys;
        RegKey key = 0;
        REQUIRE(sys.RegCreateKeyExW(kHkeyClassesRoot, u"K", 0, 0, kKeyAllAccess, nullptr, &key));
        r.valueName = u"V";
        WriteRecordValue(sys, r, key);
        const auto stored = sys.GetValue(kHkeyClassesRoot, u"K", u"V");
        const bool settable = code != 0 && !r.unencodable;
        REQUIRE(stored.has_value() == settable);
        if (settable) {
            REQUIRE(stored->type == code);
            const std::size_t size = code == kRegDword ? 4 : code == kRegQword ? 8 : r.dataSize;
            REQUIRE(stored->data.size() == size);
        }
        sys.RegCloseKey(key);
    }
}

}  // namespace
}  // namespace km

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace km;
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    std::vector<Text> lines;
    SplitPackageLines(bytes, [&](TextView line) { lines.emplace_back(line); });
    CheckLines(bytes, lines);

    std::uint8_t groups = 0;
    std::uint8_t plainGroups = 0;
    // The groups found while the file is read, from the undecoded line.
    const bool utf8 = EncodingOf(bytes) != Encoding::Utf16Le;
    const std::vector<std::string_view> raw =
        utf8 ? RawUtf8Lines(EncodingOf(bytes) == Encoding::Utf8WithMark ? std::string_view(bytes).substr(3)
                                                                        : std::string_view(bytes),
                            false)
             : std::vector<std::string_view>();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Text& line = lines[i];
        std::uint8_t lineGroups = 0;
        ParseRecordLine(line, lineGroups);
        REQUIRE(LineTargetGroups(TextView(line)) == lineGroups);
        if (utf8) REQUIRE(LineTargetGroups(raw[i]) == lineGroups);
        const PackageRecord r = ParseRecordLine(line, groups);
        CheckRecord(r, line);
        CheckSameRecord(r, PlainParse(line, plainGroups));
        CheckSpans(line);
    }
    REQUIRE((groups & ~0x33) == 0);
    REQUIRE(groups == plainGroups);
    // The encodings cost a platform each; the first lines are enough.
    for (std::size_t i = 0; i < lines.size() && i < 4; ++i) CheckEncodings(lines[i]);

    // Through the platform: one record per line, the same groups.
    MemoryPlatform sys;
    sys.files[kPath] = bytes;
    const PackageContents read = ReadPackageFile(sys, kPath);
    REQUIRE(read.result == PackageReadResult::Opened);
    REQUIRE(read.lines.size() == lines.size());
    REQUIRE(read.targetGroups == groups);
    // Decoded one at a time into one reused record, each as parsed alone.
    RecordReader reader(read.lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::uint8_t alone = 0;
        FirstBadByte bad;
        CheckSameRecord(reader.Read(i, &bad), ParseRecordLine(lines[i], alone));
        if (bad.byte != kNoBadByte) REQUIRE(utf8 && reader.LineText()[bad.unit] == 0xFFFD);
    }

    // A read error part way: only the lines read whole before it.
    const std::size_t cut = size / 2;
    sys.readErrorAfter[kPath] = cut;
    const PackageContents partialRead = ReadPackageFile(sys, kPath);
    REQUIRE(partialRead.result == PackageReadResult::ReadError);
    const PackageLines& partial = partialRead.lines;
    const std::string_view head(bytes.data(), cut);
    std::size_t complete = 0;
    if (EncodingOf(bytes) == Encoding::Utf16Le && cut >= 2) {
        complete = Utf16LineCount(head.substr(2), true);
    } else if (EncodingOf(bytes) != Encoding::Utf16Le) {
        // A UTF-8 mark cut short is no mark; it is read as part of the text.
        const bool mark = EncodingOf(head) == Encoding::Utf8WithMark;
        complete = RawUtf8Lines(mark ? head.substr(3) : head, true).size();
    }
    REQUIRE(partial.size() == complete);
    return 0;
}
