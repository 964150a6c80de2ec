// The window road: the setup window with its message loop, or, with "--snap",
// the snapshot of that window.
#include "app/roads.h"

#include <objidl.h>
#include <gdiplus.h>
#include <shlwapi.h>

#include <mutex>

#include "app/controller.h"
#include "app/painting.h"
#include "app/snapshot.h"
#include "app/window_proc.h"
#include "engine/helpers.h"
#include "engine/installer.h"

namespace {

constexpr wchar_t WindowClassName[] = L"QuillmarrowDunmirSetup";
constexpr wchar_t WindowTitle[] = L"Quillmarrow Dunmir Setup";
constexpr DWORD WindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int IconResource = 1;
constexpr int BannerResource = 101;

// Decodes the PNG banner carried in the program's resources; null when it
// is missing or cannot be read.
Gdiplus::GpBitmap *loadBanner()
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(self, MAKEINTRESOURCEW(BannerResource), RT_RCDATA);
    if (!resource) return nullptr;
    HGLOBAL loaded = LoadResource(self, resource);
    DWORD size = SizeofResource(self, resource);
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return nullptr;
    IStream *stream = SHCreateMemStream(static_cast<const BYTE *>(bytes), size);
    if (!stream) return nullptr;
    Gdiplus::GpBitmap *bitmap = nullptr;
    Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bitmap);
    stream->Release();
    return bitmap;
}

float screenScale()
{
    WindowDc screen(nullptr);
    return static_cast<float>(GetDeviceCaps(screen.get(), LOGPIXELSX)) / 96.0f;
}

void registerWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IconResource));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IconResource));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WindowClassName;
    // A class left from an earlier window in this process still serves.
    RegisterClassExW(&windowClass);
}

// Centred on the screen with a client area of 560 x 380 at 96 dots per inch;
// on a screen smaller than the window the edges go negative, as they may.
HWND createSetupWindow(HINSTANCE instance)
{
    RECT outer{0, 0, scaled(560), scaled(380)};
    AdjustWindowRect(&outer, WindowStyle, FALSE);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return CreateWindowExW(0, WindowClassName, WindowTitle, WindowStyle, left, top, width, height, nullptr,
                           nullptr, instance, nullptr);
}

void runMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

int runWindowRoad(HINSTANCE instance, int showCommand)
{
    Gdiplus::GdiplusStartupInput startupInput;
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartup(&gdiplusToken, &startupInput, nullptr);

    banner = loadBanner();
    dpiScale = screenScale();
    registerWindowClass(instance);
    window = createSetupWindow(instance);

    int exitCode = 0;
    if (!window) {
        // Without a window no quit message can ever come: the loop would wait forever.
        logLine("Could not create the window.");
        exitCode = 1;
    } else {
        installer.notify = requestRepaint;
        {
            std::lock_guard lock(installer.mutex);
            installer.footer = L"Installs to " + installer.options.installDir.wstring();
        }
        if (!installer.options.snapPath.empty()) return runSnapshot();

        ShowWindow(window, showCommand);
        UpdateWindow(window);
        startCheck();
        runMessageLoop();
    }

    // A check or install still running stops at its next look at the flag.
    installer.cancel.exchange(true);
    if (worker.joinable()) worker.join();
    if (banner) {
        Gdiplus::DllExports::GdipDisposeImage(banner);
        banner = nullptr;
    }
    Gdiplus::GdiplusShutdown(gdiplusToken);
    if (installer.logFile) {
        fclose(installer.logFile);
        installer.logFile = nullptr;
    }
    CoUninitialize();
    return exitCode;
}
