// keymason-pack as a Windows console program: wide arguments, UTF-8 output,
// and undo --live over the machine's registry.
#include "pack/cli.h"
#include "toolkit/console_win32.h"

int wmain(int argc, wchar_t** argv) {
    std::string out, err;
    const int code =
        km::pack::RunPack(km::toolkit::WideArguments(argc, argv), km::toolkit::WindowsEnvironment(&out, &err));
    return km::toolkit::WriteOutputs(out, err, true, code, "keymason-pack");  // the package goes out byte for byte
}
