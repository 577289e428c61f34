// The machine's registry as the source of a read-through base, read only:
// every key opened for reading, hives of users who are not logged on loaded
// privately. Defined on Windows only (live_base_win32.cpp).
#pragma once

#include <memory>

#include "platform/memory/key_source.h"

namespace km::toolkit {

std::shared_ptr<RegistrySource> OpenMachineRegistry();

}  // namespace km::toolkit
