// Drawing the setup window: where its two buttons lie and how its whole
// client area looks, at the screen scale in dpiScale. Also the small owners
// for the GDI objects that every paint makes and frees again.
#pragma once

#include <windows.h>


#include "app/button.h"

// k units of 1/96 inch in pixels at dpiScale: k * dpiScale + 0.5 in single
// precision, truncated toward zero.
int scaled(float k);

// Places primaryButton and secondaryButton at the bottom right of a client
// area of the given size.
void layoutButtons(int clientWidth, int clientHeight);

// Draws the whole area {0, 0, width, height} from a copy of the shown state,
// and takes the button labels that later hit tests use.
void paintWindow(HDC dc, int width, int height);

// Draws one button with its label, in the accent colours when primary.
void drawButton(HDC dc, const Button &button, bool primary);

// One GDI object (brush, pen, font, bitmap); deleted when the owner goes.
// Declare the owner before the SelectedObject that puts it into a context,
// so that the old object is back in place before this one is deleted.
template <class Handle>
class GdiObject {
public:
    explicit GdiObject(Handle handle) : handle_(handle) {}
    GdiObject(const GdiObject &) = delete;
    GdiObject &operator=(const GdiObject &) = delete;
    ~GdiObject()
    {
        if (handle_) DeleteObject(handle_);
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    Handle handle_;
};

// Selects an object into a device context and puts the replaced one back,
// so that no paint leaves our object selected when it is deleted.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(object ? SelectObject(dc, object) : nullptr) {}
    SelectedObject(const SelectedObject &) = delete;
    SelectedObject &operator=(const SelectedObject &) = delete;
    ~SelectedObject()
    {
        if (old_ && old_ != HGDI_ERROR) SelectObject(dc_, old_);
    }

private:
    HDC dc_;
    HGDIOBJ old_;
};

// A memory device context from CreateCompatibleDC.
class MemoryDc {
public:
    explicit MemoryDc(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
    MemoryDc(const MemoryDc &) = delete;
    MemoryDc &operator=(const MemoryDc &) = delete;
    ~MemoryDc()
    {
        if (dc_) DeleteDC(dc_);
    }

    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HDC dc_;
};

// A window's (or, for no window, the screen's) device context from GetDC,
// which must go back with ReleaseDC rather than DeleteDC.
class WindowDc {
public:
    explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    WindowDc(const WindowDc &) = delete;
    WindowDc &operator=(const WindowDc &) = delete;
    ~WindowDc()
    {
        if (dc_) ReleaseDC(hwnd_, dc_);
    }

    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HWND hwnd_;
    HDC dc_;
};
