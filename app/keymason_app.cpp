#include "app/keymason_app.h"

#include <commctrl.h>

#include "app/keymason_dlg.h"
#include "app/run_context.h"
#include "app/run_start.h"

CKeymasonApp theApp;

void CKeymasonApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    CKeymasonDlg dialog(km::ThePlatform(), km::TheRunState());
    // A dialog that could not be created must not pass for a finished run.
    if (dialog.DoModal() == -1 && !dialog.RunBegun())
        km::RunWithoutWindow(km::ThePlatform(), km::TheRunState());
}

int CKeymasonApp::ExitInstance() { return km::TheRunState().exitCode.load(); }
