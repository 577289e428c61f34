// The current reader and pass against the reference ones
// (tests/reference): for every package the same records and target groups,
// and the same registry, run log, exit code and order of effects. Inputs:
// the fuzz seeds and regressions, the bad-input catalog, and generated
// packages made of runs of lines on one key, which the current pass keeps
// open, broken up by everything that must close it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/utf8_decode.h"
#include "platform/memory/memory_platform_print.h"
#include "tests/reference/pass_comparison.h"
#include "tests/unit/bad_input_catalog.h"

namespace km {
namespace {

using reference::PassSetup;

struct Input {
    std::string name;
    PassSetup setup;
};

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Every file of a fuzz folder, in name order.
std::vector<std::filesystem::path> FuzzFiles(const std::string& folder) {
    const std::string here = __FILE__;
    const std::filesystem::path dir =
        here.substr(0, here.rfind("/tests/unit/")) + "/fuzz/" + folder;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// The parser's seeds are package files; the pass fuzzer's inputs carry its
// flags and faults before the package.
std::vector<Input> FuzzInputs() {
    std::vector<Input> inputs;
    for (const auto& path : FuzzFiles("corpus/fuzz_package_parse")) {
        Input input{"fuzz_package_parse/" + path.filename().string(), {}};
        input.setup.package = FileBytes(path);
        inputs.push_back(input);
    }
    for (const char* folder : {"corpus/fuzz_update_pass", "regressions/fuzz_update_pass"}) {
        for (const auto& path : FuzzFiles(folder)) {
            const std::string bytes = FileBytes(path);
            const auto decoded = reference::DecodeFuzzInput(
                reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            if (decoded)
                inputs.push_back({std::string(folder) + "/" + path.filename().string(),
                                  reference::ComparableSetup(*decoded)});
        }
    }
    return inputs;
}

std::vector<Input> CatalogInputs() {
    std::vector<Input> inputs;
    for (const bad_input::Case& c : bad_input::Catalog()) {
        Input input{std::string("bad input: ") + c.name, {}};
        input.setup.package = c.package();
        input.setup.arrange = c.arrange;
        inputs.push_back(std::move(input));
    }
    return inputs;
}

// ---- Generated packages ----

struct KeySpot {
    const char* root;
    const char* key;
};
const KeySpot kMachineSpots[] = {
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\App"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\App\\"},
    // Opens and creates of it may fail: named without letters, as a failure
    // that came and went with the letters' case would be none the registry has.
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\#13"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", "Vend\xC3\xB6r"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE", ""},
    {"HKEY_LOCAL_MACHINE\\SYSTEM", "CurrentControlSet\\Services\\Km"},
    {"HKEY_CLASSES_ROOT", ".km"},
    {"HKEY_CLASSES_ROOT", "Software\\Classes\\.km"},
    {"HKEY_CLASSES_ROOT", "km.file\\shell\\open"},
    {"HKEY_CLASSES_ROOT", "SOFTWARE\\Vendor"},  // the path of a machine key, at another root
    {"[HKEY_LOCAL_MACHINE\\SOFTWARE]", "Vendor"},  // the root marker counts anywhere
};
const KeySpot kUserSpots[] = {
    {"HKEY_CURRENT_USER", "Software\\Vendor"},
    {"HKEY_CURRENT_USER", "Environment"},
    {"HKEY_CURRENT_USER", "Software\\Classes\\.km"},
    {"HKEY_CURRENT_USER", "software\\classes\\.km"},  // the prefix is matched in its case
    {"HKEY_CURRENT_USER", "Software\\Classes"},
    {"HKEY_CURRENT_USER", "Software"},
    {"HKEY_USERS", "Seeded"},
    {"", "Vendor"},
    {"hkey_local_machine\\software", "Vendor"},  // a root in another case is a per-user one
};
const char* const kTargets[] = {"All Users", "all users", "Administrator", "ADMINISTRATOR",
                                "User",      "user",      "Nobody",        "",
                                "All Users "};
const char* const kNames[] = {"Name", "name", "NAME", "D", "Other", "", "\xC3\x9Cn\xC3\xAF",
                              "Refused"};
const char* const kKeyOnlyWords[] = {"True", "true", "TRUE", "True "};

struct TypedData {
    const char* type;
    const char* data;
};
const TypedData kValues[] = {
    {"REG_SZ", "x"},
    {"reg_sz", "text with spaces"},
    {"REG_SZ", ""},
    {"REG_EXPAND_SZ", "%SystemRoot%\\km"},
    {"REG_SZ", "\xC3\xA9"},
    {"REG_DWORD", "0x0000000A"},
    {"REG_DWORD", "0x1"},
    {"REG_DWORD", "0x0000000G"},
    {"REG_QWORD", "0x00000000000000FF"},
    {"REG_QWORD", "0x0000000A"},
    {"REG_BINARY", "ab,cd"},
    {"REG_BINARY", "01\xC4\x80"},
    {"REG_MULTI_SZ", "a*BreakLine*b"},
    {"REG_MULTI_SZ", "*BreakLine*"},
    {"REG_NONE", "x"},
    {"", "x"},
};
const char* const kBadBytes[] = {"\xC3", "\xFF", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80"};

class PackageMaker {
public:
    explicit PackageMaker(std::uint32_t seed) : random_(seed) {}

    PassSetup Make() {
        PassSetup setup;
        std::vector<std::string> lines;
        const std::size_t wanted = 1 + Pick(30);
        while (lines.size() < wanted) AddRun(lines);
        const bool crLf = Chance(50);
        std::string text;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            text += lines[i];
            const bool last = i + 1 == lines.size();
            if (!last || Chance(70)) text += crLf || Chance(10) ? "\r\n" : "\n";
        }
        setup.package = Encoded(text);
        setup.wow64 = Chance(80);
        setup.packageArgument = Chance(80);
        if (Chance(30)) {
            setup.textFaults = {{SeamOp::RegCreateKeyExW, u"#13"},
                                {SeamOp::RegOpenKeyExW, u"#13"},
                                {SeamOp::RegSetValueExW, u"Refused"},
                                {SeamOp::RegDeleteKeyValueW, u"Refused"}};
        }
        if (Chance(10)) {
            const SeamOp ops[] = {SeamOp::RegSetValueExW, SeamOp::RegDeleteKeyValueW,
                                  SeamOp::RegDeleteTreeW, SeamOp::RegDeleteKeyExW};
            setup.nthFaults.emplace_back(ops[Pick(4)], 1 + Pick(8));
        }
        if (Chance(10)) setup.cancelAfterWrites = 1 + Pick(6);
        return setup;
    }

private:
    std::size_t Pick(std::size_t n) { return random_() % n; }
    bool Chance(std::size_t percent) { return Pick(100) < percent; }
    template <class T, std::size_t N>
    const T& OneOf(const T (&items)[N]) {
        return items[Pick(N)];
    }

    // ASCII letters in either case: the registry, and the key kept open,
    // take them as the same key.
    std::string Varied(std::string text) {
        if (Chance(50)) return text;
        for (char& c : text)
            if (std::isalpha(static_cast<unsigned char>(c)) && Chance(30)) c ^= 0x20;
        return text;
    }

    // A NUL or a bad UTF-8 sequence somewhere in the field, now and then.
    std::string Damaged(std::string field) {
        if (Chance(4)) field.insert(Pick(field.size() + 1), 1, '\0');
        if (Chance(4)) field.insert(Pick(field.size() + 1), OneOf(kBadBytes));
        return field;
    }

    static std::string Fields(std::initializer_list<std::string> fields) {
        std::string line;
        for (const std::string& field : fields) line += field + "*@*";
        line.resize(line.size() - 3);
        return line;
    }

    // Lines on one key: values set and removed, a key-only line now and then
    // (which closes the key), and other lines between.
    void AddRun(std::vector<std::string>& lines) {
        const bool perUser = Chance(30);
        const KeySpot& spot = perUser ? OneOf(kUserSpots) : OneOf(kMachineSpots);
        const std::size_t length = 1 + Pick(6);
        for (std::size_t i = 0; i < length; ++i) {
            const std::string root = Chance(5) ? Varied(spot.root) : spot.root;
            const std::string key = Damaged(Varied(spot.key));
            const std::string target = OneOf(kTargets);
            const std::string name = Damaged(Varied(OneOf(kNames)));
            const std::size_t kind = Pick(100);
            if (kind < 55) {
                const TypedData& value = OneOf(kValues);
                const std::string data = Damaged(value.data);
                if (Chance(90)) {
                    lines.push_back(
                        Fields({"1", root, key, "", name, value.type, target, data, ""}));
                } else {  // no separator after the data: it does not count
                    lines.push_back(Fields({"1", root, key, "", name, value.type, target, data}));
                }
            } else if (kind < 80) {
                lines.push_back(Fields({"1", root, key, "", name, OneOf(kValues).type, target, "",
                                        "DELETE_REG"}));
            } else if (kind < 92) {
                lines.push_back(Fields({"1", root, key, OneOf(kKeyOnlyWords), "", "", target,
                                        Chance(40) ? "DELETE_REG" : "", ""}));
            } else if (kind < 96) {
                const KeySpot& other = OneOf(kUserSpots);
                lines.push_back(Fields({"1", other.root, other.key, "", "Name", "REG_SZ",
                                        OneOf(kTargets), "y", ""}));
            } else {
                const char* const odd[] = {"", "*@*", "1*@*", "garbage", "*@**@**@**@**@**@**@*"};
                lines.push_back(OneOf(odd));
            }
        }
    }

    // UTF-8 as it is, after a byte-order mark, or as UTF-16LE after its mark.
    std::string Encoded(const std::string& utf8) {
        const std::size_t pick = Pick(10);
        if (pick == 0) return "\xEF\xBB\xBF" + utf8;
        if (pick != 1) return utf8;
        std::vector<char16_t> units(utf8.size());
        units.resize(DecodeUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(),
                                units.data()));
        std::string bytes = "\xFF\xFE";
        for (char16_t unit : units) {
            bytes += char(unit & 0xFF);
            bytes += char(unit >> 8);
        }
        if (Chance(20)) bytes += 'A';  // an odd last byte is no unit
        return bytes;
    }

    std::mt19937 random_;
};

std::vector<Input> GeneratedInputs() {
    constexpr std::size_t kPackages = 300;
    PackageMaker maker(20240611);  // fixed: the same packages on every run
    std::vector<Input> inputs;
    for (std::size_t i = 0; i < kPackages; ++i) {
        Input input{"generated #" + std::to_string(i), maker.Make()};
        input.name += " " + Quoted(input.setup.package);
        inputs.push_back(std::move(input));
    }
    return inputs;
}

TEST(PassDifferentialTest, CurrentReaderAndPassGiveTheReferenceResults) {
    std::vector<Input> inputs = FuzzInputs();
    ASSERT_GE(inputs.size(), 20u) << "the fuzz seeds were not found";
    for (auto* more : {&CatalogInputs, &GeneratedInputs})
        for (Input& input : more()) inputs.push_back(std::move(input));

    std::size_t keyOpensSaved = 0;
    for (const Input& input : inputs) {
        // Records of the huge catalog cases are compared through their passes
        // only: keeping a million of them decoded twice over costs seconds.
        if (input.setup.package.size() <= (1u << 20)) {
            EXPECT_EQ(reference::ParseDifference(input.setup.package), "") << input.name;
        }
        const reference::PassComparison passes = reference::ComparePasses(input.setup);
        EXPECT_EQ(passes.difference, "") << input.name;
        EXPECT_LE(passes.currentKeyOpens, passes.referenceKeyOpens) << input.name;
        keyOpensSaved += passes.referenceKeyOpens -
                         std::min(passes.referenceKeyOpens, passes.currentKeyOpens);
    }
    // The inputs did take the current pass's shared-key path.
    EXPECT_GT(keyOpensSaved, 500u);
}

}  // namespace
}  // namespace km
