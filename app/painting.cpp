// Window painting: everything in the client area is drawn here with GDI
// (the banner with GDI+); the window has no child controls.
#include "app/painting.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "engine/installer.h"

namespace {

constexpr COLORREF BackgroundColour = RGB(11, 13, 16);
constexpr COLORREF SeparatorColour = RGB(70, 58, 40);
constexpr COLORREF TitleColour = RGB(230, 225, 211);
constexpr COLORREF DetailColour = RGB(150, 146, 136);
constexpr COLORREF FooterColour = RGB(110, 107, 100);
constexpr COLORREF TrackColour = RGB(22, 26, 32);
constexpr COLORREF FillColour = RGB(57, 140, 160);
constexpr COLORREF SecondaryFace = RGB(22, 26, 32);
constexpr COLORREF SecondaryHotFace = RGB(40, 46, 56);
constexpr COLORREF SecondaryOutline = RGB(70, 76, 86);
constexpr COLORREF SecondaryText = RGB(230, 225, 211);
constexpr COLORREF PrimaryFace = RGB(188, 155, 106);
constexpr COLORREF PrimaryHotFace = RGB(220, 192, 140);
constexpr COLORREF PrimaryOutline = RGB(220, 192, 140);
constexpr COLORREF PrimaryText = RGB(11, 13, 16);

struct TextStyle {
    float size;
    int weight;
    COLORREF colour;
};

constexpr TextStyle TitleStyle{15.0f, 600, TitleColour};
constexpr TextStyle DetailStyle{11.0f, 400, DetailColour};
constexpr TextStyle FooterStyle{10.0f, 400, FooterColour};
constexpr float ButtonTextSize = 12.5f;
constexpr int ButtonTextWeight = 600;

// Each text gets a font of its own for the one call; nothing is cached
// between paints, so a change of dpiScale needs no invalidation.
HFONT makeFont(float size, int weight)
{
    return CreateFontW(-scaled(size), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

void drawTextIn(HDC dc, const std::wstring &text, float size, int weight, COLORREF colour, RECT box,
                UINT format)
{
    GdiObject<HFONT> font(makeFont(size, weight));
    SelectedObject selected(dc, font.get());
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), -1, &box, format);
}

// A centred, word-wrapped text box between the side margins.
void drawTextBox(HDC dc, const std::wstring &text, const TextStyle &style, int top, int height,
                 int width)
{
    RECT box{scaled(32), top, width - scaled(32), top + height};
    drawTextIn(dc, text, style.size, style.weight, style.colour, box,
               DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

void fillSolid(HDC dc, RECT area, COLORREF colour)
{
    GdiObject<HBRUSH> brush(CreateSolidBrush(colour));
    FillRect(dc, &area, brush.get());
}

// Owns a GDI+ graphics object made on a device context.
class Graphics {
public:
    explicit Graphics(HDC dc) { Gdiplus::DllExports::GdipCreateFromHDC(dc, &graphics_); }
    Graphics(const Graphics &) = delete;
    Graphics &operator=(const Graphics &) = delete;
    ~Graphics()
    {
        if (graphics_) Gdiplus::DllExports::GdipDeleteGraphics(graphics_);
    }

    Gdiplus::GpGraphics *get() const { return graphics_; }

private:
    Gdiplus::GpGraphics *graphics_ = nullptr;
};

// Draws the banner centred below the top margin; returns its drawn height.
int drawBanner(HDC dc, int width, int top)
{
    using namespace Gdiplus::DllExports;
    Graphics graphics(dc);
    GdipSetInterpolationMode(graphics.get(), Gdiplus::InterpolationModeHighQualityBicubic);
    int bannerWidth = scaled(330);
    // A size that cannot be read stays 0, so a broken image takes no height.
    UINT imageHeight = 0;
    UINT imageWidth = 0;
    GdipGetImageHeight(banner, &imageHeight);
    GdipGetImageWidth(banner, &imageWidth);
    if (imageWidth == 0) imageWidth = 1;
    int bannerHeight = static_cast<int>(static_cast<double>(bannerWidth) * imageHeight / imageWidth);
    GdipDrawImageRectI(graphics.get(), banner, (width - bannerWidth) / 2, top, bannerWidth, bannerHeight);
    return bannerHeight;
}

} // namespace

int scaled(float k)
{
    float pixels = k * dpiScale + 0.5f;
    return static_cast<int>(pixels);
}

void layoutButtons(int clientWidth, int clientHeight)
{
    int margin = scaled(24);
    int top = clientHeight - margin - scaled(40);
    int bottom = clientHeight - margin;
    primaryButton.rect = RECT{clientWidth - margin - scaled(150), top, clientWidth - margin, bottom};
    int secondaryRight = primaryButton.rect.left - scaled(12);
    secondaryButton.rect = RECT{secondaryRight - scaled(150), top, secondaryRight, bottom};
}

void paintWindow(HDC dc, int width, int height)
{
    fillSolid(dc, RECT{0, 0, width, height}, BackgroundColour);
    SetBkMode(dc, TRANSPARENT);

    // Draw from a copy: the worker may publish a new status while we draw.
    std::wstring title, detail, footer, primaryLabel, secondaryLabel;
    double fraction;
    {
        std::lock_guard lock(installer.mutex);
        title = installer.statusTitle;
        detail = installer.statusDetail;
        footer = installer.footer;
        fraction = installer.fraction;
        primaryLabel = installer.primaryLabel;
        secondaryLabel = installer.secondaryLabel;
    }

    // Every row sits at a fixed offset from the one above it, so an empty
    // text or a hidden bar leaves a gap instead of moving the rows below.
    int y = scaled(22);
    if (banner) y = y + scaled(14) + drawBanner(dc, width, y);

    {
        GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, SeparatorColour));
        SelectedObject selected(dc, pen.get());
        MoveToEx(dc, scaled(40), y, nullptr);
        LineTo(dc, width - scaled(40), y);
    }

