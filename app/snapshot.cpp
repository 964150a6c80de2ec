// The snapshot road draws the window off screen with the same layout and
// paint as the live window, so the picture is what a user would see.
#include "app/snapshot.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "app/painting.h"
#include "engine/installer.h"

namespace {

// The class identifier of GDI+'s PNG encoder; false when it has none.
bool findPngEncoder(CLSID &encoder)
{
    using namespace Gdiplus::DllExports;
    UINT count = 0;
    UINT bytes = 0;
    GdipGetImageEncodersSize(&count, &bytes);
    if (count == 0 || bytes == 0) return false;
    // The descriptions' strings live in the same buffer behind the array.
    std::vector<unsigned char> buffer(bytes, 0);
    auto *codecs = reinterpret_cast<Gdiplus::ImageCodecInfo *>(buffer.data());
    if (GdipGetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType && std::wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            encoder = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

void showSampleState()
{
    std::lock_guard lock(installer.mutex);
    installer.statusTitle = L"Install Quillmarrow Dunmir v1.0.21b?";
    installer.statusDetail = L"812 MB to download.";
    installer.fraction = 0.38;
    installer.primaryLabel = L"INSTALL";
    installer.secondaryLabel = L"CLOSE";
}

} // namespace

int runSnapshot()
{
    showSampleState();

    RECT client{};
    GetClientRect(window, &client);
    int width = client.right;
    int height = client.bottom;
    layoutButtons(width, height);

    WindowDc screen(nullptr);
    MemoryDc memory(screen.get());
    GdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(screen.get(), width, height));
    {
        SelectedObject selected(memory.get(), bitmap.get());
        paintWindow(memory.get(), width, height);
    }

    CLSID encoder{};
    if (!findPngEncoder(encoder)) return 1;

    using namespace Gdiplus::DllExports;
    Gdiplus::GpBitmap *image = nullptr;
    GdipCreateBitmapFromHBITMAP(bitmap.get(), nullptr, &image);
    if (!image) return 1;
    Gdiplus::GpStatus saved = GdipSaveImageToFile(image, installer.options.snapPath.c_str(), &encoder, nullptr);
    GdipDisposeImage(image);
    return saved == Gdiplus::Ok ? 0 : 1;
}
