// keymason-check on POSIX systems: UTF-8 arguments, no live registry.
#include <cstdio>

#include "check/cli.h"
#include "toolkit/file_io.h"
#include "toolkit/standard_outputs.h"
#include "toolkit/text_codec.h"

int main(int argc, char** argv) {
    std::vector<km::Text> args;
    for (int i = 1; i < argc; ++i) args.push_back(km::toolkit::DecodeUtf8(argv[i]).text);
    km::toolkit::StandardOutputs outputs("keymason-check");
    km::toolkit::ToolEnvironment env;
    env.readFile = km::toolkit::ReadFileBytes;
    env.writeFile = km::toolkit::WriteFileBytes;
    env.sameFile = km::toolkit::SameFile;
    outputs.Attach(env);
    return outputs.Finish(km::check::RunCheck(args, env));
}
