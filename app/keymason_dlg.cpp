#include "app/keymason_dlg.h"

#include "app/framework/paint_context.h"
#include "app/framework/win_app.h"
#include "app/resource.h"
#include "app/run_start.h"
#include "app/status_window_rules.h"
#include "engine/status_dialog_rules.h"
#include "app/update_worker_thread.h"

using km::framework::DefaultProcessing;
using km::framework::Handled;
using km::framework::MessageMapEntry;
using km::framework::MessageResult;

namespace {

constexpr WPARAM kEscapeKey = 27;

}  // namespace

CKeymasonDlg::CKeymasonDlg(km::Platform& platform, km::RunState& state)
    : Dialog(IDD_KEYMASON_DIALOG),
      platform_(platform),
      state_(state),
      icon_(::LoadIconW(km::framework::WinApp::ModuleInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

MessageResult CKeymasonDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    static constexpr MessageMapEntry<CKeymasonDlg> kMessageMap[] = {
        {WM_PAINT, &CKeymasonDlg::OnPaint},
        {WM_QUERYDRAGICON, &CKeymasonDlg::OnQueryDragIcon},
        {WM_WINDOWPOSCHANGING, &CKeymasonDlg::OnWindowPosChanging},
        {WM_TIMER, &CKeymasonDlg::OnTimer},
        {km::kPassEndedMessage, &CKeymasonDlg::OnPassEnded},
    };
    return km::framework::DispatchThroughMap(*this, kMessageMap, message, wParam, lParam);
}

BOOL CKeymasonDlg::PreTranslateMessage(MSG* message) {
    // Whatever the message, the Escape code goes no further: Escape never closes.
    if (message->wParam == kEscapeKey) return TRUE;
    return Dialog::PreTranslateMessage(message);
}

BOOL CKeymasonDlg::OnInitDialog() {
    Dialog::OnInitDialog();
    ::SendMessageW(Window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    ::SendMessageW(Window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    runBegun_ = true;
    if (km::BeginRun(platform_, state_) == km::StartAction::StartWorker &&
        !km::StartUpdateWorkerThread(platform_, state_, Window()))
        km::NoteWorkerNotStarted(state_);

    ::SetTimer(Window(), km::kStatusTimerId, km::kStatusTimerPeriodMs, nullptr);
    return TRUE;
}

void CKeymasonDlg::OnOK() {}

void CKeymasonDlg::OnCancel() {
    if (km::RequestCancel(state_) == km::CancelAction::EndNow) Close();
}

MessageResult CKeymasonDlg::OnPaint(WPARAM, LPARAM) {
    if (!::IsIconic(Window())) return DefaultProcessing();
    km::framework::PaintContext paint(Window());
    ::SendMessageW(Window(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.Dc()), 0);
    RECT client{};
    ::GetClientRect(Window(), &client);
    const km::IconOrigin origin =
        km::CentredIconOrigin(client.right - client.left, client.bottom - client.top,
                              ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
    ::DrawIcon(paint.Dc(), origin.x, origin.y, icon_);
    return Handled();
}

MessageResult CKeymasonDlg::OnQueryDragIcon(WPARAM, LPARAM) {
    return Handled(reinterpret_cast<LRESULT>(icon_));
}

MessageResult CKeymasonDlg::OnWindowPosChanging(WPARAM, LPARAM position) {
    auto* change = reinterpret_cast<WINDOWPOS*>(position);
    change->flags = km::FilterWindowPositionFlags(state_, change->flags);
    return DefaultProcessing();
}

MessageResult CKeymasonDlg::OnTimer(WPARAM timerId, LPARAM) {
    if (km::TickEndsDialog(state_, timerId)) Close();
    return DefaultProcessing();
}

MessageResult CKeymasonDlg::OnPassEnded(WPARAM, LPARAM) {
    if (km::PassEndEndsDialog(state_)) Close();
    return Handled();
}

void CKeymasonDlg::Close() {
    ::KillTimer(Window(), km::kStatusTimerId);
    EndModal(IDCANCEL);
}
