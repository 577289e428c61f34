// The application object: exactly one exists; the process entry runs it.
#pragma once

#include <windows.h>

namespace km::framework {

class WinApp {
public:
    WinApp();
    virtual ~WinApp();
    WinApp(const WinApp&) = delete;
    WinApp& operator=(const WinApp&) = delete;

    // Start-up; the whole run of the program happens inside it.
    virtual void InitInstance() = 0;
    // Its result is the process exit code.
    virtual int ExitInstance() = 0;

    // The object constructed last, or none.
    static WinApp* Current();
    static HINSTANCE ModuleInstance();
};

}  // namespace km::framework
