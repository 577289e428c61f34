// Owning wrappers for Win32 handles, so every exit path closes what it opened.
#pragma once

#include <windows.h>

#include <utility>

namespace km {

// Owns one handle of a kind described by Traits (its empty value and how it
// is closed). Move-only.
template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() = default;
    explicit UniqueHandle(Type handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Type Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Empty(); }
    explicit operator bool() const { return Valid(); }

    // Gives the handle up without closing it.
    Type Release() { return std::exchange(handle_, Traits::Empty()); }

    void Reset(Type handle = Traits::Empty()) {
        Type old = std::exchange(handle_, handle);
        if (old != Traits::Empty()) Traits::Close(old);
    }

private:
    Type handle_ = Traits::Empty();
};

// Kernel objects that use null for "none": processes, threads.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};

// File handles, whose failure value is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

// Registry keys opened or created by the caller (never a predefined root).
struct RegKeyHandleTraits {
    using Type = HKEY;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

// A handle whose "none" is null, closed by one function of one argument.
template <typename T, auto CloseFunction>
struct ClosedBy {
    using Type = T;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { CloseFunction(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyHandleTraits>;

}  // namespace km
