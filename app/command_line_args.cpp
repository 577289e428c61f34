#include "app/command_line_args.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace km {
namespace {

struct LocalFreeDeleter {
    void operator()(LPWSTR* list) const { ::LocalFree(list); }
};

}  // namespace

std::vector<Text> SplitProcessCommandLine() {
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> list(::CommandLineToArgvW(::GetCommandLineW(), &count));
    std::vector<Text> arguments;
    if (!list) return arguments;
    for (int i = 0; i < count; ++i)
        arguments.emplace_back(reinterpret_cast<const char16_t*>(list.get()[i]));
    return arguments;
}

}  // namespace km
