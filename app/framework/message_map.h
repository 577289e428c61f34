// Message maps: a table from message code to handler, looked up per message.
#pragma once

#include <windows.h>

#include <cstddef>

namespace km::framework {

// What a handler tells the dialog manager: handled with a result, or left to
// the default processing.
struct MessageResult {
    bool handled = false;
    LRESULT value = 0;
};

inline MessageResult Handled(LRESULT value = 0) { return {true, value}; }
inline MessageResult DefaultProcessing() { return {false, 0}; }

template <class Owner>
struct MessageMapEntry {
    UINT message;
    MessageResult (Owner::*handler)(WPARAM, LPARAM);
};

// The first entry for `message` handles it; without one it goes to default processing.
template <class Owner, std::size_t N>
MessageResult DispatchThroughMap(Owner& owner, const MessageMapEntry<Owner> (&map)[N],
                                 UINT message, WPARAM wParam, LPARAM lParam) {
    for (const auto& entry : map)
        if (entry.message == message) return (owner.*entry.handler)(wParam, lParam);
    return DefaultProcessing();
}

}  // namespace km::framework
