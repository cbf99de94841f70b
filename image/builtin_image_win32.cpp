// SPDX-License-Identifier: MIT
#include <windows.h>

#include "image/builtin_image.h"

namespace {

constexpr WORD kImageResourceId = 8;
constexpr char kImageResourceType[] = "BIN";

}  // namespace

bool LoadBuiltInImage(BuiltInImage& image) {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(kImageResourceId), kImageResourceType);
  if (info == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, info);
  if (loaded == nullptr) return false;
  const void* bytes = LockResource(loaded);
  const DWORD size = SizeofResource(nullptr, info);
  // The build refuses an empty image, so a size of 0 is a failed call.
  if (bytes == nullptr || size == 0) {
    FreeResource(loaded);
    return false;
  }
  image = {static_cast<const uint8_t*>(bytes), size, loaded};
  return true;
}

void ReleaseBuiltInImage(const void* handle) { FreeResource(const_cast<void*>(handle)); }

std::string_view BuiltInImageFileName() { return MORVIX_IMAGE_NAME; }
