// A dialog run modally by a message loop of its own, so that every message
// for it passes PreTranslateMessage before it is dispatched.
#pragma once

#include <windows.h>

#include "app/framework/message_map.h"

namespace km::framework {

class Dialog {
public:
    explicit Dialog(UINT templateId);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog from its template without owner and runs the modal
    // loop until EndModal; returns EndModal's result, or -1 when the dialog
    // could not be created.
    INT_PTR DoModal();

    HWND Window() const { return window_; }

protected:
    // True when the message has been handled and must not be dispatched.
    // By default the dialog manager's keyboard handling (Tab, Enter, ...).
    virtual BOOL PreTranslateMessage(MSG* message);
    // The result tells the dialog manager whether to set the focus.
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // The derived dialog's message map.
    virtual MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void EndModal(INT_PTR result);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Route(UINT message, WPARAM wParam, LPARAM lParam);
    bool IsForDialog(HWND target) const;

    UINT templateId_;
    HWND window_ = nullptr;
    bool ended_ = false;
    INT_PTR result_ = 0;
};

}  // namespace km::framework
