// The .reg reader held against `reg import`, native side:
//   keymason_reg_import_diff generate DIR COUNT SEED
//       writes DIR/tNNNN.reg: .reg texts in both encodings with valid lines,
//       each kind of malformed line, continuations, escapes, comments and odd
//       headers. Text N touches only ...\KmD\N below HKCU (or HKCR).
//   keymason_reg_import_diff compare DIR COUNT PROBE_TREE EXIT_CODES
//       reads each text with the reader, lays what it sets into a tree of its
//       own and holds it against what the probe read back after reg import
//       (PROBE_TREE: `keymason_probe tree HKCU\Software\KmD HKCR\KmD`;
//       EXIT_CODES: "N CODE" a line). Prints each disagreement; exit code 1
//       on any.
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "toolkit/reg_file.h"
#include "toolkit/text_codec.h"
#include "platform/registry_case.h"
#include "platform/text.h"

namespace {

using km::Bytes;
using km::StoredValue;
using km::Text;
using km::TextView;
using km::toolkit::RegFile;

// ---------------------------------------------------------------------------
// Generating.

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 2862933555777941757ull + 3037000493ull) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return std::uint32_t(state_ >> 11);
    }
    std::size_t Below(std::size_t n) { return Next() % n; }
    bool OneIn(std::size_t n) { return Below(n) == 0; }
    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) { return items[Below(N)]; }

private:
    std::uint64_t state_;
};

// Texts are built as UTF-8 and encoded at the end; "{K}" stands for the
// text's own key below the root, "{R}" for a spelling of the root.
const char* const kUserRoots[] = {"HKEY_CURRENT_USER", "HKCU", "hkcu", "hKeY_cUrReNt_UsEr", "Hkcu"};

const char* const kKeyLines[] = {
    "[{R}\\{K}]",          "[{R}\\{K}\\a]",          "[{R}\\{K}\\b c]",        "[{R}\\{K}\\a\\d]",
    "[{R}\\{K}\\A]",        "[{R}\\{K}\\a\\]",        "[{R}\\{K}\\\\a]",        "[{R}\\{K}\\a]]",
    "[{R}\\{K}\\e]x]",      "[{R}\\{K}\\f] ; c",      "[{R}\\{K}\\g]junk",      "  [{R}\\{K}\\h]",
    "\t[{R}\\{K}\\i ]",     "[ {R}\\{K}\\j]",         "[\t{R}\\{K}\\j]",        "[-{R}\\{K}\\a]",
    "[-{R}\\{K}\\a\\d]",    "[-{R}\\{K}\\b c] x",     "[- {R}\\{K}\\a]",        "[ -{R}\\{K}\\a]",
    "[{R}\\{K}\\k",         "[HKEY_NOPE\\{K}\\l]",    "[{R}\\\\{K}\\m]",        "[]",
    "[{R}\\{K}\\\xc3\xbc\xe2\x82\xac]", "[{R}\\{K}\\n\\\\]", "[{R}X\\{K}\\o]", "[-{R}\\{K}]",
    // Letters beyond ASCII that the registry upcases (Ü, Σ) and that it does
    // not fold to a letter of another (micro sign and Mu, dotless i and I).
    "[{R}\\{K}\\\xc3\x9c\xe2\x82\xac]", "[{R}\\{K}\\\xcf\x83]", "[{R}\\{K}\\\xce\xa3]",
    "[{R}\\{K}\\\xc2\xb5]", "[{R}\\{K}\\\xce\x9c]", "[{R}\\{K}\\\xc4\xb1]", "[{R}\\{K}\\I]",
};

const char* const kNames[] = {"@", "\"v\"", "\"w x\"", "\"q\\\"t\"", "\"b\\\\s\"", "\"\"", "\"V\"",
                              "\"t\\tn\"", "\"z\\0n\"", "\"\xc3\xa9\"", "\"a=b\"", "@x", "v", "\"u",
                              "\"\xc3\x89\"", "\"\xc5\xbf\"", "\"S\""};

const char* const kEquals[] = {"=", "=", "=", " = ", "\t=\t", "==", " "};

const char* const kStrings[] = {
    "\"x\"",          "\"\"",            "\"a\\\\b\"",      "\"q\\\"q\"",      "\"l\\nr\\r\"",
    "\"t\\ty\"",      "\"n\\0m\"",       "\"k\\a\"",        "\"open",          "\"x\" ;c",
    "\"x\";c",        "\"x\"#c",         "\"x\" #c",        "\"x\"y",          "\"x\" ",
    "\"[]=\"",        "\"\xc3\xa9\xe2\x82\xac\"", "\"x\\",  "\"\\\"",          "\"; not a comment\"",
};

