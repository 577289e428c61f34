// keymason-check on POSIX systems: UTF-8 arguments, no live registry.
#include <cstdio>

#include "check/cli.h"
#include "toolkit/file_io.h"
#include "toolkit/text_codec.h"

int main(int argc, char** argv) {
    std::vector<km::Text> args;
    for (int i = 1; i < argc; ++i) args.push_back(km::toolkit::DecodeUtf8(argv[i]).text);
    std::string out, err;
    km::toolkit::ToolEnvironment env;
    env.readFile = km::toolkit::ReadFileBytes;
    env.writeFile = km::toolkit::WriteFileBytes;
    env.sameFile = km::toolkit::SameFile;
    env.out = &out;
    env.err = &err;
    const int code = km::check::RunCheck(args, env);
    return km::toolkit::WriteOutputsAndExit(out, err, code, "keymason-check");
}
