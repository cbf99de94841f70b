// SPDX-License-Identifier: MIT
// The status panel drawn through the GDI canvas into a memory bitmap, checked
// pixel by pixel. The test program carries the logo as bitmap resource 12,
// as the real program does.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "ui/panel.h"
#include "ui/win32/gdi_canvas.h"

namespace {

// Wider than the 538-pixel client area, so that the error counter's clearing
// up to x = 540 can be seen.
constexpr int kWidth = 560;
constexpr int kHeight = 180;
// A colour that nothing in the panel or the logo uses: whatever still shows
// it was not drawn on.
constexpr COLORREF kUntouched = RGB(0x20, 0x90, 0x40);

class GdiPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc_, nullptr);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;  // top-down: row 0 is y = 0
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dib_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(dib_, nullptr);
    bits_ = static_cast<uint32_t*>(bits);
    previous_ = SelectObject(dc_, dib_);
    Reset();
  }

  void TearDown() override {
    if (dc_ != nullptr) {
      SelectObject(dc_, previous_);
      DeleteDC(dc_);
    }
    if (dib_ != nullptr) DeleteObject(dib_);
  }

  void Reset() {
    GdiFlush();
    const uint32_t pixel = ToPixel(kUntouched);
    std::fill(bits_, bits_ + kWidth * kHeight, pixel);
  }

  static uint32_t ToPixel(COLORREF c) {
    return (uint32_t{GetRValue(c)} << 16) | (uint32_t{GetGValue(c)} << 8) | GetBValue(c);
  }

  COLORREF At(int x, int y) {
    GdiFlush();
    const uint32_t p = bits_[y * kWidth + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }

  // Pixels of the rectangle (right and bottom edges excluded) that match.
  int Count(const PanelRect& r, const std::function<bool(COLORREF)>& match) {
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) n += match(At(x, y)) ? 1 : 0;
    }
    return n;
  }
  int CountOf(const PanelRect& r, COLORREF colour) {
    return Count(r, [colour](COLORREF c) { return c == colour; });
  }
  static int Area(const PanelRect& r) { return (r.right - r.left) * (r.bottom - r.top); }

  // Writes what was drawn to a .bmp when MORVIX_PANEL_SNAPSHOT names a file.
  void Snapshot(const char* name) {
    const char* dir = std::getenv("MORVIX_PANEL_SNAPSHOT");
    if (dir == nullptr) return;
    GdiFlush();
    const std::string path = std::string(dir) + "/" + name + ".bmp";
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = kWidth;
    info.biHeight = -kHeight;
    info.biPlanes = 1;
    info.biBitCount = 32;
    const DWORD size = kWidth * kHeight * 4;
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + size;
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
      std::fwrite(&file, sizeof file, 1, out);
      std::fwrite(&info, sizeof info, 1, out);
      std::fwrite(bits_, size, 1, out);
      std::fclose(out);
    }
  }

  HDC dc_ = nullptr;
  HBITMAP dib_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  uint32_t* bits_ = nullptr;
  GdiLogo logo_{GetModuleHandleA(nullptr)};
};

const COLORREF kWhiteRef = RGB(255, 255, 255);
const COLORREF kRedRef = RGB(255, 0, 0);
bool IsDark(COLORREF c) { return GetRValue(c) + GetGValue(c) + GetBValue(c) < 3 * 96; }

// --- Progress bar -------------------------------------------------------------

struct BarCase {
  int32_t progress;
  int redWidth;
};

void PrintTo(const BarCase& c, std::ostream* out) { *out << "progress " << c.progress; }

class GdiProgressBar : public GdiPanel, public ::testing::WithParamInterface<BarCase> {};

