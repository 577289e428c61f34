#include "bench/registry_replay.h"

#include <optional>

namespace km {

namespace {

HKEY RootOf(int slot) {
    switch (slot) {
        case kClassesRootSlot: return HKEY_CLASSES_ROOT;
        case kLocalMachineSlot: return HKEY_LOCAL_MACHINE;
        default: return HKEY_USERS;
    }
}

const wchar_t* OrNull(const std::wstring& text, bool present) {
    return present ? text.c_str() : nullptr;
}

}  // namespace

// Raw handles on purpose: the script holds the pass's own RegCloseKey calls,
// and the floor makes exactly those.
void ReplayCalls(const CallScript& script) {
    std::vector<HKEY> slots(std::size_t(script.slots), nullptr);
    for (const RegistryCall& call : script.calls) {
        const HKEY key = call.key < 0 ? RootOf(call.key) : slots[std::size_t(call.key)];
        switch (call.op) {
            case SeamOp::RegOpenKeyExW:
                if (::RegOpenKeyExW(key, call.subKey.c_str(), call.options, call.sam,
                                    &slots[std::size_t(call.result)]) != ERROR_SUCCESS)
                    slots[std::size_t(call.result)] = nullptr;
                break;
            case SeamOp::RegCreateKeyExW: {
                SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, call.inheritHandle};
                if (::RegCreateKeyExW(key, call.subKey.c_str(), 0, nullptr, call.options, call.sam,
                                      call.hasAttributes ? &attributes : nullptr,
                                      &slots[std::size_t(call.result)], nullptr) != ERROR_SUCCESS)
                    slots[std::size_t(call.result)] = nullptr;
                break;
            }
            case SeamOp::RegSetValueExW:
                ::RegSetValueExW(key, call.valueName.c_str(), 0, call.type,
                                 call.hasData ? call.data.data() : nullptr, call.size);
                break;
            case SeamOp::RegDeleteKeyValueW:
                ::RegDeleteKeyValueW(key, OrNull(call.subKey, call.hasSubKey),
                                     call.valueName.c_str());
                break;
            case SeamOp::RegDeleteTreeW:
                ::RegDeleteTreeW(key, OrNull(call.subKey, call.hasSubKey));
                break;
            case SeamOp::RegDeleteKeyExW:
                ::RegDeleteKeyExW(key, call.subKey.c_str(), call.sam, 0);
                break;
            case SeamOp::RegCloseKey:
                ::RegCloseKey(key);
                break;
            default:  // a script holds no other call
                break;
        }
    }
}

namespace {

std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
    return text;
}

bool OpensKey(const RegistryCall& call) {
    return call.op == SeamOp::RegOpenKeyExW || call.op == SeamOp::RegCreateKeyExW;
}

// Two opens reach the same key with the same rights.
bool SameOpen(const RegistryCall& a, const RegistryCall& b) {
    return a.key == b.key && a.sam == b.sam && a.options == b.options &&
           Folded(a.subKey) == Folded(b.subKey);
}

}  // namespace

CallScript KeepKeysOpen(const CallScript& script) {
    CallScript kept;
    kept.slots = script.slots;
    std::vector<int> slotOf(std::size_t(script.slots));
    for (int i = 0; i < script.slots; ++i) slotOf[std::size_t(i)] = i;
    auto mapped = [&](int slot) { return slot < 0 ? slot : slotOf[std::size_t(slot)]; };

    const RegistryCall* lastOpen = nullptr;  // the open that gave the current key
    bool reusable = false;                   // no removal touched that key since
    std::optional<RegistryCall> heldClose;   // the close put off for a reuse

    for (const RegistryCall& original : script.calls) {
        RegistryCall call = original;
        call.key = mapped(call.key);
        if (OpensKey(call) && heldClose && lastOpen && reusable &&
            SameOpen(*lastOpen, original)) {
            // The held key serves this line too.
            slotOf[std::size_t(call.result)] = heldClose->key;
            heldClose.reset();
            continue;
        }
        if (call.op == SeamOp::RegCloseKey && reusable) {
            heldClose = call;
            continue;
        }
        if (heldClose) {
            kept.calls.push_back(*heldClose);
            heldClose.reset();
        }
        if (OpensKey(call)) {
            lastOpen = &original;
            reusable = true;
        }
        if (call.op == SeamOp::RegDeleteTreeW || call.op == SeamOp::RegDeleteKeyExW)
            reusable = false;
        kept.calls.push_back(call);
    }
    if (heldClose) kept.calls.push_back(*heldClose);
    return kept;
}

}  // namespace km
