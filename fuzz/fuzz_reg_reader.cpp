// Arbitrary bytes as a .reg file, read by the reader that keymason-check's
// --base uses: a refusal is about the header alone, every skip names a line
// of the file, and a base laid down from what was read, written as a .reg
// file and read again, is the same base; from-reg over what was read writes
// a package keymason-check finds no error in, and names every change it
// leaves out. Aborts when one of these breaks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "toolkit/lint.h"
#include "toolkit/reg_file.h"
#include "toolkit/snapshot.h"
#include "toolkit/text_codec.h"
#include "fuzz/fuzz_require.h"
#include "pack/from_reg.h"
#include "platform/text.h"

namespace km::toolkit {
namespace {

// Lines as the reader counts them: ended by CR LF, LF or CR.
int LineCount(std::string_view bytes) {
    const bool utf16 = bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE";
    const Text text = utf16 ? DecodeUtf16Le(bytes.substr(2)) : Widen(bytes);
    int lines = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n') continue;
        ++lines;
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    }
    return lines + (text.empty() || text.back() == u'\r' || text.back() == u'\n' ? 0 : 1);
}

std::string Written(const MemoryPlatform& sys) { return FormatRegFile(SnapshotSections(sys)); }

void Check(std::string_view bytes) {
    RegFileError error;
    const auto file = ParseRegFile(bytes, &error);
    if (!file) {
        REQUIRE(error.line == 0 || error.line == 1);
        REQUIRE(!error.message.empty());
        return;
    }
    const int lines = LineCount(bytes);
    for (const RegFileError& skip : file->skipped) {
        REQUIRE(skip.line >= 1 && skip.line <= lines);
        REQUIRE(!skip.message.empty());
    }
    int previous = 2;
    for (const RegFileSection& section : file->sections) {
        REQUIRE(section.line >= previous && section.line <= lines);
        REQUIRE(!section.remove || section.values.empty());
        previous = section.line;
    }

    const pack::FromRegResult converted = pack::PackageFromReg(*file, u"All Users");
    for (const Finding& d : LintPackage(converted.package)) REQUIRE(d.severity != Severity::Error);
    for (const pack::Refusal& refused : converted.refused) {
        REQUIRE(refused.line >= 1 && refused.line <= lines);
        REQUIRE(!refused.text.empty());
    }

    MemoryPlatform base;
    REQUIRE(LoadSnapshot(*file, base, &error));
    const std::string once = Written(base);
    const auto again = ParseRegFile(once, &error);
    REQUIRE(again.has_value());
    REQUIRE(again->skipped.empty());
    MemoryPlatform reread;
    std::vector<RegFileError> warnings;
    REQUIRE(LoadSnapshot(*again, reread, &error, &warnings));
    REQUIRE(warnings.empty());
    REQUIRE(Written(reread) == once);
}

}  // namespace
}  // namespace km::toolkit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    km::toolkit::Check(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
