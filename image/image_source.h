// SPDX-License-Identifier: MIT
// The firmware image a burn sends: opaque bytes, opened at the start of each
// burn, handed out front to back, released at its end. Built into the
// program, or, for the command line and the tests, bytes put in its place.
//
// A layer of its own below the loader dialogue: the transfer reads the image
// through ImageReader and knows nothing of where it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One open image. Destroying it releases the image (the built-in image's
// resource): once, at the end of the burn that opened it.
class ImageReader {
 public:
  virtual ~ImageReader() = default;
  // The image's size in full (fileLength): a size is compared with a model's
  // limit before anything narrows it, so a file of 4 GiB and more is never
  // taken for its remainder.
  virtual uint64_t Size() const = 0;
  // Copies the next `count` bytes to `buffer` and moves on; 0 and nothing
  // copied for a count of 0 or less. The caller keeps within Size(); a
  // request past the bytes that can be read gets only those that remain, and
  // the result says how many.
  virtual int32_t FileRead(uint8_t* buffer, int32_t count) = 0;
  // The first bytes of the image, wherever the cursor stands.
  virtual std::span<const uint8_t> Head(size_t count) const = 0;
};

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The image's name: the built-in name, or the file's.
  virtual std::string Name() const = 0;
  // Opens the image for one burn, its cursor at the first byte; nullptr when
  // it cannot be found or loaded (the burn then sends nothing).
  virtual std::unique_ptr<ImageReader> OpenImage() = 0;
};

// The image built into the program.
class BuiltInImageSource final : public ImageSource {
 public:
  std::string Name() const override;
  std::unique_ptr<ImageReader> OpenImage() override;
};

// Bytes held in memory: an image file the command line has read, or a
// test's image. `size` is the file's size; `bytes` may hold fewer when the
// file was too large to be read (the burn refuses it by its size before it
// reads a byte).
class MemoryImageSource final : public ImageSource {
 public:
  MemoryImageSource(std::string name, std::vector<uint8_t> bytes);
  MemoryImageSource(std::string name, std::vector<uint8_t> bytes, uint64_t size);
  std::string Name() const override { return name_; }
  std::unique_ptr<ImageReader> OpenImage() override;

 private:
  std::string name_;
  std::vector<uint8_t> bytes_;
  uint64_t size_;
};

// The built-in image's name; the text before its first '_' is the default model.
std::string_view BuiltInImageName();
std::string_view DefaultModelName();

// Whether an image is the demo image, which only a simulated PLC may be given.
bool IsDemoImage(const ImageReader& image);
// What the operator is told when the image cannot be loaded.
extern const char kImageLoadFailedMessage[];
