#include "app/framework/win_app.h"

namespace km::framework {
namespace {

WinApp* g_current = nullptr;

}  // namespace

WinApp::WinApp() { g_current = this; }

WinApp::~WinApp() {
    if (g_current == this) g_current = nullptr;
}

WinApp* WinApp::Current() { return g_current; }

HINSTANCE WinApp::ModuleInstance() { return ::GetModuleHandleW(nullptr); }

}  // namespace km::framework

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    km::framework::WinApp* app = km::framework::WinApp::Current();
    if (app == nullptr) return -1;
    app->InitInstance();
    return app->ExitInstance();
}
