// A program that carries no image: the burn must be told, and nothing may be
// read from where an image would have been.
#include <gtest/gtest.h>

#include <vector>

#include "burn/image.h"

namespace {

TEST(MissingImage, OpenReportsFailureAndLeavesNothingToRead) {
  fileLength = 1234;  // what an earlier file choice may have left
  EXPECT_FALSE(OpenImage());
  EXPECT_EQ(fin, nullptr);
  EXPECT_EQ(fileLength, 0u);
  std::vector<uint8_t> buffer(16, 0xEE);
  EXPECT_EQ(FileRead(buffer.data(), 16), 0);
  EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xEE));
  CloseFile();
}

TEST(MissingImage, AnImageFileStillOpens) {
  UseImageFile({1, 2, 3, 4, 5});
  ASSERT_TRUE(OpenImage());
  EXPECT_EQ(fileLength, 5u);
  std::vector<uint8_t> buffer(8, 0);
  EXPECT_EQ(FileRead(buffer.data(), 8), 5);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
  ASSERT_TRUE(OpenImage());
  EXPECT_EQ(FileRead(buffer.data(), 2), 2);  // from the first byte again
  EXPECT_EQ(buffer[0], 1);
  CloseFile();
}

}  // namespace