TEST_P(GdiProgressBar, RedFromTheLeftThenWhiteWithinTenTo519By105To124) {
  GdiCanvas canvas(dc_, logo_);
  DisplayProgressBar(canvas, GetParam().progress);
  const int redEnd = 10 + GetParam().redWidth;
  EXPECT_EQ(CountOf({10, 105, redEnd, 125}, kRedRef), Area({10, 105, redEnd, 125}));
  EXPECT_EQ(CountOf({redEnd, 105, 520, 125}, kWhiteRef), Area({redEnd, 105, 520, 125}));
  // Nothing around the bar was touched.
  EXPECT_EQ(CountOf({9, 104, 521, 105}, kUntouched), 512);
  EXPECT_EQ(CountOf({9, 125, 521, 126}, kUntouched), 512);
  EXPECT_EQ(At(9, 115), kUntouched);
  EXPECT_EQ(At(520, 115), kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Percentages, GdiProgressBar,
                         ::testing::Values(BarCase{0, 0}, BarCase{33, 168}, BarCase{50, 255},
                                           BarCase{100, 510}));

// --- Cleared areas and texts ------------------------------------------------

TEST_F(GdiPanel, TextAreasAreClearedWithTheWindowColourAndNoFurther) {
  GdiCanvas canvas(dc_, logo_);
  DrawPanelOnPaint(canvas, PanelValues{});
  const COLORREF window = GetSysColor(COLOR_SCROLLBAR);
  // The bottom row of each area lies below its text.
  struct {
    PanelRect area;
  } const areas[] = {
      {{160, 70, 335, 90}}, {{10, 140, 130, 160}}, {{160, 140, 300, 160}}, {{320, 140, 540, 160}}};
  for (const auto& a : areas) {
    const PanelRect& r = a.area;
    const PanelRect bottomRow{r.left, r.bottom - 1, r.right, r.bottom};
    EXPECT_EQ(CountOf(bottomRow, window), r.right - r.left) << r.left << "," << r.top;
    EXPECT_EQ(At(r.left - 1, r.bottom - 1), kUntouched) << r.left << "," << r.top;
    EXPECT_EQ(At(r.left, r.bottom), kUntouched) << r.left << "," << r.top;
  }
  // The gaps between areas on the bottom line stay as they were.
  EXPECT_EQ(At(130, 159), kUntouched);
  EXPECT_EQ(At(300, 159), kUntouched);
  EXPECT_EQ(At(540, 159), kUntouched);
  EXPECT_EQ(At(335, 89), kUntouched);
}

TEST_F(GdiPanel, DateIsDrawnOnATransparentBackground) {
  GdiCanvas canvas(dc_, logo_);
  DisplayDate(canvas);
  const PanelRect line{300, 25, 540, 45};
  // Glyphs in the default text colour, and between them what was there
  // before: an opaque background would show the context's white.
  EXPECT_GT(Count(line, IsDark), 40);
  EXPECT_EQ(CountOf(line, kWhiteRef), 0);
  EXPECT_GT(CountOf(line, kUntouched), Area(line) / 2);
}

TEST_F(GdiPanel, UnknownPhaseLeavesTheWordAreaEmpty) {
  const PanelRect word{209, 140, 300, 160};
  const COLORREF window = GetSysColor(COLOR_SCROLLBAR);
  GdiCanvas canvas(dc_, logo_);

  DisplayStatus(canvas, 3);
  EXPECT_EQ(CountOf(word, window), Area(word));
  EXPECT_GT(Count({160, 140, 209, 160}, IsDark), 20);  // "Status: " is there

  DisplayStatus(canvas, 0);
  EXPECT_GT(Count(word, IsDark), 20);  // "Idle"
}

// --- Logo -------------------------------------------------------------------

// The logo as the system scales it, read back independently of the canvas.
std::vector<COLORREF> ScaledLogoPixels() {
  std::vector<COLORREF> pixels;
  HBITMAP logo = static_cast<HBITMAP>(LoadImageA(
      GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kLogoBitmapId), IMAGE_BITMAP, 87, 28, 0));
  if (logo == nullptr) return pixels;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = 87;
  info.bmiHeader.biHeight = -28;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  std::vector<uint32_t> raw(87 * 28);
  HDC screen = CreateCompatibleDC(nullptr);
  const int rows = GetDIBits(screen, logo, 0, 28, raw.data(), &info, DIB_RGB_COLORS);
  DeleteDC(screen);
  DeleteObject(logo);
  if (rows != 28) return pixels;
  for (uint32_t p : raw) pixels.push_back(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
  return pixels;
}

TEST_F(GdiPanel, ResourceIsThe708By218TrueColourLogo) {
  HBITMAP full =
      static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kLogoBitmapId),
                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  ASSERT_NE(full, nullptr);
  DIBSECTION section{};
  ASSERT_EQ(GetObjectA(full, sizeof section, &section), static_cast<int>(sizeof section));
  EXPECT_EQ(section.dsBm.bmWidth, 708);
  EXPECT_EQ(section.dsBm.bmHeight, 218);
  EXPECT_EQ(section.dsBmih.biBitCount, 24);
  EXPECT_EQ(section.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
  DeleteObject(full);
}

TEST_F(GdiPanel, LogoLandsAt435_15ScaledTo87By28) {
  const std::vector<COLORREF> expected = ScaledLogoPixels();
  ASSERT_EQ(expected.size(), 87u * 28u);
  GdiCanvas canvas(dc_, logo_);
  DisplayLogo(canvas);
  int differing = 0;
  for (int y = 0; y < 28; ++y) {
    for (int x = 0; x < 87; ++x) differing += At(435 + x, 15 + y) != expected[y * 87 + x] ? 1 : 0;
  }
  EXPECT_EQ(differing, 0);
  // Exactly that box: the rows and columns around it are untouched.
  EXPECT_EQ(CountOf({434, 14, 523, 15}, kUntouched), 89);
  EXPECT_EQ(CountOf({434, 43, 523, 44}, kUntouched), 89);
  EXPECT_EQ(CountOf({434, 15, 435, 43}, kUntouched), 28);
  EXPECT_EQ(CountOf({522, 15, 523, 43}, kUntouched), 28);
  // It is the logo and not an empty bitmap: a white ground with the dark
  // wordmark on the right and the blue mark on the left.
  const PanelRect box{435, 15, 522, 43};
  EXPECT_GT(CountOf(box, kWhiteRef), Area(box) / 3);
  EXPECT_GT(Count({460, 15, 522, 43}, IsDark), 100);
  EXPECT_GT(Count({435, 15, 460, 43},
                  [](COLORREF c) { return GetBValue(c) > 150 && GetRValue(c) < 100; }),
            100);
  Snapshot("logo");
}

TEST_F(GdiPanel, LogoIsScaledOnceAndKeptBetweenTicks) {
  HBITMAP first = logo_.Scaled(kLogoSize);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(logo_.Scaled(kLogoSize), first);

  GdiCanvas canvas(dc_, logo_);
  DisplayLogo(canvas);
  std::vector<COLORREF> once;
  for (int y = 15; y < 43; ++y) {
    for (int x = 435; x < 522; ++x) once.push_back(At(x, y));
  }
  Reset();
  for (int tick = 0; tick < 50; ++tick) DisplayLogo(canvas);
  std::vector<COLORREF> again;
  for (int y = 15; y < 43; ++y) {
    for (int x = 435; x < 522; ++x) again.push_back(At(x, y));
  }
  EXPECT_EQ(again, once);
  EXPECT_EQ(logo_.Scaled(kLogoSize), first);
}

TEST_F(GdiPanel, WithoutALogoResourceNothingIsDrawn) {
  HMODULE withoutLogo = GetModuleHandleA("gdi32.dll");
  ASSERT_NE(withoutLogo, nullptr);
  ASSERT_EQ(FindResourceA(withoutLogo, MAKEINTRESOURCEA(kLogoBitmapId), MAKEINTRESOURCEA(2)),
            nullptr);
  GdiLogo missing(withoutLogo);
  GdiCanvas canvas(dc_, missing);
  DisplayLogo(canvas);
  EXPECT_EQ(missing.Scaled(kLogoSize), nullptr);
  EXPECT_EQ(CountOf({0, 0, kWidth, kHeight}, kUntouched), kWidth * kHeight);
}

// --- The window's two redraws -----------------------------------------------

TEST_F(GdiPanel, PaintLeavesTheLogoOutAndTheTickBringsItIn) {
  const PanelRect box{435, 15, 522, 43};
  GdiCanvas canvas(dc_, logo_);
  DrawPanelOnPaint(canvas, PanelValues{});
  EXPECT_EQ(CountOf(box, kUntouched), Area(box));
  EXPECT_EQ(CountOf({10, 105, 520, 125}, kWhiteRef), 510 * 20);

  const PanelValues busy{
      .elapsedTime = 1234, .progress = 33, .flashStatus = 2, .errCounter = 2, .totalErrCounter = 7};
  DrawPanelOnTick(canvas, busy);
  EXPECT_EQ(CountOf(box, kUntouched), 0);
  EXPECT_EQ(CountOf({10, 105, 178, 125}, kRedRef), 168 * 20);
  EXPECT_EQ(At(178, 115), kWhiteRef);
  Snapshot("tick");
}

// The slot a new GDI object gets in the handle table. Wine hands out the
// slot freed last, so the same slot before and after a run of ticks means
// every object the ticks made was deleted again.
uint32_t NextGdiSlot() {
  HBRUSH probe = CreateSolidBrush(RGB(1, 2, 3));
  DeleteObject(probe);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(probe) & 0xFFFF);
}

TEST_F(GdiPanel, TicksLeaveNoGdiObjectBehind) {
  GdiCanvas canvas(dc_, logo_);
  const PanelValues busy{.progress = 50, .flashStatus = 1};
  DrawPanelOnTick(canvas, busy);  // the first tick keeps the scaled logo
  const uint32_t before = NextGdiSlot();
  for (int tick = 0; tick < 200; ++tick) DrawPanelOnTick(canvas, busy);
  EXPECT_EQ(NextGdiSlot(), before);
}

}  // namespace
