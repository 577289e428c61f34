#include "app/run_context.h"

#include "platform/win32/win32_platform.h"

namespace km {

RunState& TheRunState() {
    static RunState* const state = new RunState();
    return *state;
}

Platform& ThePlatform() {
    static Platform* const platform = new Win32Platform();
    return *platform;
}

}  // namespace km
