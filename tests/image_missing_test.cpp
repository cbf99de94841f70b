// SPDX-License-Identifier: MIT
// A program that carries no image: the burn must be told, and nothing may be
// read from where an image would have been.
#include <gtest/gtest.h>

#include <vector>

#include "image/image_source.h"

namespace {

TEST(MissingImage, OpenReportsFailure) {
  BuiltInImageSource source;
  EXPECT_EQ(source.OpenImage(), nullptr);
  EXPECT_EQ(source.Name(), "GL30_missing.bin");
}

TEST(MissingImage, AnImageFileStillOpens) {
  MemoryImageSource source("KR2-E_x.bin", {1, 2, 3, 4, 5});
  auto image = source.OpenImage();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Size(), 5u);
  EXPECT_FALSE(IsDemoImage(*image));
  std::vector<uint8_t> buffer(8, 0);
  EXPECT_EQ(image->FileRead(buffer.data(), 8), 5);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
  image = source.OpenImage();
  EXPECT_EQ(image->FileRead(buffer.data(), 2), 2);  // from the first byte again
  EXPECT_EQ(buffer[0], 1);
}

// A file too large to be read is known by its size alone: it hands out only
// the bytes it holds.
TEST(MissingImage, FileLargerThanItsBytesReportsItsWholeSize) {
  MemoryImageSource source("KR2-E_x.bin", {1, 2, 3}, (uint64_t{1} << 32) + 40000);
  auto image = source.OpenImage();
  EXPECT_EQ(image->Size(), (uint64_t{1} << 32) + 40000);
  std::vector<uint8_t> buffer(8, 0);
  EXPECT_EQ(image->FileRead(buffer.data(), 8), 3);
}

}  // namespace