    int titleTop = y + scaled(18);
    if (!title.empty()) drawTextBox(dc, title, TitleStyle, titleTop, scaled(46), width);

    int detailTop = titleTop + scaled(46);
    if (!detail.empty()) drawTextBox(dc, detail, DetailStyle, detailTop, scaled(36), width);

    int barTop = detailTop + scaled(40);
    // Written as a positive test so that NaN, like any negative value, hides the bar.
    if (fraction >= 0.0) {
        int left = scaled(48);
        int right = width - scaled(48);
        int bottom = barTop + scaled(10);
        fillSolid(dc, RECT{left, barTop, right, bottom}, TrackColour);
        int fillRight = left + static_cast<int>(static_cast<double>(right - left) * std::min(fraction, 1.0));
        fillSolid(dc, RECT{left, barTop, fillRight, bottom}, FillColour);
    }

    int footerTop = barTop + scaled(24);
    if (!footer.empty()) drawTextBox(dc, footer, FooterStyle, footerTop, scaled(34), width);

    // Hit tests use the labels of this paint until the next one.
    primaryButton.label = primaryLabel;
    secondaryButton.label = secondaryLabel;
    if (!secondaryButton.label.empty()) drawButton(dc, secondaryButton, false);
    if (!primaryButton.label.empty()) drawButton(dc, primaryButton, true);
}

void drawButton(HDC dc, const Button &button, bool primary)
{
    COLORREF face = primary ? (button.hot ? PrimaryHotFace : PrimaryFace)
                            : (button.hot ? SecondaryHotFace : SecondaryFace);
    COLORREF outline = primary ? PrimaryOutline : SecondaryOutline;
    {
        GdiObject<HBRUSH> brush(CreateSolidBrush(face));
        GdiObject<HPEN> pen(CreatePen(PS_SOLID, std::max(scaled(1), 1), outline));
        SelectedObject selectedBrush(dc, brush.get());
        SelectedObject selectedPen(dc, pen.get());
        const RECT &r = button.rect;
        RoundRect(dc, r.left, r.top, r.right, r.bottom, scaled(10), scaled(10));
    }
    drawTextIn(dc, button.label, ButtonTextSize, ButtonTextWeight, primary ? PrimaryText : SecondaryText,
               button.rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}
