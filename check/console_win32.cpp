#include "check/console_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace km::check {

std::vector<Text> WideArguments(int argc, wchar_t** argv) {
    std::vector<Text> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return args;
}

void WriteOutputs(const std::string& out, const std::string& err, bool binary) {
    if (binary) _setmode(_fileno(stdout), _O_BINARY);
    const UINT previous = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stderr);
    if (previous) SetConsoleOutputCP(previous);
}

}  // namespace km::check
