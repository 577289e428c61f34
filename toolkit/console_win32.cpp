#include "toolkit/console_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "toolkit/file_io.h"
#include "toolkit/live_base.h"

namespace km::toolkit {

std::vector<Text> WideArguments(int argc, wchar_t** argv) {
    std::vector<Text> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return args;
}

namespace {

UINT codePageBefore = 0;  // the console's, while a Utf8Console lives

// Ctrl+C, or the console closing, ends the process: the console gets back
// its code page first, then the default handler goes on.
BOOL WINAPI RestoreCodePage(DWORD) {
    if (codePageBefore) SetConsoleOutputCP(codePageBefore);
    return FALSE;
}

}  // namespace

Utf8Console::Utf8Console(bool binary) : previous_(GetConsoleOutputCP()) {
    if (binary) _setmode(_fileno(stdout), _O_BINARY);
    codePageBefore = previous_;
    SetConsoleCtrlHandler(RestoreCodePage, TRUE);
    SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
    if (previous_) SetConsoleOutputCP(previous_);
    SetConsoleCtrlHandler(RestoreCodePage, FALSE);
    codePageBefore = 0;
}

namespace {

// A DOS device name (NUL, CON, COM1; in older Windows also with a folder or an
// extension, as "C:\out\nul.txt") resolves to the device namespace "\\.\",
// which has no file beside it to rename over it.
bool NamesDevice(const Text& path) {
    const std::wstring wide(path.begin(), path.end());
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return false;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    return length > 0 && length < size && full.compare(0, 4, L"\\\\.\\") == 0;
}

bool WriteOutputFile(const Text& path, const std::string& bytes) {
    return NamesDevice(path) ? WriteFileThrough(path, bytes) : WriteFileBytes(path, bytes);
}

}  // namespace

ToolEnvironment WindowsEnvironment(StandardOutputs& outputs) {
    ToolEnvironment env;
    env.readFile = ReadFileBytes;
    env.writeFile = WriteOutputFile;
    env.sameFile = SameFile;
    env.liveBase = [](const LiveBaseRequest& request) {
        request.base->ReadThrough(OpenMachineRegistry());
        return true;
    };
    outputs.Attach(env);
    return env;
}

}  // namespace km::toolkit
