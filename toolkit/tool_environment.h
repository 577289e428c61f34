// What a tool reads and writes, handed in from outside so that tests run a
// tool whole.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km::toolkit {

// The machine's registry as a base, read only; not on every platform. The
// base reads through to it: each key is read when the pass first reaches it.
struct LiveBaseRequest {
    MemoryPlatform* base = nullptr;
    std::string* error = nullptr;  // why the registry could not be read; null where the tool does not ask
};

struct ToolEnvironment {
    std::function<bool(const Text& path, std::string* bytes)> readFile;
    std::function<bool(const Text& path, const std::string& bytes)> writeFile;  // whole or not at all
    std::function<bool(const LiveBaseRequest&)> liveBase;                       // empty where --live is not offered
    // Whether two paths name one file (the same file however spelled, through
    // links too); empty: the same text, letter case aside.
    std::function<bool(const Text& a, const Text& b)> sameFile;
    std::string* out = nullptr;  // the report, or the package when no output file is named
    // Hands what `out` holds on to standard output and empties it, for a
    // report too large to hold whole; empty where `out` is kept to the end.
    std::function<void()> passOutOn;
    std::string* err = nullptr;  // findings and what went wrong
};

// The first of `inputs` that `output` names, if any: an output must never
// replace what the run reads.
const Text* OutputOverwritesInput(const ToolEnvironment& env, const Text& output, const std::vector<const Text*>& inputs);

}  // namespace km::toolkit
