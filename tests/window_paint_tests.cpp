// The window's geometry and paint, drawn with real GDI into a 32-bit bitmap
// and read back pixel by pixel. Every expected position is worked out by
// hand from the window's design lengths (units of 1/96 inch).
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>

#include "app/painting.h"
#include "engine/installer.h"
#include "window_support.h"

using namespace window_test;

namespace {

// A top-down 32-bit bitmap selected into a memory context, so that GetPixel
// returns exactly what was drawn.
class Canvas {
public:
    Canvas(int width, int height) : dc_(CreateCompatibleDC(nullptr))
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void *bits = nullptr;
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
    }
    ~Canvas()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    Rgb at(int x, int y) const { return fromColorref(GetPixel(dc_, x, y)); }

private:
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
};

void showState(const std::wstring &title, const std::wstring &detail, double fraction,
               const std::wstring &primary, const std::wstring &secondary)
{
    std::lock_guard lock(installer.mutex);
    installer.statusTitle = title;
    installer.statusDetail = detail;
    installer.footer = L"Installs to C:\\Games\\Quillmarrow Dunmir";
    installer.fraction = fraction;
    installer.primaryLabel = primary;
    installer.secondaryLabel = secondary;
}

class PaintTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dpiScale = 1.0f;
        banner = nullptr;
        primaryButton = Button{};
        secondaryButton = Button{};
    }
    void TearDown() override
    {
        dpiScale = 1.0f;
        showState(L"", L"", -1.0, L"", L"");
        primaryButton = Button{};
        secondaryButton = Button{};
    }

    // Lays out and paints a window of the given client size.
    void paint(Canvas &canvas, int width, int height)
    {
        layoutButtons(width, height);
        paintWindow(canvas.dc(), width, height);
    }
};

} // namespace

TEST_F(PaintTest, ScaledRoundsHalfUpInSinglePrecision)
{
    struct Case {
        float scale;
        float units;
        int pixels;
    } cases[] = {
        {1.0f, 12.5f, 13}, {1.0f, 24.0f, 24},   {1.5f, 24.0f, 36},   {1.5f, 12.5f, 19},
        {1.49f, 1.0f, 1},  {1.5f, 1.0f, 2},     {1.5f, 560.0f, 840}, {1.5f, 380.0f, 570},
        {1.25f, 22.0f, 28}, {1.75f, 330.0f, 578}, {2.0f, 0.0f, 0},
    };
    for (const Case &c : cases) {
        dpiScale = c.scale;
        EXPECT_EQ(scaled(c.units), c.pixels) << c.units << " units at " << c.scale;
    }
}

TEST_F(PaintTest, TheFractionDecidesTrackAndFill)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double fraction;
        Rgb atLeft, atRight;
    } cases[] = {
        {0.0, Track, Track},           {1.0, Fill, Fill},
        {1.7, Fill, Fill},             {-1.0, Background, Background},
        {nan, Background, Background}, {0.001, Track, Track}, // 0.464 truncates to no fill
    };
    for (const Case &c : cases) {
        Canvas canvas(560, 380);
        showState(L"", L"", c.fraction, L"", L"");
        paint(canvas, 560, 380);
        EXPECT_EQ(canvas.at(48, 130), c.atLeft) << c.fraction;
        EXPECT_EQ(canvas.at(511, 130), c.atRight) << c.fraction;
        EXPECT_EQ(canvas.at(512, 130), Background) << c.fraction; // never past the track
    }
}

