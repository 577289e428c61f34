// keymason_regdiff: compares registry state written as .reg files, key by
// key and value by value (type and exact bytes), below the keys named with
// --key. The end-to-end suite holds keymason-check's --out result against
// what `reg export` reads back from Wine after Keymason ran.
//
//   keymason_regdiff [--partial] --key KEY... EXPECTED.reg ACTUAL.reg...
//
// --partial: EXPECTED holds only the keys a plan against the live machine
// read (the keys its package touches and what lies above them); keys it
// lacks, and keys beside the compared ones, are no difference.
//
// KEY is spelled with its root's long name (HKEY_LOCAL_MACHINE\...). The
// ACTUAL files are read as one state. Each difference is a line; exit code 0
// when none, 1 when some, 2 when a file cannot be read or the usage is wrong.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "toolkit/file_io.h"
#include "toolkit/reg_file.h"
#include "toolkit/text_codec.h"
#include "check/value_text.h"
#include "platform/registry_case.h"
#include "platform/text.h"

namespace {

using km::StoredValue;
using km::Text;
using km::TextView;

// Names as the registry tells them apart.
Text Folded(TextView text) { return km::RegistryFold(text); }

struct NamedValue {
    Text name;
    StoredValue value;
};

struct KeyState {
    Text spelled;  // the compared key as given, then the path below it as the file spells it
    std::map<Text, NamedValue> values;  // by folded name
};

// Keys by folded full path.
using State = std::map<Text, KeyState>;

struct Comparison {
    std::vector<Text> keys;     // as given
    std::vector<Text> folded;
    std::vector<std::string> differences;
    std::vector<std::string> notes;
    bool partial = false;
    const State* expectedState = nullptr;
};

std::string U8(TextView text) { return km::ToUtf8(text); }

std::string ValueRef(const Text& key, const Text& name) {
    return U8(key) + " " + (name.empty() ? std::string("(default)") : km::check::QuotedText(name));
}

// Index of the compared key at or above `path` (folded), or -1.
int CoveringKey(const Comparison& c, const Text& path) {
    for (std::size_t i = 0; i < c.folded.size(); ++i) {
        const Text& key = c.folded[i];
        if (path == key || (path.size() > key.size() && path.compare(0, key.size(), key) == 0 &&
                            path[key.size()] == u'\\'))
            return int(i);
    }
    return -1;
}

bool AboveSomeKey(const Comparison& c, const Text& path) {
    for (const Text& key : c.folded)
        if (key.size() > path.size() && key.compare(0, path.size(), path) == 0 && key[path.size()] == u'\\')
            return true;
    return false;
}

bool Load(const std::string& fileName, Comparison& c, State& state) {
    std::string bytes;
    if (!km::toolkit::ReadFileBytes(km::toolkit::DecodeUtf8(fileName).text, &bytes)) {
        std::fprintf(stderr, "keymason_regdiff: %s: cannot be read\n", fileName.c_str());
        return false;
    }
    km::toolkit::RegFileError error;
    const auto file = km::toolkit::ParseRegFile(bytes, &error);
    if (!file) {
        std::fprintf(stderr, "keymason_regdiff: %s:%d: %s\n", fileName.c_str(), error.line, error.message.c_str());
        return false;
    }
    for (const km::toolkit::RegFileSection& section : file->sections) {
        const Text full = km::toolkit::RootName(section.root) + (section.path.empty() ? Text() : u"\\" + section.path);
        const Text folded = Folded(full);
        const int covering = CoveringKey(c, folded);
        if (covering < 0) {
            // The roots and keys above the compared ones come with every
            // export and every snapshot; anything beside them is a stray.
            if (!AboveSomeKey(c, folded) && !section.path.empty() && !(c.partial && &state == c.expectedState))
                c.differences.push_back(fileName + ": key outside the compared ones: " + U8(full));
            continue;
        }
        if (section.remove) {
            c.differences.push_back(fileName + ": removes a key: " + U8(full));
            continue;
        }
        KeyState& key = state[folded];
        key.spelled = c.keys[std::size_t(covering)] + full.substr(c.keys[std::size_t(covering)].size());
        for (const km::toolkit::RegFileValue& value : section.values) {
            if (value.remove) {
                c.differences.push_back(fileName + ": removes a value: " + ValueRef(full, value.name));
                continue;
            }
            key.values[Folded(value.name)] = NamedValue{value.name, value.value};
        }
    }
    return true;
}

// Wine's RegSetValueExW, like Windows NT, counts a string's terminator the
// caller left out: the engine hands a REG_MULTI_SZ over as 2*len bytes whose
// last character is not zero, and Wine stores 2*len+2 with 00 00 after it.
// Only that exact shape is taken as equal.
bool WineAddedTerminator(const StoredValue& expected, const StoredValue& actual) {
    const km::Bytes& e = expected.data;
    if (expected.type != km::kRegMultiSz || actual.type != km::kRegMultiSz) return false;
    if (e.size() < 2 || e.size() % 2 != 0 || (e[e.size() - 2] == 0 && e[e.size() - 1] == 0)) return false;
    if (actual.data.size() != e.size() + 2) return false;
    return std::equal(e.begin(), e.end(), actual.data.begin()) && actual.data[e.size()] == 0 &&
           actual.data[e.size() + 1] == 0;
}

void CompareKey(const KeyState& expected, const KeyState& actual, Comparison& c) {
    const Text& key = expected.spelled;
    if (expected.spelled != actual.spelled)
        c.differences.push_back("key spelled " + U8(actual.spelled) + ", expected " + U8(expected.spelled));
    for (const auto& [folded, want] : expected.values) {
        const auto found = actual.values.find(folded);
        if (found == actual.values.end()) {
            c.differences.push_back("missing value " + ValueRef(key, want.name) + ": expected " +
                                    km::check::ValueText(want.value));
            continue;
        }
        const NamedValue& got = found->second;
        if (got.name != want.name)
            c.differences.push_back("value " + ValueRef(key, want.name) + " spelled " +
                                    km::check::QuotedText(got.name));
        if (got.value == want.value) continue;
        if (WineAddedTerminator(want.value, got.value)) {
            c.notes.push_back("terminator added: " + ValueRef(key, want.name));
            continue;
        }
        c.differences.push_back("value " + ValueRef(key, want.name) + ": expected " +
                                km::check::ValueText(want.value) + ", found " + km::check::ValueText(got.value));
    }
    for (const auto& [folded, got] : actual.values)
        if (!expected.values.count(folded))
            c.differences.push_back("extra value " + ValueRef(key, got.name) + ": " + km::check::ValueText(got.value));
}

int Usage() {
    std::fputs("usage: keymason_regdiff [--partial] --key KEY [--key KEY]... EXPECTED.reg ACTUAL.reg...\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Comparison c;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--partial") {
            c.partial = true;
        } else if (arg == "--key") {
            if (++i >= argc) return Usage();
            Text key = km::toolkit::DecodeUtf8(argv[i]).text;
            while (!key.empty() && key.back() == u'\\') key.pop_back();
            c.folded.push_back(Folded(key));
            c.keys.push_back(std::move(key));
        } else {
            files.push_back(arg);
        }
    }
    if (c.keys.empty() || files.size() < 2) return Usage();

    State expected, actual;
    c.expectedState = &expected;
    if (!Load(files[0], c, expected)) return 2;
    for (std::size_t i = 1; i < files.size(); ++i)
        if (!Load(files[i], c, actual)) return 2;

    std::size_t values = 0;
    for (const auto& [folded, want] : expected) {
        values += want.values.size();
        const auto found = actual.find(folded);
        if (found == actual.end()) c.differences.push_back("missing key " + U8(want.spelled));
        else CompareKey(want, found->second, c);
    }
    for (const auto& [folded, got] : actual)
        if (!expected.count(folded) && !c.partial) c.differences.push_back("extra key " + U8(got.spelled));

    for (const std::string& line : c.notes) std::printf("%s\n", line.c_str());
    for (const std::string& line : c.differences) std::printf("differs: %s\n", line.c_str());
    std::printf("%zu keys, %zu values compared, %zu differences\n", expected.size(), values, c.differences.size());
    return c.differences.empty() ? 0 : 1;
}
