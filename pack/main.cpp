// keymason-pack on POSIX systems: UTF-8 arguments.
#include <cstdio>

#include "toolkit/file_io.h"
#include "toolkit/text_codec.h"
#include "pack/cli.h"

int main(int argc, char** argv) {
    std::vector<km::Text> args;
    for (int i = 1; i < argc; ++i) args.push_back(km::check::DecodeUtf8(argv[i]).text);
    std::string out, err;
    km::pack::PackEnvironment env;
    env.readFile = km::check::ReadFileBytes;
    env.writeFile = km::check::WriteFileBytes;
    env.out = &out;
    env.err = &err;
    const int code = km::pack::RunPack(args, env);
    return km::check::WriteOutputsAndExit(out, err, code, "keymason-pack");
}
