#include "burn/image.h"

#include <algorithm>
#include <utility>

#include "burn/builtin_image.h"

const uint8_t* fin = nullptr;
uint32_t fileLength = 0;
const void* hGLOBAL = nullptr;

const char kImageLoadFailedMessage[] = "The built-in firmware image CANNOT be loaded";

namespace {

const uint8_t* imageEnd = nullptr;  // one past the last byte of the open image
bool builtInOpen = false;
bool useImageFile = false;
std::vector<uint8_t> imageFile;

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
    fileLength = static_cast<uint32_t>(imageFile.size());
    hGLOBAL = &imageFile;
  } else {
    BuiltInImage image{};
    if (!LoadBuiltInImage(image)) {
      fileLength = 0;
      return false;
    }
    builtInOpen = true;
    fin = image.bytes;
    fileLength = image.size;
    hGLOBAL = image.handle;
  }
  imageEnd = fin + fileLength;
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

void UseImageFile(std::vector<uint8_t> bytes) {
  CloseFile();
  imageFile = std::move(bytes);
  useImageFile = true;
}
