// keymason-check as a Windows console program: wide arguments, UTF-8 output,
// and --live over the machine's registry.
#include <windows.h>

#include <cstdio>

#include "check/cli.h"
#include "check/file_io.h"
#include "check/live_base.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<km::Text> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    std::string out, err;
    km::check::CheckEnvironment env;
    env.readFile = km::check::ReadFileBytes;
    env.writeFile = km::check::WriteFileBytes;
    env.liveBase = [](const km::check::LiveBaseRequest& request) {
        auto registry = km::check::OpenMachineRegistry();
        km::check::CollectLiveBase(*registry, request.packageBytes, *request.base, request.notInspected);
        return true;
    };
    env.out = &out;
    env.err = &err;
    const int code = km::check::RunCheck(args, env);
    // The report is UTF-8; the console shows it as such.
    const UINT previous = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stderr);
    if (previous) SetConsoleOutputCP(previous);
    return code;
}
