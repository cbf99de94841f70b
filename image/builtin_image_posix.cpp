// SPDX-License-Identifier: MIT
#include "image/builtin_image.h"

// The image file's bytes, placed in the program's read-only data by the
// assembler, so nothing has to be found or loaded at run time.
asm(".section .rodata\n"
    ".balign 16\n"
    ".globl morvix_builtin_image_begin\n"
    ".hidden morvix_builtin_image_begin\n"
    "morvix_builtin_image_begin:\n"
    ".incbin \"" MORVIX_IMAGE_FILE
    "\"\n"
    ".globl morvix_builtin_image_end\n"
    ".hidden morvix_builtin_image_end\n"
    "morvix_builtin_image_end:\n"
    ".previous\n");

extern "C" const uint8_t morvix_builtin_image_begin[];
extern "C" const uint8_t morvix_builtin_image_end[];

bool LoadBuiltInImage(BuiltInImage& image) {
  image = {morvix_builtin_image_begin,
           static_cast<uint32_t>(morvix_builtin_image_end - morvix_builtin_image_begin),
           morvix_builtin_image_begin};
  return true;
}

void ReleaseBuiltInImage(const void*) {}

std::string_view BuiltInImageFileName() { return MORVIX_IMAGE_NAME; }
