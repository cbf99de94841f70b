// SPDX-License-Identifier: MIT
// The byte channel to the PLC: a serial port or the PLC's USB pipe.
//
// Protocol operations see only this interface. Only byte counts matter to
// them: a write or read that moved fewer bytes than asked for is a failure of
// that attempt, and the results of the settings calls are never examined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;    // 0 none, 1 odd, 2 even
  uint8_t stopBits;  // 0 one, 1 one and a half, 2 two
};                   // DTR and RTS are always off

struct Timeouts {
  uint32_t readTotalMs;
  uint32_t writeTotalMs;
};  // the interval limit is "none" and both multipliers are 0

class Link {
 public:
  virtual ~Link() = default;
  // Bytes written within the write time-out.
  virtual size_t Write(const uint8_t* data, size_t n) = 0;
  // Bytes read: n, or fewer when the read time-out passed first.
  virtual size_t Read(uint8_t* data, size_t n) = 0;
  // Takes up to n bytes of input that arrived and was not read. With
  // quietMs 0 it takes only what is there now; otherwise it also waits for
  // more, until n bytes came or the line stayed quiet for quietMs.
  virtual size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) = 0;
  virtual void SetTimeouts(const Timeouts& timeouts) = 0;
  virtual void ApplyLineSettings(const LineSettings& settings) = 0;
};

inline constexpr LineSettings kApplicationLineSettings{9600, 7, 2, 0};  // 9600 7E1
inline constexpr LineSettings kLoaderLineSettings{115200, 8, 0, 0};     // 115200 8N1
inline constexpr Timeouts kShortTimeouts{200, 200};
inline constexpr Timeouts kExchangeTimeouts{3000, 3000};

// Why a link did not open, as far as the system says.
enum class OpenFailure : uint8_t {
  kNone,
  kMissing,           // no such port or device
  kPermissionDenied,  // the user may not open it
  kBusy,              // another program holds it
  kNotASerialPort,    // it exists, but is no serial port
  kNoDevice,          // no PLC found among the USB devices
  kOther,
};

// A link, or why there is none.
struct LinkOpening {
  std::unique_ptr<Link> link;
  OpenFailure failure = OpenFailure::kNone;
  // The system's own words, and who holds a busy port when the system tells.
  std::string detail;
  explicit operator bool() const { return link != nullptr; }
};

// Stands for a port that did not open: every write and read moves 0 bytes,
// so an exchange on it runs out of attempts and reports, as on a dead line.
std::unique_ptr<Link> MakeInvalidLink();
