// The application: runs the status dialog and ends with the run's exit code.
#pragma once

#include "app/framework/win_app.h"

class CKeymasonApp : public km::framework::WinApp {
public:
    void InitInstance() override;
    int ExitInstance() override;
};
