// The command line of keymason-pack. Files come in and go out through the
// environment, so that tests run it whole.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km::pack {

enum ExitCode : int {
    kExitWritten = 0,     // every change was written
    kExitLeftOut = 2,     // some changes could not be written exactly and were left out
    kExitUnreadable = 3,  // the input cannot be read or the output cannot be written
    kExitUsage = 4,
};

// The machine's registry as a base, read only; not on every platform.
struct LiveBase {
    std::string packageBytes;
    MemoryPlatform* base = nullptr;
    std::map<Text, std::string>* notInspected = nullptr;  // SID -> why its hive was not read
};

struct PackEnvironment {
    std::function<bool(const Text& path, std::string* bytes)> readFile;
    std::function<bool(const Text& path, const std::string& bytes)> writeFile;  // whole or not at all
    std::function<bool(const LiveBase&)> liveBase;  // empty where --live is not offered
    std::string* out = nullptr;  // the package when no -o is given
    std::string* err = nullptr;  // findings and what went wrong
};

std::string PackHelpText();
// The arguments after the program's name.
int RunPack(const std::vector<Text>& args, const PackEnvironment& env);

}  // namespace km::pack
