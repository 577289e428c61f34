#include "app/keymason_app.h"

#include <commctrl.h>

#include "app/keymason_dlg.h"
#include "app/run_context.h"

CKeymasonApp theApp;

void CKeymasonApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    CKeymasonDlg dialog(km::ThePlatform(), km::TheRunState());
    dialog.DoModal();
}

int CKeymasonApp::ExitInstance() { return km::TheRunState().exitCode.load(); }