TEST_F(PaintTest, ButtonsShowFaceOutlineHoverAndOnlyWithALabel)
{
    struct Case {
        std::wstring primaryLabel;
        bool primaryHot, secondaryHot;
        Rgb primaryFace, primaryOutline, secondaryFace;
    } cases[] = {
        {L"PLAY", false, false, PrimaryFace, PrimaryOutline, SecondaryFace},
        {L"PLAY", true, false, PrimaryHotFace, PrimaryOutline, SecondaryFace},
        {L"PLAY", false, true, PrimaryFace, PrimaryOutline, SecondaryHotFace},
        {L"", true, false, Background, Background, SecondaryFace}, // absent, even when hot
    };
    for (const Case &c : cases) {
        Canvas canvas(560, 380);
        showState(L"", L"", -1.0, c.primaryLabel, L"CLOSE");
        primaryButton.label = L"stale";
        primaryButton.hot = c.primaryHot;
        secondaryButton.hot = c.secondaryHot;
        paint(canvas, 560, 380);
        // The paint hands its labels to the hit tests.
        EXPECT_EQ(primaryButton.label, c.primaryLabel);
        EXPECT_EQ(secondaryButton.label, L"CLOSE");
        // Faces between the rounded corners and the centred label; outlines
        // in the same colour hot or not.
        EXPECT_EQ(canvas.at(392, 336), c.primaryFace);
        EXPECT_EQ(canvas.at(461, 320), c.primaryFace);
        EXPECT_EQ(canvas.at(461, 316), c.primaryOutline);
        EXPECT_EQ(canvas.at(535, 336), c.primaryOutline);
        EXPECT_EQ(canvas.at(230, 336), c.secondaryFace);
        EXPECT_EQ(canvas.at(299, 316), SecondaryOutline);
        EXPECT_EQ(canvas.at(380, 336), Background); // the gap between the buttons
    }
}

// The outline is scaled(1) wide but at least 1: 1 pixel at 1.49, 2 at 1.5.
TEST_F(PaintTest, OutlineWidthFollowsTheScale)
{
    struct Case {
        float scale;
        int expectedRows;
    } cases[] = {{1.49f, 1}, {1.5f, 2}};
    for (const Case &c : cases) {
        dpiScale = c.scale;
        int width = scaled(560), height = scaled(380);
        Canvas canvas(width, height);
        showState(L"", L"", -1.0, L"PLAY", L"");
        paint(canvas, width, height);
        int middle = (primaryButton.rect.left + primaryButton.rect.right) / 2;
        int rows = 0;
        for (int y = primaryButton.rect.top - 3; y < primaryButton.rect.top + 6; ++y)
            if (canvas.at(middle, y) == PrimaryOutline) ++rows;
        EXPECT_EQ(rows, c.expectedRows) << "at " << c.scale;
    }
}

// A 100 x 50 banner is drawn 330 wide and 330 * 50 / 100 = 165 high at
// x (560 - 330) / 2 = 115, y 22; the separator follows at 22 + 14 + 165 = 201.
TEST_F(PaintTest, TheBannerIsScaledToItsWidthAndPushesTheRowsDown)
{
    using namespace Gdiplus::DllExports;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    Gdiplus::GpBitmap *image = nullptr;
    ASSERT_EQ(GdipCreateBitmapFromScan0(100, 50, 0, PixelFormat32bppARGB, nullptr, &image), Gdiplus::Ok);
    Gdiplus::GpGraphics *graphics = nullptr;
    GdipGetImageGraphicsContext(image, &graphics);
    GdipGraphicsClear(graphics, 0xFFC81E1E);
    GdipDeleteGraphics(graphics);
    banner = image;

    {
        Canvas canvas(560, 380);
        showState(L"", L"", 0.0, L"", L"");
        paint(canvas, 560, 380);
        const Rgb red{200, 30, 30};
        EXPECT_EQ(canvas.at(280, 100), red);
        EXPECT_EQ(canvas.at(130, 40), red);
        EXPECT_EQ(canvas.at(430, 170), red);
        EXPECT_EQ(canvas.at(110, 100), Background);
        EXPECT_EQ(canvas.at(450, 100), Background);
        EXPECT_EQ(canvas.at(280, 18), Background);
        EXPECT_EQ(canvas.at(280, 192), Background);
        EXPECT_EQ(canvas.at(300, 201), Separator);
        // The bar follows at 201 + 18 + 46 + 40 = 305.
        EXPECT_EQ(canvas.at(100, 305), Track);
        EXPECT_EQ(canvas.at(100, 304), Background);
    }

    banner = nullptr;
    GdipDisposeImage(image);
    Gdiplus::GdiplusShutdown(token);
}
