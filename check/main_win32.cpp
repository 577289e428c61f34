// keymason-check as a Windows console program: wide arguments, UTF-8 output,
// and --live over the machine's registry.
#include "check/cli.h"
#include "toolkit/console_win32.h"

int wmain(int argc, wchar_t** argv) {
    std::string out, err;
    const int code =
        km::check::RunCheck(km::toolkit::WideArguments(argc, argv), km::toolkit::WindowsEnvironment(&out, &err));
    return km::toolkit::WriteOutputs(out, err, false, code, "keymason-check");
}
