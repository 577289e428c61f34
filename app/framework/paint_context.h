// A paint context for WM_PAINT: BeginPaint on construction, EndPaint on destruction.
#pragma once

#include <windows.h>

namespace km::framework {

class PaintContext {
public:
    explicit PaintContext(HWND window) : window_(window), dc_(::BeginPaint(window, &paint_)) {}
    ~PaintContext() { ::EndPaint(window_, &paint_); }
    PaintContext(const PaintContext&) = delete;
    PaintContext& operator=(const PaintContext&) = delete;

    HDC Dc() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_;
};

}  // namespace km::framework
