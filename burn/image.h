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

extern const uint8_t* fin;  // the next byte to hand out
// Size of the open image, in full: a size is compared with a model's limit
// before anything narrows it, so a file of 4 GiB and more is never taken
// for its remainder.
extern uint64_t fileLength;
extern const void* hGLOBAL;  // the loaded image, kept for its release

// Opens the image for one burn: fin at its first byte, fileLength its size.
// false when the image cannot be found or loaded; fin is then null and
// fileLength 0, and the burn must not start the transfer.
bool OpenImage();
// What the operator is told when OpenImage fails.
extern const char kImageLoadFailedMessage[];
// Copies the next `count` bytes to `buffer` and moves on; 0 and nothing
// copied for a count of 0 or less. The caller keeps within fileLength; a
// request past the end of the open image gets only the bytes that remain
// (none when no image is open), and the result says how many.
int32_t FileRead(uint8_t* buffer, int32_t count);
// Releases the image; reads that follow copy nothing until the next open.
void CloseFile();

// The built-in image's name; the text before its first '_' is the default model.
std::string_view BuiltInImageName();
std::string_view DefaultModelName();

// Replaces the built-in image for the burns that follow (the command line's
// --image); the name's model prefix is not looked at here. `size` is the
// file's size; `bytes` may hold fewer when the file was too large to be read
// (the burn refuses it by its size before it reads a byte).
void UseImageFile(std::vector<uint8_t> bytes, uint64_t size);
void UseImageFile(std::vector<uint8_t> bytes);

// Whether the open image is the demo image, which only a simulated PLC may
// be given.
bool OpenImageIsDemo();
