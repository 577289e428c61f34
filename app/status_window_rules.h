// The status window's own rules, kept free of windows.h so that they build and
// are tested anywhere: its timer, the show flag it filters from position
// changes, and where its icon goes while minimised.
#pragma once

#include <cstdint>

#include "engine/run_state.h"

namespace km {

inline constexpr std::uintptr_t kStatusTimerId = 666;
inline constexpr std::uint32_t kStatusTimerPeriodMs = 1000;

// SWP_SHOWWINDOW in a pending window position change.
inline constexpr std::uint32_t kSwpShowWindow = 0x0040;

// Only the status timer ends the dialog, and only once the run is done.
inline bool TickEndsDialog(const RunState& state, std::uintptr_t timerId) {
    return timerId == kStatusTimerId && state.done.load() == 1;
}

// The show flag is cleared from every position change while showing is not
// allowed; everything else passes unchanged.
inline std::uint32_t FilterWindowPositionFlags(const RunState& state, std::uint32_t flags) {
    return state.showWindow == 0 ? flags & ~kSwpShowWindow : flags;
}

struct IconOrigin {
    int x = 0;
    int y = 0;
};

// The icon centred in the client area, rounding half a pixel up.
inline IconOrigin CentredIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

}  // namespace km
