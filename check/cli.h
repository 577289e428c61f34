// The command line of keymason-check: options, help, and the run of a lint
// or a plan. The files and the live registry come in from outside, so that
// tests run it whole.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km::check {

enum ExitCode : int {
    kExitClean = 0,
    kExitWarnings = 1,
    kExitErrors = 2,
    kExitUnreadable = 3,  // the package or the base cannot be read, or the result cannot be written
    kExitUsage = 4,
    kExitDrift = 5,  // --verify: the package would change the machine
};

// The machine's registry as a base, read only; not on every platform.
struct LiveBaseRequest {
    std::string packageBytes;
    MemoryPlatform* base = nullptr;
    std::map<Text, std::string>* notInspected = nullptr;  // SID -> why its hive was not read
    std::string* error = nullptr;
};

struct CheckEnvironment {
    std::function<bool(const Text& path, std::string* bytes)> readFile;
    std::function<bool(const Text& path, const std::string& bytes)> writeFile;
    std::function<bool(const LiveBaseRequest&)> liveBase;  // empty where --live is not offered
    std::string* out = nullptr;  // the report
    std::string* err = nullptr;  // what went wrong
};

std::string HelpText(bool liveOffered);

// The arguments after the program's name.
int RunCheck(const std::vector<Text>& args, const CheckEnvironment& env);

}  // namespace km::check
