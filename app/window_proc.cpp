// The window procedure. The two buttons are drawn, not child controls, so
// hover, cursor and clicks are worked out here from their rectangles.
#include "app/window_proc.h"

#include <windowsx.h>

#include "app/controller.h"
#include "app/painting.h"
#include "engine/game_start.h"
#include "engine/installer.h"

namespace {

bool hits(const Button &button, POINT point)
{
    return !button.label.empty() && PtInRect(&button.rect, point);
}

POINT pointOf(LPARAM lParam)
{
    // Signed: on a multi-monitor desktop or during a drag the point can lie
    // left of or above the client area.
    return POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
}

void repaintWindow()
{
    if (window) InvalidateRect(window, nullptr, FALSE);
}

// Draws into a bitmap first and copies it over in one go, so the window
// never shows a half-drawn frame.
void paintBuffered(HWND hwnd)
{
    PAINTSTRUCT ps;
    HDC windowDc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    {
        MemoryDc memory(windowDc);
        GdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(windowDc, client.right, client.bottom));
        SelectedObject selected(memory.get(), bitmap.get());
        paintWindow(memory.get(), client.right, client.bottom);
        BitBlt(windowDc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
    }
    EndPaint(hwnd, &ps);
}

void trackHover(HWND hwnd, LPARAM lParam)
{
    POINT point = pointOf(lParam);
    bool onPrimary = hits(primaryButton, point);
    bool onSecondary = hits(secondaryButton, point);
    if (onPrimary != primaryButton.hot || onSecondary != secondaryButton.hot) {
        primaryButton.hot = onPrimary;
        secondaryButton.hot = onSecondary;
        repaintWindow();
    }
    SetCursor(LoadCursorW(nullptr, onPrimary || onSecondary ? IDC_HAND : IDC_ARROW));
    // Renewed on every move: the window manager drops the request once
    // WM_MOUSELEAVE has been sent.
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = hwnd;
    track.dwHoverTime = 0;
    TrackMouseEvent(&track);
}

void click(LPARAM lParam)
{
    POINT point = pointOf(lParam);
    if (hits(primaryButton, point))
        pressPrimary();
    else if (hits(secondaryButton, point))
        requestClose();
}

} // namespace

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        installer.cancel.exchange(true);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        layoutButtons(LOWORD(lParam), HIWORD(lParam));
        repaintWindow();
        return 0;
    case WM_PAINT:
        paintBuffered(hwnd);
        return 0;
    case WM_CLOSE:
        // No default processing: only requestClose decides whether the
        // window goes (not while an install runs and the user says No).
        requestClose();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETCURSOR:
        // Inside the client area the cursor chosen on the last mouse move stays.
        if (LOWORD(lParam) == HTCLIENT) return 1;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    case WM_KEYDOWN:
        if (wParam == VK_RETURN) {
            if (!primaryButton.label.empty()) pressPrimary();
        } else if (wParam == VK_ESCAPE) {
            requestClose();
        }
        return 0;
    case WM_MOUSEMOVE:
        trackHover(hwnd, lParam);
        return 0;
    case WM_LBUTTONUP:
        click(lParam);
        return 0;
    case WM_MOUSELEAVE:
        primaryButton.hot = false;
        secondaryButton.hot = false;
        repaintWindow();
        return 0;
    case WM_APP_START_APPLY:
        startApply();
        return 0;
    case WM_APP_PLAY:
        if (launchGame(true)) DestroyWindow(hwnd);
        return 0;
    case WM_APP_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
