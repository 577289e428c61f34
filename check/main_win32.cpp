// keymason-check as a Windows console program: wide arguments, UTF-8 output,
// and --live over the machine's registry.
#include "check/cli.h"
#include "toolkit/console_win32.h"
#include "toolkit/file_io.h"
#include "toolkit/live_base.h"

int wmain(int argc, wchar_t** argv) {
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
    const int code = km::check::RunCheck(km::check::WideArguments(argc, argv), env);
    return km::check::WriteOutputs(out, err, false, code, "keymason-check");
}