const char* const kDwords[] = {
    "dword:0",         "dword:ffffffff",  "dword:00000001",  "dword:123456789", "dword:",
    "dword: 1",        "dword:\t2",       "dword:3 ",        "dword:4 ;c",      "dword:5;c",
    "dword:6 #c",      "dword:0x7",       "dword:+8",        "dword:-9",        "DWORD:a",
    "dword :b",        "dword:1g",        "dword:0000000000c", "dword:Deadbeef", "dword:1,",
};

const char* const kHexBodies[] = {
    "",             "01",            "01,02",         "1,2,3",          "01,",
    "01,,02",       "123",           "0001",          "0ff",            "100",
    " 01,02",       "01 ,02",        "01, 02",        "01,\t02",        "01,02 ",
    "01;c",         "01 ;c",         "01 #c",         "0x1,0X2",        "+1",
    "-1",           "-0",            "01,2 3",        "zz",             "41,00,42,00,00,00",
    "41,00,00,00",  "41,42,00",      "00,00",         "e9,80,00,00",    "01,02,03,04,05,06,07,08",
};

// Continuations: what follows "hex...:" up to the end of the text's lines.
const char* const kHexContinuations[] = {
    "01,\\\n  02",          "01,\\\n02,\\\n03",    "01,\\\n; c\n  02",      "01,\\\n# c\n  02",
    "01,\\\n\n02",          "01\\\n02",            "01, \\\n02",            "01,\\ \n02",
    "\\\n01",               "01,\\\n\\\n02",       "01,\\\n\"x\"=\"y\"",    "01,\\\n02 ;c",
    "01,\\\n  ; c\n02,\\\n03", "01,\\\n[{R}\\{K}\\p]", "01,\\\n02\n03",      "01,\\x\n02",
};

// String types' data: never one byte, for Wine's sake.
const char* const kStringHexBodies[] = {
    "",                  "41,00,42,00,00,00", "41,00,00,00",     "41,42,00",     "00,00",
    "e9,80,00,00",       "41,00,\\\n  42,00", "01,,02",        "zz",           "41, 00",
    "41,00,\\\n\n00,00", "41,00 ;c",         "41,00,\\\n\\\n00",
};

const char* const kHexTypes[] = {"hex:", "hex(0):", "hex(1):", "hex(2):", "hex(3):", "hex(4):", "hex(7):",
                                 "hex(b):", "hex( 2):", "hex(+7):", "hex(-2):", "hex(80000000):", "hex():",
                                 "hex(2 ):", "hex(0x2):", "HEX:", "hex(A):", "hex(12345678):", "hex (2):",
                                 "hex(ffffffff):"};

const char* const kOtherLines[] = {
    "; comment",   "# comment",   "  ; comment", "\t# comment", "",            "   ",
    "junk",        "=\"x\"",      "\"v\"",       "-",           "\"v\"=-",     "@=-",
    "\"v\" = -",   "\"v\"=-;c",   "\"v\"=-x",    "\"v\"=--",    "\"w x\"=\t-",
    "\"n\"=\"x{NUL}y\"", "\"n\"=dword:1{NUL}\"m\"=\"1\"",
    "  \"s\"=\"1\"", "\t@=\"2\"",   "\"c\"=hex:01,\\ ;c\n02", "\"c\"=hex:01,\\;c\n02", "\"c\"=dword:1\\",
};

