// SPDX-License-Identifier: MIT
// Writes the demo image that a build carries when no firmware image is
// given: exactly as large as the GL30 limit, the same bytes on every host,
// and plainly not firmware. Runs on the build host, also for the Windows
// builds, so it uses nothing beyond the standard library.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/demo_image.h"

namespace {

constexpr uint32_t kImageSize = 2076672;  // 2028 × 1024, the GL30 limit
constexpr uint32_t kBannerEvery = 65536;
constexpr char kBanner[] = ". Built when no firmware image is given; never burn it into a PLC.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> image(kImageSize);
  // xorshift32 from a fixed seed: varied bytes, so that a misplaced block or
  // a wrong CRC shows, and the same sequence wherever it is generated.
  uint32_t state = 0x4D4F5256;
  for (uint8_t& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state >> 24);
  }
  // Anyone who dumps the flash or the program sees what this is, and the
  // tool refuses to write it to a real PLC.
  const size_t headSize = sizeof kDemoImageBanner - 1;
  for (uint32_t at = 0; at + headSize + sizeof kBanner <= kImageSize; at += kBannerEvery) {
    std::memcpy(image.data() + at, kDemoImageBanner, headSize);
    std::memcpy(image.data() + at + headSize, kBanner, sizeof kBanner - 1);
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "%s: write failed\n", argv[1]);
    return 1;
  }
  return 0;
}
