#include "toolkit/standard_outputs.h"

#include <cstdio>

namespace km::toolkit {

void StandardOutputs::Attach(ToolEnvironment& env) {
    env.out = &out;
    env.err = &err;
    env.passOutOn = [this] { PassOn(); };
}

void StandardOutputs::PassOn() {
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) lost_ = true;
    out.clear();
}

int StandardOutputs::Finish(int code) {
    PassOn();
    if (std::fflush(stdout) != 0 || lost_ || std::ferror(stdout)) {
        err += std::string(tool_) + ": standard output cannot be written\n";
        code = 3;
    }
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stderr);
    return code;
}

}  // namespace km::toolkit
