// SPDX-License-Identifier: MIT
// Stands for a program built without an image, on systems where the image
// is linked in and so can never be missing.
#include "image/builtin_image.h"

bool LoadBuiltInImage(BuiltInImage&) { return false; }
void ReleaseBuiltInImage(const void*) {}
std::string_view BuiltInImageFileName() { return "GL30_missing.bin"; }
