// keymason-pack as a Windows console program: wide arguments, UTF-8 output.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "check/file_io.h"
#include "check/live_base.h"
#include "pack/cli.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<km::Text> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    std::string out, err;
    km::pack::PackEnvironment env;
    env.readFile = km::check::ReadFileBytes;
    env.writeFile = km::check::WriteFileBytes;
    env.liveBase = [](const km::pack::LiveBase& request) {
        auto registry = km::check::OpenMachineRegistry();
        km::check::CollectLiveBase(*registry, request.packageBytes, *request.base, request.notInspected);
        return true;
    };
    env.out = &out;
    env.err = &err;
    const int code = km::pack::RunPack(args, env);
    // The package goes out as bytes; messages are UTF-8, and the console shows them so.
    _setmode(_fileno(stdout), _O_BINARY);  // no CR put before the package's own CR LF
    const UINT previous = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stderr);
    if (previous) SetConsoleOutputCP(previous);
    return code;
}
