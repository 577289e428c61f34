// The in-memory platform with one difference: files are read from disk, so
// a benchmark pays what reading a package really costs.
#pragma once

#include "platform/memory/memory_platform.h"

namespace km {

class DiskFilePlatform : public MemoryPlatform {
public:
    // path is a native (UTF-8) file name in UTF-16.
    FileContents ReadWholeFile(const Text& path, std::uint64_t limit) override;
};

}  // namespace km
