#include "app/framework/dialog.h"

#include "app/framework/win_app.h"

namespace km::framework {
namespace {

// Messages whose dialog-procedure result is the message result itself,
// rather than TRUE with the result stored in DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

}  // namespace

Dialog::Dialog(UINT templateId) : templateId_(templateId) {}

Dialog::~Dialog() {
    if (window_ != nullptr) ::DestroyWindow(window_);
}

INT_PTR Dialog::DoModal() {
    ended_ = false;
    result_ = 0;
    // Modeless creation with our own loop; no owner is disabled.
    if (::CreateDialogParamW(WinApp::ModuleInstance(), MAKEINTRESOURCEW(templateId_), nullptr,
                             &Dialog::DialogProc, reinterpret_cast<LPARAM>(this)) == nullptr)
        return -1;
    // The framework's own show request; like every other it passes
    // WM_WINDOWPOSCHANGING, where a dialog may refuse to appear.
    if (!ended_ && !::IsWindowVisible(window_)) ::ShowWindow(window_, SW_SHOWNORMAL);

    MSG message{};
    while (!ended_) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            // WM_QUIT belongs to whoever runs the thread's main loop.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (IsForDialog(message.hwnd) && PreTranslateMessage(&message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (window_ != nullptr) ::DestroyWindow(window_);
    return result_;
}

BOOL Dialog::PreTranslateMessage(MSG* message) {
    return ::IsDialogMessageW(window_, message);
}

BOOL Dialog::OnInitDialog() { return TRUE; }

void Dialog::OnOK() { EndModal(IDOK); }

void Dialog::OnCancel() { EndModal(IDCANCEL); }

MessageResult Dialog::OnMessage(UINT, WPARAM, LPARAM) { return DefaultProcessing(); }

void Dialog::EndModal(INT_PTR result) {
    result_ = result;
    ended_ = true;
    // Wakes the loop should the end come from outside a dispatched message.
    if (window_ != nullptr) ::PostMessageW(window_, WM_NULL, 0, 0);
}

bool Dialog::IsForDialog(HWND target) const {
    return window_ != nullptr && target != nullptr &&
           (target == window_ || ::IsChild(window_, target));
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Dialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
    }
    auto* self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    // Messages before WM_INITDIALOG get the dialog manager's defaults.
    if (self == nullptr) return FALSE;
    const INT_PTR result = self->Route(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        self->window_ = nullptr;
    }
    return result;
}

INT_PTR Dialog::Route(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
        break;
    default:
        break;
    }
    const MessageResult handled = OnMessage(message, wParam, lParam);
    if (!handled.handled) return FALSE;
    if (ReturnsResultDirectly(message)) return handled.value;
    ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, handled.value);
    return TRUE;
}

}  // namespace km::framework
