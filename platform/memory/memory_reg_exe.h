// Reading the command lines that the in-memory platform's reg.exe obeys:
// "reg.exe Load HKEY_USERS\NAME "FILE"" and "reg.exe Unload HKEY_USERS\NAME".
#pragma once

#include <optional>
#include <vector>

#include "platform/platform.h"

namespace km {

// Words separated by spaces or tabs; double quotes group a word that holds
// spaces and are not part of it. An unclosed quote runs to the end of the line.
std::vector<Text> SplitCommandWords(TextView commandLine);

struct RegExeCommand {
    enum class Verb { Load, Unload };
    Verb verb = Verb::Load;
    Text mountName;  // the key directly below HKEY_USERS
    Text file;       // the hive file (Load only)
};

// None for anything but a well-formed Load or Unload below HKEY_USERS (or HKU),
// the verb and the root name in any letter case.
std::optional<RegExeCommand> ParseRegExeCommand(TextView commandLine);

}  // namespace km
