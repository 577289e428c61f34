// A tool's standard output and standard error: the report written in pieces
// as it is made, then the rest of it, then what went wrong.
#pragma once

#include <string>

#include "toolkit/tool_environment.h"

namespace km::toolkit {

class StandardOutputs {
public:
    explicit StandardOutputs(const char* tool) : tool_(tool) {}

    // The environment's `out`, `err` and `passOutOn` set to these outputs.
    void Attach(ToolEnvironment& env);
    // Writes what `out` holds and empties it.
    void PassOn();
    // Writes the rest of the report, then `err`; gives the exit code. A
    // report that did not reach standard output whole (a full disk, a closed
    // pipe) is an error, exit code 3, never the run's own code.
    int Finish(int code);

    std::string out, err;

private:
    const char* tool_;
    bool lost_ = false;  // a piece did not get there whole
};

}  // namespace km::toolkit
