// SPDX-License-Identifier: MIT
// How an image library hands its built-in bytes to the image source: one
// library per image file, each built by morvix_add_image_library().
#pragma once

#include <cstdint>
#include <string_view>

struct BuiltInImage {
  const uint8_t* bytes;
  uint32_t size;
  const void* handle;  // what ReleaseBuiltInImage() gets back
};

// false when the program carries no image, or it cannot be loaded.
bool LoadBuiltInImage(BuiltInImage& image);
void ReleaseBuiltInImage(const void* handle);
std::string_view BuiltInImageFileName();
