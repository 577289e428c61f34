// The status dialog: invisible with a package argument, shown otherwise;
// polls once a second for the end of the pass and then closes.
#pragma once

#include <windows.h>

#include "app/framework/dialog.h"
#include "engine/run_state.h"

class CKeymasonDlg : public km::framework::Dialog {
public:
    CKeymasonDlg(km::Platform& platform, km::RunState& state);
    // Whether the dialog came up far enough to begin the run.
    bool RunBegun() const { return runBegun_; }

protected:
    BOOL PreTranslateMessage(MSG* message) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    km::framework::MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    km::framework::MessageResult OnPaint(WPARAM, LPARAM);
    km::framework::MessageResult OnQueryDragIcon(WPARAM, LPARAM);
    km::framework::MessageResult OnWindowPosChanging(WPARAM, LPARAM position);
    km::framework::MessageResult OnTimer(WPARAM timerId, LPARAM);
    km::framework::MessageResult OnPassEnded(WPARAM, LPARAM);

    void Close();

    km::Platform& platform_;
    km::RunState& state_;
    HICON icon_;
    bool runBegun_ = false;
};
