#include "burn/image.h"

#include <algorithm>
#include <utility>

#include "burn/builtin_image.h"
#include "burn/demo_image.h"

const uint8_t* fin = nullptr;
uint64_t fileLength = 0;
const void* hGLOBAL = nullptr;

const char kImageLoadFailedMessage[] = "The built-in firmware image CANNOT be loaded";

namespace {

const uint8_t* imageEnd = nullptr;  // one past the last byte of the open image
bool builtInOpen = false;
bool useImageFile = false;
std::vector<uint8_t> imageFile;
uint64_t imageFileSize = 0;

void Forget() {
  fin = nullptr;
  imageEnd = nullptr;
  hGLOBAL = nullptr;
}

}  // namespace

bool OpenImage() {
  CloseFile();
  if (useImageFile) {
    fin = imageFile.data();
    imageEnd = fin + imageFile.size();
    fileLength = imageFileSize;
    hGLOBAL = &imageFile;
    return true;
  }
  BuiltInImage image{};
  if (!LoadBuiltInImage(image)) {
    fileLength = 0;
    return false;
  }
  builtInOpen = true;
  fin = image.bytes;
  imageEnd = fin + image.size;
  fileLength = image.size;
  hGLOBAL = image.handle;
  return true;
}

int32_t FileRead(uint8_t* buffer, int32_t count) {
  if (count <= 0 || fin == nullptr) return 0;
  const auto copied = static_cast<int32_t>(std::min<std::ptrdiff_t>(count, imageEnd - fin));
  std::copy_n(fin, copied, buffer);
  fin += copied;
  return copied;
}

void CloseFile() {
  if (builtInOpen) ReleaseBuiltInImage(hGLOBAL);
  builtInOpen = false;
  Forget();
}

std::string_view BuiltInImageName() { return BuiltInImageFileName(); }

std::string_view DefaultModelName() {
  const std::string_view name = BuiltInImageName();
  const size_t underscore = name.find('_');
  return underscore == std::string_view::npos ? std::string_view() : name.substr(0, underscore);
}

void UseImageFile(std::vector<uint8_t> bytes, uint64_t size) {
  CloseFile();
  imageFile = std::move(bytes);
  imageFileSize = std::max<uint64_t>(size, imageFile.size());
  useImageFile = true;
}

void UseImageFile(std::vector<uint8_t> bytes) {
  const uint64_t size = bytes.size();
  UseImageFile(std::move(bytes), size);
}

bool OpenImageIsDemo() {
  const size_t banner = sizeof kDemoImageBanner - 1;
  return fin != nullptr && static_cast<size_t>(imageEnd - fin) >= banner &&
         std::equal(kDemoImageBanner, kDemoImageBanner + banner, fin);
}