bool IsStringType(const std::string& type) {
    return type == "hex(1):" || type == "hex(2):" || type == "hex(7):" || type == "hex( 2):" ||
           type == "hex(+7):";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string ValueLine(Random& r) {
    std::string line = r.OneIn(6) ? std::string("\"v\"") : r.Pick(kNames);
    line += r.OneIn(5) ? r.Pick(kEquals) : "=";
    switch (r.Below(5)) {
        case 0: return line + r.Pick(kStrings);
        case 1: return line + r.Pick(kDwords);
        case 2:
        case 3: {
            const std::string type = r.Pick(kHexTypes);
            // Wine's reg.exe crashes on string data of one byte.
            if (IsStringType(type)) return line + type + r.Pick(kStringHexBodies);
            return line + type + (r.OneIn(3) ? r.Pick(kHexContinuations) : r.Pick(kHexBodies));
        }
        default: return line + "\"" + std::to_string(r.Below(100)) + "\"";
    }
}

std::string Win31Text(Random& r) {
    const char* const lines[] = {
        "HKEY_CLASSES_ROOT\\{K} = v1", "HKEY_CLASSES_ROOT\\{K}\\a = v2", "HKEY_CLASSES_ROOT\\{K}\\b =v3",
        "HKEY_CLASSES_ROOT\\{K}\\c= v4", "HKEY_CLASSES_ROOT\\{K}\\d",   "HKEY_CLASSES_ROOT\\{K}\\e = ",
        "HKEY_CLASSES_ROOT\\{K}\\f = a = b", "HKEY_CLASSES_ROOT\\{K}\\g  =  v", "HKEY_CLASSES_ROOT\\{K}\\h\\ = v",
        "  HKEY_CLASSES_ROOT\\{K}\\i = v", "hkey_classes_root\\{K}\\j = v", "HKCR\\{K}\\k = v",
        "HKEY_CLASSES_ROOTX\\{K}\\l = v", "; HKEY_CLASSES_ROOT\\{K}\\m = v", "HKEY_CLASSES_ROOT\\{K}\\n = \"q\\n\"",
        "[HKEY_CLASSES_ROOT\\{K}\\o]", "",
    };
    std::string text = "REGEDIT\n";
    const std::size_t count = 1 + r.Below(6);
    for (std::size_t i = 0; i < count; ++i) text += std::string(r.Pick(lines)) + "\n";
    return text;
}

enum class Encoding { kUtf16, kUtf16NoMark, kAnsi, kUtf8, kUtf8Mark };

struct Generated {
    std::string bytes;
};

std::string Encode(const std::string& utf8, Encoding encoding, const std::string& lineEnd) {
    const std::string text = Replace(utf8, "\n", lineEnd);
    const Text units = km::toolkit::DecodeUtf8(text).text;
    switch (encoding) {
        case Encoding::kUtf16:
            return "\xFF\xFE" + km::toolkit::EncodeUtf16Le(units);
        case Encoding::kUtf16NoMark:
            return km::toolkit::EncodeUtf16Le(units);
        case Encoding::kUtf8: return text;
        case Encoding::kUtf8Mark: return "\xEF\xBB\xBF" + text;
        case Encoding::kAnsi: {
            // The generated characters that Windows-1252 holds.
            std::string bytes;
            for (char16_t c : units) bytes += c == u'\u20AC' ? '\x80' : char(c < 0x100 ? c : '?');
            return bytes;
        }
    }
    return text;
}

std::string GenerateText(Random& r, int number, Encoding* encoding) {
    const std::string key = "Software\\KmD\\" + std::to_string(number);
    const char* const headers[] = {
        "Windows Registry Editor Version 5.00", "Windows Registry Editor Version 5.00", "REGEDIT4",
        " REGEDIT4", "\tWindows Registry Editor Version 5.00", "REGEDIT4 FOO", "REGEDIT5",
        "\nREGEDIT4", "; c\nREGEDIT4", "regedit4", "Windows Registry Editor Version 5.00 ", "REGEDI",
    };
    const Encoding encodings[] = {Encoding::kUtf16, Encoding::kUtf16, Encoding::kAnsi, Encoding::kUtf8,
                                  Encoding::kUtf16NoMark, Encoding::kUtf8Mark};
    *encoding = r.OneIn(3) ? r.Pick(encodings) : Encoding::kUtf16;
    std::string text;
    if (r.OneIn(12)) {
        text = Win31Text(r);
    } else {
        std::string header = r.OneIn(4) ? r.Pick(headers) : headers[r.Below(3)];
        // Windows refuses a UTF-16LE file headed REGEDIT4, where Wine reads
        // it; the unit tests hold that case.
        if (header.find("REGEDIT4") != std::string::npos &&
            (*encoding == Encoding::kUtf16 || *encoding == Encoding::kUtf16NoMark))
            header = "Windows Registry Editor Version 5.00";
        text = header + "\n\n[{R}\\{K}]\n";
        const std::size_t keys = 1 + r.Below(3);
        for (std::size_t k = 0; k < keys; ++k) {
            if (k > 0 || r.OneIn(3)) text += std::string(r.Pick(kKeyLines)) + "\n";
            const std::size_t lines = r.Below(6);
            for (std::size_t i = 0; i < lines; ++i)
                text += (r.OneIn(5) ? std::string(r.Pick(kOtherLines)) : ValueLine(r)) + "\n";
        }
        if (r.OneIn(8)) text.pop_back();  // no line end after the last line
    }
    text = Replace(text, "{K}", key);
    text = Replace(text, "{R}", r.Pick(kUserRoots));
    text = Replace(text, "{NUL}", std::string(1, '\0'));
    return text;
}

int Generate(const std::string& dir, int count, std::uint64_t seed) {
    Random r(seed);
    const char* const lineEnds[] = {"\r\n", "\r\n", "\r\n", "\n", "\r"};
    for (int n = 0; n < count; ++n) {
        Encoding encoding;
        const std::string text = GenerateText(r, n, &encoding);
        char name[32];
        std::snprintf(name, sizeof name, "/t%04d.reg", n);
        std::ofstream(dir + name, std::ios::binary) << Encode(text, encoding, r.Pick(lineEnds));
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Comparing.

struct KeyState {
    std::map<Text, std::pair<Text, StoredValue>> values;  // folded name -> name, value
    Text spelled;                                          // the path as reg import left it
};
using Tree = std::map<Text, KeyState>;  // folded full path -> key

// Names as the platform's registry tells them apart; a disagreement with
// reg import shows as a key or value one side has and the other lacks.
Text Fold(TextView text) { return km::RegistryFold(text); }

Text ShortRoot(km::RegKey root) {
    return root == km::kHkeyClassesRoot ? u"HKCR" : root == km::toolkit::kHkeyCurrentUser ? u"HKCU" : u"OTHER";
}

bool Below(const Text& path, const Text& top) {
    return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == u'\\');
}

// What reg import would leave on a machine without the text's keys.
Tree Expected(const RegFile& file) {
    Tree tree;
    for (const km::toolkit::RegFileSection& section : file.sections) {
        const Text full = Fold(ShortRoot(section.root) + (section.path.empty() ? Text() : u"\\" + section.path));
        if (section.remove) {
            for (auto it = tree.begin(); it != tree.end();) it = Below(it->first, full) ? tree.erase(it) : std::next(it);
            continue;
        }
        for (std::size_t cut = full.find(u'\\'); cut != Text::npos; cut = full.find(u'\\', cut + 1))
            tree[full.substr(0, cut)];
        KeyState& key = tree[full];
        for (const km::toolkit::RegFileValue& value : section.values) {
            if (value.remove) key.values.erase(Fold(value.name));
            else key.values[Fold(value.name)] = {value.name, value.value};
        }
    }
    return tree;
}

// Wine's RegSetValueExW ends string data the caller left unended: it writes a
// zero character over an odd last byte's place and keeps the size two bytes
// longer. Windows stores the bytes as given; the reader says what was given.
StoredValue AsWineStores(StoredValue value) {
    Bytes& d = value.data;
    const bool stringType = value.type == km::kRegSz || value.type == km::kRegExpandSz || value.type == km::kRegMultiSz;
    if (!stringType || d.empty()) return value;
    if (d.size() % 2 == 0 && d[d.size() - 2] == 0 && d[d.size() - 1] == 0) return value;
    const std::size_t size = d.size() + 2;
    d.resize(d.size() / 2 * 2);
    d.resize(size, 0);
    return value;
}

std::uint32_t TypeNumber(const std::string& name) {
    const std::pair<const char*, std::uint32_t> names[] = {
        {"REG_NONE", 0}, {"REG_SZ", 1}, {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3}, {"REG_DWORD", 4},
        {"REG_DWORD_BIG_ENDIAN", 5}, {"REG_LINK", 6}, {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11}};
    for (const auto& n : names)
        if (name == n.first) return n.second;
    return std::uint32_t(std::stoul(name));
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The probe's "key"/"value" lines; a value's name is bracketed and may hold "]".
Tree ReadProbeTree(const std::string& fileName) {
    Tree tree;
    std::ifstream in(fileName, std::ios::binary);
    std::string line;
    KeyState* key = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("key ", 0) == 0) {
            const Text path = km::toolkit::DecodeUtf8(line.substr(4)).text;
            key = &tree[Fold(path)];
            // Two keys reg import kept apart that the fold would merge.
            if (!key->spelled.empty() && key->spelled != path) tree[Fold(path) + u"\\(kept apart: " + path + u")"];
            key->spelled = path;
        } else if (line.rfind("value [", 0) == 0 && key) {
            const std::size_t typeAt = line.rfind("] type=");
            const std::size_t sizeAt = line.find(" size=", typeAt);
            const std::size_t dataAt = line.find(" data=", sizeAt);
            const Text name = km::toolkit::DecodeUtf8(line.substr(7, typeAt - 7)).text;
            const StoredValue value{TypeNumber(line.substr(typeAt + 7, sizeAt - typeAt - 7)), FromHex(line.substr(dataAt + 6))};
            auto& slot = key->values[Fold(name)];
            if (!slot.first.empty() && slot.first != name) key->values[u"(kept apart) " + name] = {name, value};
            slot = {name, value};
        }
    }
    return tree;
}

std::string U8(TextView text) { return km::ToUtf8(text); }

std::string Describe(const StoredValue& v) {
    std::string out = std::to_string(v.type) + ":";
    char buf[4];
    for (std::uint8_t b : v.data) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// Every difference between the two trees below `top`.
std::vector<std::string> Differences(const Tree& expected, const Tree& actual, const Text& top) {
    std::vector<std::string> out;
    for (const auto& [path, key] : expected) {
        if (!Below(path, top)) continue;
        const auto found = actual.find(path);
        if (found == actual.end()) {
            out.push_back("reader sets key " + U8(path) + ", reg import does not");
            continue;
        }
        for (const auto& [folded, value] : key.values) {
            const auto other = found->second.values.find(folded);
            if (other == found->second.values.end())
                out.push_back("reader sets " + U8(path) + " [" + U8(value.first) + "], reg import does not");
            else if (!(AsWineStores(value.second) == other->second.second))
                out.push_back(U8(path) + " [" + U8(value.first) + "]: reader " + Describe(value.second) +
                              ", reg import " + Describe(other->second.second));
        }
        for (const auto& [folded, value] : found->second.values)
            if (!key.values.count(folded))
                out.push_back("reg import sets " + U8(path) + " [" + U8(value.first) + "], reader does not");
    }
    for (const auto& [path, key] : actual)
        if (Below(path, top) && !expected.count(path))
            out.push_back("reg import sets key " + U8(path) + ", reader does not");
    return out;
}

std::string ReadAll(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

int Compare(const std::string& dir, int count, const std::string& probeTree, const std::string& exitCodes) {
    const Tree actual = ReadProbeTree(probeTree);
    std::map<int, int> codes;
    {
        std::ifstream in(exitCodes);
        int n = 0, code = 0;
        while (in >> n >> code) codes[n] = code;
    }
    int agreeing = 0;
    for (int n = 0; n < count; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "t%04d.reg", n);
        const std::string bytes = ReadAll(dir + "/" + name);
        std::vector<std::string> problems;
        if (!codes.count(n)) problems.push_back("reg import did not run");
        km::toolkit::RegFileError error;
        const auto file = km::toolkit::ParseRegFile(bytes, &error);
        const int code = codes.count(n) ? codes[n] : -1;
        if (code != 0 && code != 1) problems.push_back("reg import ended with " + std::to_string(code));
        else if (!file && code == 0) problems.push_back("reader refuses (" + error.message + "), reg import exits 0");
        else if (file && code == 1) problems.push_back("reader accepts, reg import exits 1");
        const Tree expected = file ? Expected(*file) : Tree();
        for (const char16_t* root : {u"HKCU\\SOFTWARE\\KMD\\", u"HKCR\\SOFTWARE\\KMD\\"})
            for (const std::string& p : Differences(expected, actual, Text(root) + km::Widen(std::to_string(n))))
                problems.push_back(p);
        if (problems.empty()) {
            ++agreeing;
            continue;
        }
        for (const std::string& p : problems) std::printf("%s/%s: %s\n", dir.c_str(), name, p.c_str());
    }
    std::printf("%d of %d texts: the reader and reg import agree\n", agreeing, count);
    return count > 0 && agreeing == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "generate") return Generate(args[1], std::stoi(args[2]), std::stoull(args[3]));
    if (args.size() == 5 && args[0] == "compare") return Compare(args[1], std::stoi(args[2]), args[3], args[4]);
    std::fputs("usage: keymason_reg_import_diff generate DIR COUNT SEED | compare DIR COUNT PROBE_TREE EXIT_CODES\n", stderr);
    return 2;
}
