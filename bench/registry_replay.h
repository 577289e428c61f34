// Registry calls as the update pass made them, and the bare loop that makes
// them again: the floor the pass is measured against.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace km {

// Keys are named by slot: a predefined root (kClassesRootSlot...) or the slot
// an earlier open or create filled.
constexpr int kClassesRootSlot = -1;
constexpr int kLocalMachineSlot = -2;
constexpr int kUsersSlot = -3;

struct RegistryCall {
    SeamOp op = SeamOp::RegCloseKey;  // one of the calls that change keys, or a close
    int key = 0;         // the key passed
    int result = 0;      // the slot an open or create fills
    std::wstring subKey;
    bool hasSubKey = false;  // a null subkey otherwise
    std::wstring valueName;
    DWORD options = 0;
    DWORD sam = 0;
    DWORD type = 0;
    bool hasAttributes = false;
    BOOL inheritHandle = FALSE;
    // The bytes passed, and for text types the 16-bit zero the caller's buffer
    // holds after them: the system looks at it (a text whose size leaves out
    // its terminator gets the terminator counted when one follows).
    std::vector<BYTE> data;
    DWORD size = 0;
    bool hasData = false;  // a null data pointer otherwise
};

struct CallScript {
    std::vector<RegistryCall> calls;
    int slots = 0;
};

// Makes every call of the script, in order, straight through the API.
void ReplayCalls(const CallScript& script);

// The same changes with a key kept open from one line to the next when both
// open or create the same key the same way: the close and the reopen between
// them are left out. What an applier that keeps keys open would call.
CallScript KeepKeysOpen(const CallScript& script);

}  // namespace km
