// An open registry key that is closed when it goes out of scope.
#pragma once

#include "platform/platform.h"

namespace km {

// Receives the handle from an open or create; the empty handle is left alone.
class ScopedKey {
public:
    explicit ScopedKey(Platform& sys) : sys_(sys) {}
    ~ScopedKey() {
        if (key_ != 0) sys_.RegCloseKey(key_);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    RegKey* Receive() { return &key_; }
    RegKey Get() const { return key_; }
    // Hands the key over; it is no longer closed here.
    RegKey Release() {
        const RegKey key = key_;
        key_ = 0;
        return key;
    }

private:
    Platform& sys_;
    RegKey key_ = 0;
};

}  // namespace km
