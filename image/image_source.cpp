// SPDX-License-Identifier: MIT
#include "image/image_source.h"

#include <algorithm>
#include <utility>

#include "image/builtin_image.h"
#include "image/demo_image.h"

const char kImageLoadFailedMessage[] = "The built-in firmware image CANNOT be loaded";

namespace {

// Image bytes in memory, with the cursor of FileRead (fin) over them.
class SpanImageReader final : public ImageReader {
 public:
  SpanImageReader(std::span<const uint8_t> bytes, uint64_t size, const void* handle)
      : bytes_(bytes), fin_(bytes.data()), size_(size), hGLOBAL_(handle) {}
  ~SpanImageReader() override {
    if (hGLOBAL_ != nullptr) ReleaseBuiltInImage(hGLOBAL_);
  }

  uint64_t Size() const override { return size_; }

  int32_t FileRead(uint8_t* buffer, int32_t count) override {
    if (count <= 0) return 0;
    const auto left = static_cast<size_t>(bytes_.data() + bytes_.size() - fin_);
    const auto copied = static_cast<int32_t>(std::min(static_cast<size_t>(count), left));
    std::copy_n(fin_, copied, buffer);
    fin_ += copied;
    return copied;
  }

  std::span<const uint8_t> Head(size_t count) const override {
    return bytes_.first(std::min(count, bytes_.size()));
  }

 private:
  std::span<const uint8_t> bytes_;
  const uint8_t* fin_;   // the next byte to hand out
  uint64_t size_;        // fileLength
  const void* hGLOBAL_;  // the built-in image's resource, released at the end
};

}  // namespace

std::string BuiltInImageSource::Name() const { return std::string(BuiltInImageName()); }

std::unique_ptr<ImageReader> BuiltInImageSource::OpenImage() {
  BuiltInImage image{};
  if (!LoadBuiltInImage(image)) return nullptr;
  return std::make_unique<SpanImageReader>(std::span<const uint8_t>(image.bytes, image.size),
                                           image.size, image.handle);
}

MemoryImageSource::MemoryImageSource(std::string name, std::vector<uint8_t> bytes)
    : MemoryImageSource(std::move(name), std::move(bytes), 0) {}

MemoryImageSource::MemoryImageSource(std::string name, std::vector<uint8_t> bytes, uint64_t size)
    : name_(std::move(name)),
      bytes_(std::move(bytes)),
      size_(std::max<uint64_t>(size, bytes_.size())) {}

std::unique_ptr<ImageReader> MemoryImageSource::OpenImage() {
  return std::make_unique<SpanImageReader>(bytes_, size_, nullptr);
}

std::string_view BuiltInImageName() { return BuiltInImageFileName(); }

std::string_view DefaultModelName() {
  const std::string_view name = BuiltInImageName();
  const size_t underscore = name.find('_');
  return underscore == std::string_view::npos ? std::string_view() : name.substr(0, underscore);
}

bool IsDemoImage(const ImageReader& image) {
  const std::string_view banner = kDemoImageBanner;
  const auto head = image.Head(banner.size());
  return head.size() == banner.size() && std::equal(banner.begin(), banner.end(), head.begin());
}
