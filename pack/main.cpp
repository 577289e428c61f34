// keymason-pack on POSIX systems: UTF-8 arguments.
#include <cstdio>

#include "toolkit/file_io.h"
#include "toolkit/text_codec.h"
#include "pack/cli.h"

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
    const int code = km::pack::RunPack(args, env);
    return km::toolkit::WriteOutputsAndExit(out, err, code, "keymason-pack");
}
