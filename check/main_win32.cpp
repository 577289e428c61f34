// keymason-check as a Windows console program: wide arguments, UTF-8 output,
// and --live over the machine's registry.
#include "check/cli.h"
#include "toolkit/console_win32.h"

int wmain(int argc, wchar_t** argv) {
    const km::toolkit::Utf8Console console(false);
    km::toolkit::StandardOutputs outputs("keymason-check");
    const km::toolkit::ToolEnvironment env = km::toolkit::WindowsEnvironment(outputs);
    return outputs.Finish(km::check::RunCheck(km::toolkit::WideArguments(argc, argv), env));
}
