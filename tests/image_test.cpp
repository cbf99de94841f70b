// SPDX-License-Identifier: MIT
// Runs against the image the program carries: the build's own (the demo
// image, or the file given to the build) or a second image library.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/crc.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class BuiltInImage : public ::testing::Test {
 protected:
  void SetUp() override {
    expected = ReadWholeFile(MORVIX_TEST_IMAGE_FILE);
    ASSERT_GE(expected.size(), 512u) << MORVIX_TEST_IMAGE_FILE;
    image = source.OpenImage();
    ASSERT_NE(image, nullptr);
  }

  Bytes Read(int32_t count) {
    Bytes out(static_cast<size_t>(count > 0 ? count : 0));
    out.resize(static_cast<size_t>(image->FileRead(out.data(), count)));
    return out;
  }
  uint64_t fileLength() const { return image->Size(); }
  Bytes Slice(size_t from, size_t to) const {
    return Bytes(expected.begin() + static_cast<std::ptrdiff_t>(from),
                 expected.begin() + static_cast<std::ptrdiff_t>(to));
  }

  BuiltInImageSource source;
  std::unique_ptr<ImageReader> image;
  Bytes expected;
};

TEST_F(BuiltInImage, HoldsExactlyTheFileTheBuildWasGiven) {
  EXPECT_EQ(fileLength(), expected.size());
  EXPECT_EQ(source.Name(), MORVIX_TEST_IMAGE_NAME);
  EXPECT_EQ(Read(static_cast<int32_t>(fileLength())), expected);
}

TEST_F(BuiltInImage, NameAndDefaultModel) {
  EXPECT_EQ(BuiltInImageName(), MORVIX_TEST_IMAGE_NAME);
  EXPECT_EQ(DefaultModelName(), MORVIX_TEST_DEFAULT_MODEL);
  EXPECT_TRUE(FindModel(DefaultModelName()).has_value());
}

TEST_F(BuiltInImage, ConsecutiveReadsHandOutTheImageFrontToBack) {
  EXPECT_EQ(Read(256), Slice(0, 256));
  EXPECT_EQ(Read(256), Slice(256, 512));
}

TEST_F(BuiltInImage, ZeroAndNegativeCountsCopyNothingAndKeepTheCursor) {
  for (int32_t count : {0, -1, -256, INT32_MIN}) {
    Bytes buffer(16, 0xEE);
    EXPECT_EQ(image->FileRead(buffer.data(), count), 0) << count;
    EXPECT_EQ(buffer, Bytes(16, 0xEE)) << count;
  }
  EXPECT_EQ(Read(256), Slice(0, 256));
}

TEST_F(BuiltInImage, EveryOpenStartsAgainAtTheFirstByte) {
  Read(300);
  image = source.OpenImage();
  EXPECT_EQ(Read(256), Slice(0, 256));
  auto second = source.OpenImage();  // two open at once read on their own
  Bytes buffer(16);
  EXPECT_EQ(second->FileRead(buffer.data(), 16), 16);
  EXPECT_EQ(buffer, Slice(0, 16));
  EXPECT_EQ(Read(16), Slice(256, 272));
}

TEST_F(BuiltInImage, ReadsStopAtTheEndOfTheImage) {
  Read(static_cast<int32_t>(fileLength() - 10));
  Bytes buffer(64, 0xEE);
  EXPECT_EQ(image->FileRead(buffer.data(), 64), 10);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10),
            Slice(expected.size() - 10, expected.size()));
  EXPECT_EQ(buffer[10], 0xEE);
  EXPECT_EQ(image->FileRead(buffer.data(), 64), 0);
}

#ifdef MORVIX_TEST_DEMO_IMAGE
// The demo image is generated at build time; these figures hold it to the
// same bytes on every build and platform.
TEST_F(BuiltInImage, DemoImageIsTheSameOnEveryBuild) {
  EXPECT_EQ(fileLength(), 2076672u);
  EXPECT_TRUE(IsDemoImage(*image));
  const Bytes all = Read(static_cast<int32_t>(fileLength()));
  const std::string banner = "MORVIX DEMO IMAGE - NOT FIRMWARE.";
  EXPECT_EQ(std::string(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(banner.size())),
            banner);
  EXPECT_EQ(CRC(all.data(), static_cast<int32_t>(all.size())), MORVIX_TEST_DEMO_IMAGE_CRC);
}
#endif

}  // namespace
