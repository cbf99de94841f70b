// The firmware image a burn sends: opaque bytes, opened at the start of each
// burn, handed out front to back, released at its end. Built into the
// program; a front end may put an image file in its place.
//
// This is a leaf of its own: the loader dialogue reads it, and it depends
// on nothing.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

extern const uint8_t* fin;   // the next byte to hand out
extern uint32_t fileLength;  // size of the open image
extern const void* hGLOBAL;  // the loaded image, kept for its release

// Opens the image for one burn: fin at its first byte, fileLength its size.
// false when the image cannot be found or loaded.
bool OpenImage();
// Copies the next `count` bytes to `buffer` and moves on; 0 and nothing
// copied for a count of 0 or less. The caller keeps within fileLength.
int32_t FileRead(uint8_t* buffer, int32_t count);
void CloseFile();

// The built-in image's name; the text before its first '_' is the default model.
std::string_view BuiltInImageName();
std::string_view DefaultModelName();

// Replaces the built-in image for the burns that follow (the command line's
// --image); the name's model prefix is not looked at here.
void UseImageFile(std::vector<uint8_t> bytes);
