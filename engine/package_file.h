// Reading a package data file into records.
#pragma once

#include <functional>
#include <string_view>

#include "engine/package_record.h"
#include "platform/platform.h"

namespace km {

enum class PackageReadResult {
    Opened,     // every line was read
    NotOpened,  // no record
    ReadError,  // the file could not be read whole; records hold what was read
};

// Splits the file's bytes into lines of UTF-16 text, in file order. UTF-8 by
// default; a UTF-8 or UTF-16LE byte-order mark decides instead and is not part
// of the first line. Lines end with LF or CR LF; a last line without a line
// end is a line. Invalid UTF-8 becomes U+FFFD per bad sequence.
void SplitPackageLines(std::string_view bytes, const std::function<void(TextView)>& onLine);

// What was read from a package.
struct PackageContents {
    PackageReadResult result = PackageReadResult::NotOpened;
    RecordList records;             // one per line, in file order
    std::uint8_t targetGroups = 0;  // TargetGroups bits that the per-user lines ask for
};

// Every line of a package held whole in memory (result Opened).
PackageContents ParsePackage(std::string_view bytes);

// The package file at path, one record per line.
PackageContents ReadPackageFile(Platform& sys, const Text& path);

}  // namespace km
