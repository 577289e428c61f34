// keymason-pack as a Windows console program: wide arguments, UTF-8 output,
// and undo --live over the machine's registry.
#include "pack/cli.h"
#include "toolkit/console_win32.h"

int wmain(int argc, wchar_t** argv) {
    const km::toolkit::Utf8Console console(true);  // the package goes out byte for byte
    km::toolkit::StandardOutputs outputs("keymason-pack");
    const km::toolkit::ToolEnvironment env = km::toolkit::WindowsEnvironment(outputs);
    return outputs.Finish(km::pack::RunPack(km::toolkit::WideArguments(argc, argv), env));
}
