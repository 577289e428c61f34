// The Windows console side of the command-line tools: wide arguments in,
// UTF-8 reports out.
#pragma once

#include <string>
#include <vector>

#include "toolkit/standard_outputs.h"
#include "toolkit/tool_environment.h"

namespace km::toolkit {

std::vector<Text> WideArguments(int argc, wchar_t** argv);

// The files on disk and this machine's registry for --live; the reports go
// to `outputs`.
ToolEnvironment WindowsEnvironment(StandardOutputs& outputs);

// While it lives, the console shows what is written as UTF-8. `binary`:
// standard output is written byte for byte (a package's own CR LF must not
// get another CR).
class Utf8Console {
public:
    explicit Utf8Console(bool binary);
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    unsigned previous_;  // the console's code page before, 0 where there is no console
};

}  // namespace km::toolkit
