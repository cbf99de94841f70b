// SPDX-License-Identifier: MIT
// The committed pictures in the formats the window system is given them in:
// a regenerated file in another format would still build and only show up as
// a missing or garbled logo or icon.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ReadFile(const std::string& name) {
  std::ifstream in(std::string(MORVIX_RESOURCES_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t U16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }

struct Rgb {
  uint8_t r, g, b;
};

TEST(Logo, IsAnUncompressed708By218BitmapAt24BitsPerPixel) {
  const std::vector<uint8_t> bmp = ReadFile("logo.bmp");
  const size_t rowBytes = 708 * 3;  // already a multiple of 4
  ASSERT_EQ(bmp.size(), 14 + 40 + rowBytes * 218);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(U32(bmp, 2), bmp.size());
  EXPECT_EQ(U32(bmp, 10), 54u);   // pixels right after the headers: no palette
  EXPECT_EQ(U32(bmp, 14), 40u);   // BITMAPINFOHEADER
  EXPECT_EQ(U32(bmp, 18), 708u);  // width
  EXPECT_EQ(U32(bmp, 22), 218u);  // height, rows bottom-up
  EXPECT_EQ(U16(bmp, 26), 1u);    // planes
  EXPECT_EQ(U16(bmp, 28), 24u);   // biBitCount
  EXPECT_EQ(U32(bmp, 30), 0u);    // biCompression: BI_RGB
  EXPECT_EQ(U32(bmp, 46), 0u);    // no colour table

  const auto at = [&](int x, int y) {
    const size_t p = 54 + (217 - y) * rowBytes + x * 3;
    return Rgb{bmp[p + 2], bmp[p + 1], bmp[p]};
  };
  // White ground, the blue mark on the left, the dark wordmark on the right.
  const Rgb corner = at(0, 0);
  EXPECT_TRUE(corner.r == 255 && corner.g == 255 && corner.b == 255);
  const Rgb mark = at(40, 109);
  EXPECT_TRUE(mark.b > 150 && mark.r < 100) << int(mark.r) << "," << int(mark.b);
  const Rgb letter = at(215, 109);  // the M's left stem
  EXPECT_LT(letter.r + letter.g + letter.b, 3 * 96);
}

TEST(WindowIcon, IsOne128By128ImageAt24BitsPerPixelWithTransparentCorners) {
  const std::vector<uint8_t> ico = ReadFile("morvix.ico");
  const size_t colourBytes = 128 * 128 * 3;
  const size_t maskBytes = 128 / 8 * 128;  // rows of 16 bytes, a multiple of 4
  const size_t imageBytes = 40 + colourBytes + maskBytes;
  ASSERT_EQ(ico.size(), 6 + 16 + imageBytes);
  EXPECT_EQ(U16(ico, 0), 0u);  // reserved
  EXPECT_EQ(U16(ico, 2), 1u);  // icon
  EXPECT_EQ(U16(ico, 4), 1u);  // one image
  // The directory entry.
  EXPECT_EQ(ico[6], 128);
  EXPECT_EQ(ico[7], 128);
  EXPECT_EQ(ico[8], 0);          // no palette
  EXPECT_EQ(U16(ico, 10), 1u);   // planes
  EXPECT_EQ(U16(ico, 12), 24u);  // bits per pixel
  EXPECT_EQ(U32(ico, 14), imageBytes);
  EXPECT_EQ(U32(ico, 18), 22u);
  // The image's own header: height counts colour rows and mask rows.
  EXPECT_EQ(U32(ico, 22), 40u);
  EXPECT_EQ(U32(ico, 26), 128u);
  EXPECT_EQ(U32(ico, 30), 256u);
  EXPECT_EQ(U16(ico, 36), 24u);
  EXPECT_EQ(U32(ico, 38), 0u);

  const auto transparent = [&](int x, int y) {
    const size_t row = 22 + 40 + colourBytes + (127 - y) * 16;
    return (ico[row + x / 8] >> (7 - x % 8) & 1) != 0;
  };
  EXPECT_TRUE(transparent(0, 0));
  EXPECT_TRUE(transparent(127, 127));
  EXPECT_FALSE(transparent(64, 64));
  EXPECT_FALSE(transparent(10, 64));
}

// The Linux desktop's icons: each file the size its hicolor folder claims
// (a desktop scales a wrong one, blurred, or shows none), with an alpha
// channel for the rounded corners.
class DesktopIcon : public testing::TestWithParam<uint32_t> {};

TEST_P(DesktopIcon, IsAnRgbaPngOfItsSize) {
  const uint32_t size = GetParam();
  const std::vector<uint8_t> png =
      ReadFile("linux/icons/morvix-fwupdate-" + std::to_string(size) + ".png");
  ASSERT_GE(png.size(), 8u + 25u);
  const std::vector<uint8_t> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png.begin()));
  const auto be32 = [&](size_t at) {
    return uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | png[at + 2] << 8 | png[at + 3];
  };
  EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
  EXPECT_EQ(be32(16), size);  // width
  EXPECT_EQ(be32(20), size);  // height
  EXPECT_EQ(png[24], 8);      // bits per channel
  EXPECT_EQ(png[25], 6);      // colour type: RGB with alpha
}

INSTANTIATE_TEST_SUITE_P(HicolorSizes, DesktopIcon, testing::Values(16, 24, 32, 48, 64, 128, 256));

}  // namespace
