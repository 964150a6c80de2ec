// The program's globals, all in this one unit so that their construction and
// exit-time destruction follow the order of the definitions below: the
// installer first, the worker handle after it, the buttons last (destroyed
// first). The worker is destroyed before the installer it works on.
#include "engine/installer.h"

const char ReleasePublicKeyHex[] = QD_RELEASE_PUBLIC_KEY;

Installer installer;
std::thread worker;
Gdiplus::GpBitmap *banner = nullptr;
HWND window = nullptr;
float dpiScale = 1.0f;
Button primaryButton;
Button secondaryButton;
