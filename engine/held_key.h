// The key a run of value lines on one key shares: opened once, closed when a
// line names anything else.
#pragma once

#include <cstdint>

#include "engine/scoped_key.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace km {

class HeldKey {
public:
    explicit HeldKey(Platform& sys) : sys_(sys) {}
    ~HeldKey() { Close(); }
    HeldKey(const HeldKey&) = delete;
    HeldKey& operator=(const HeldKey&) = delete;

    // The open key, if root and path name it (ASCII case folded, as the
    // registry folds names); 0 otherwise.
    RegKey Find(RegKey root, const Text& path) const {
        return handle_ != 0 && root == root_ && EqualsIgnoreAsciiCase(path, path_) ? handle_ : 0;
    }
    // Takes over an open key; whatever was held is closed first. Should
    // copying the path fail, the key stays with `key`, which closes it.
    void Keep(RegKey root, const Text& path, ScopedKey& key) {
        Close();
        path_.assign(path);  // keeps its buffer from key to key
        root_ = root;
        handle_ = key.Release();
    }
    // Whether the held key still answers. One that another program removed
    // meanwhile does not; one that refused a line's value (a value to remove
    // that is not there) does.
    bool Answers() const {
        std::uint32_t subKeys = 0;
        return handle_ != 0 && sys_.RegQueryInfoKeyW(handle_, &subKeys);
    }
    void Close() {
        const RegKey handle = handle_;
        handle_ = 0;  // never closed twice, even if closing throws
        if (handle != 0) sys_.RegCloseKey(handle);
    }

private:
    Platform& sys_;
    RegKey root_ = 0;
    Text path_;
    RegKey handle_ = 0;
};

}  // namespace km
