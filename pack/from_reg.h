// A .reg file turned into a package that Keymason applies to the same
// result, line for line in file order. What a package line cannot carry is
// left out and reported, never approximated.
#pragma once

#include <string>
#include <vector>

#include "toolkit/reg_file.h"
#include "pack/package_line.h"

namespace km::pack {

// A section or value from-reg leaves out: its line in the .reg file, and why.
struct Refusal {
    int line = 0;  // in the .reg file
    std::string text;
};

struct FromRegResult {
    std::string package;            // UTF-8, CR LF line ends
    std::vector<Refusal> refused;   // each left out, with why
};

// `target` is the APPLY TO field of the lines that HKEY_CURRENT_USER becomes.
FromRegResult PackageFromReg(const toolkit::RegFile& file, const Text& target);

}  // namespace km::pack
