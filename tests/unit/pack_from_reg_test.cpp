// from-reg's promise, over generated .reg files: the package it writes,
// applied by Keymason's pass, leaves what reg import of the file leaves on
// the same machine; whatever it leaves out is named.
#include <gtest/gtest.h>

#include <random>

#include "pack/from_reg.h"
#include "tests/unit/machine_state.h"

namespace km::pack {
namespace {

constexpr TextView kSid = toolkit::kDefaultSid;

// reg import run by the logged-on user: HKEY_CURRENT_USER is that user's hive.
void RegImport(const toolkit::RegFile& file, MemoryPlatform& sys) {
    toolkit::RegFile mapped = file;
    for (toolkit::RegFileSection& section : mapped.sections)
        if (section.root == toolkit::kHkeyCurrentUser) {
            section.root = kHkeyUsers;
            section.path = Text(kSid) + u"\\" + section.path;
        }
    toolkit::LoadSnapshot(mapped, sys, nullptr);
}

// A machine with something in every place the files below name.
void Seed(MemoryPlatform& sys) {
    toolkit::LoadDefaultBase(sys);
    for (const char16_t* key : {u"SOFTWARE\\A", u"SOFTWARE\\A\\Sub", u"SYSTEM\\B"})
        sys.SetValue(kHkeyLocalMachine, key, u"Old", kRegSz, {'o', 0, 0, 0});
    sys.SetValue(kHkeyClassesRoot, u".c", u"", kRegSz, {'c', 0, 0, 0});
    sys.SetValue(kHkeyUsers, Text(kSid) + u"\\Software\\A", u"Old", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyUsers, Text(kSid) + u"\\Software\\Classes\\.c", u"", kRegSz, {'u', 0, 0, 0});
}

Bytes RandomBytes(std::mt19937& rng, std::size_t most) {
    const std::uint8_t hard[] = {0, 0, '"', '\\', '*', '@', 0xE4, 0xFF, 'a', 'z', '='};
    Bytes bytes(rng() % (most + 1));
    for (auto& b : bytes) b = rng() % 2 ? hard[rng() % sizeof hard] : std::uint8_t(rng());
    return bytes;
}

StoredValue RandomValue(std::mt19937& rng) {
    switch (rng() % 7) {
        case 6: return StoredValue{0, {1}};  // hex(0):01, which no package line carries
        case 0:
        case 1: {  // text as reg export writes it, terminated
            Bytes text = RandomBytes(rng, 8);
            for (std::size_t i = 1; i < text.size(); i += 2) text[i] = 0;  // mostly Latin-1 units
            if (text.size() % 2) text.pop_back();
            for (std::size_t i = 0; i + 1 < text.size(); i += 2)
                if (text[i] == 0 || text[i] == '\r' || text[i] == '\n') text[i] = 'x';
            text.insert(text.end(), {0, 0});
            return StoredValue{rng() % 2 ? kRegSz : kRegExpandSz, text};
        }
        case 2: return StoredValue{kRegDword, {std::uint8_t(rng()), 0, 0, std::uint8_t(rng())}};
        case 3: {
            Bytes bytes = RandomBytes(rng, 6);
            for (auto& b : bytes)
                if (b == ',' || b == '\r' || b == '\n') b = '.';
            return StoredValue{kRegBinary, bytes};
        }
        case 4: return StoredValue{kRegQword, {1, 2, 3, 4, 5, 6, 7, std::uint8_t(rng())}};
        case 5:  // zero-separated lines with the closing zero
            return StoredValue{kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}};
    }
    return StoredValue{};
}

toolkit::RegFile RandomFile(std::mt19937& rng) {
    struct Place {
        RegKey root;
        const char16_t* path;
    } const places[] = {{kHkeyLocalMachine, u"SOFTWARE\\A"},
                        {kHkeyLocalMachine, u"SOFTWARE\\A\\Sub"},
                        {kHkeyLocalMachine, u"SOFTWARE\\N\\Deep"},
                        {kHkeyLocalMachine, u"SYSTEM\\B"},
                        {kHkeyClassesRoot, u".c"},
                        {kHkeyClassesRoot, u"C.File\\shell"},
                        {toolkit::kHkeyCurrentUser, u"Software\\A"},
                        {toolkit::kHkeyCurrentUser, u"Software\\Classes\\.c"},
                        {toolkit::kHkeyCurrentUser, u"Software\\N"}};
    const char16_t* names[] = {u"Old", u"", u"New", u"Na\"me"};
    std::vector<toolkit::RegFileSection> sections;
    for (int n = 1 + int(rng() % 5); n > 0; --n) {
        const Place& place = places[rng() % 9];
        toolkit::RegFileSection section;
        section.root = place.root;
        section.path = place.path;
        section.remove = rng() % 6 == 0;
        for (int v = section.remove ? 0 : int(rng() % 4); v > 0; --v) {
            toolkit::RegFileValue value;
            value.name = names[rng() % 4];
            value.remove = rng() % 5 == 0;
            if (!value.remove) value.value = RandomValue(rng);
            section.values.push_back(value);
        }
        sections.push_back(section);
    }
    // Through the writer and the reader, as a file reg export made.
    toolkit::RegFileError error;
    return *toolkit::ParseRegFile(toolkit::FormatRegFile(sections), &error);
}

TEST(FromRegTest, PackageAppliesAsRegImportDoes) {
    MemoryPlatform base;
    Seed(base);
    std::mt19937 rng(1207);
    int compared = 0, refusedRounds = 0;
    for (int round = 0; round < 300; ++round) {
        const toolkit::RegFile file = RandomFile(rng);
        const FromRegResult result = PackageFromReg(file, u"All Users");
        // What was left out is named; the rest, keys whose values were all
        // left out too, applies as reg import of the file without them.
        toolkit::RegFile kept = file;
        for (const Refusal& f : result.refused) {
            EXPECT_FALSE(f.text.empty());
            for (toolkit::RegFileSection& section : kept.sections)
                section.values.erase(std::remove_if(section.values.begin(), section.values.end(),
                                                    [&](const toolkit::RegFileValue& v) { return v.line == f.line; }),
                                     section.values.end());
        }
        refusedRounds += result.refused.empty() ? 0 : 1;
        MemoryPlatform imported, applied;
        Copy(base, imported);
        Copy(base, applied);
        RegImport(kept, imported);
        Apply(applied, result.package);
        ++compared;
        EXPECT_EQ(StateOf(applied), StateOf(imported))
            << "round " << round << ":\n"
            << toolkit::FormatRegFile(file.sections).size() << " bytes of .reg\n"
            << result.package;
    }
    EXPECT_EQ(compared, 300);
    EXPECT_GT(refusedRounds, 0);
}

}  // namespace
}  // namespace km::pack
