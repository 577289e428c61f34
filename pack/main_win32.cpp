// keymason-pack as a Windows console program: wide arguments, UTF-8 output,
// and undo --live over the machine's registry.
#include "toolkit/console_win32.h"
#include "toolkit/file_io.h"
#include "toolkit/live_base.h"
#include "pack/cli.h"

int wmain(int argc, wchar_t** argv) {
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
    const int code = km::pack::RunPack(km::check::WideArguments(argc, argv), env);
    return km::check::WriteOutputs(out, err, true, code, "keymason-pack");  // the package goes out byte for byte
}
