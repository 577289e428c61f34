// The current reader and pass held against the reference ones, on identical
// in-memory machines: the unit test and the pass fuzzer
// both ask here whether the two differ, and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km::reference {

// One run, on the two-profile machine of tests/unit/two_profile_machine.h
// with a few machine keys seeded for removals to find.
struct PassSetup {
    std::string package;
    bool wow64 = true;            // isWow64, and the registry's 32-bit view with it
    bool packageArgument = true;  // otherwise the default package's mode
    // Faults on the nth call of an operation. Only operations both passes
    // call equally often compare: the current pass opens, creates and closes
    // fewer keys by design.
    std::vector<std::pair<SeamOp, std::size_t>> nthFaults;
    // Faults on every call whose subkey or value name holds the text.
    std::vector<std::pair<SeamOp, Text>> textFaults;
    // Cancel is asked for right after this many value writes (0: never).
    std::size_t cancelAfterWrites = 0;
    // Anything else to set up, after the package file is in place.
    std::function<void(MemoryPlatform&)> arrange;
};

// Whether the two passes make the same number of calls of this operation.
bool CallCountShared(SeamOp op);

struct PassComparison {
    // Empty when both passes leave the same registry, hive files, mounts,
    // files and processes, write the same log bytes, end with the same exit
    // code and make the same changes (values set and deleted, keys made and
    // removed, processes started, log appends) in the same order; otherwise
    // the first thing that differs.
    std::string difference;
    // Keys opened or created by each: fewer for the current pass where it
    // kept a key open across lines.
    std::size_t currentKeyOpens = 0;
    std::size_t referenceKeyOpens = 0;
};
PassComparison ComparePasses(const PassSetup& setup);

// Empty when the current reader decodes the same records as the reference
// one and finds the same target groups, for the bytes held whole and for the
// bytes cut by a read error half way; otherwise the first difference.
std::string ParseDifference(std::string_view bytes);

// The pass fuzzer's input: one flags byte (bit 0 WOW64, bit 1 a package
// argument, bits 2-3 the number of faults), two bytes per fault (which
// operation, which call of it), then the package bytes. At most one fault
// on starting a process is kept: two may leave a hive loaded.
struct FuzzInput {
    bool wow64 = false;
    bool packageArgument = false;
    std::vector<std::pair<SeamOp, std::size_t>> faults;
    std::string package;
};
std::optional<FuzzInput> DecodeFuzzInput(const std::uint8_t* data, std::size_t size);
// The input as a comparison can run it: faults on operations whose count the
// passes do not share are left out.
PassSetup ComparableSetup(const FuzzInput& input);

}  // namespace km::reference
