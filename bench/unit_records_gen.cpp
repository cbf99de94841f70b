// SPDX-License-Identifier: MIT
// Writes unit records as a busy line's stations would, for the report's
// benchmark and its screenshot: three stations, two models, labels and
// serials, a few kinds of failure with their reasons and hints, verified
// updates, and a stop of the line each day.
//
//   unit_records_gen COUNT START SPACING > units.jsonl
//
// COUNT records from START (2026-12-08T06:00:00Z), one every SPACING
// seconds on average. The same arguments give the same bytes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/json_text.h"
#include "util/text.h"

namespace {

struct Failure {
  const char* message;
  const char* reason;
  const char* hint;
};

constexpr Failure kFailures[] = {
    {"PLC DOES NOT respond to the erasing signal",
     "The PLC did not answer the erase request within 10 s (3 attempts).",
     "Check the cable and that the PLC is powered, then run the same command again."},
    {"Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
     "The loader reported a flash write error (0x16) while taking the image.",
     "Switch the PLC off and on, then run the same command again; if it fails again the flash is "
     "write-protected."},
    {"CANNOT open /dev/ttyUSB1 Port!!!", "The port is busy: another program has it open.",
     "Close the other program that uses the port (a terminal, ModemManager), then run again."},
    {"NO RESPONSE @ State 1", "", ""},
};

// xorshift: the same numbers on every machine.
uint64_t state = 0x9E3779B97F4A7C15u;
uint64_t Next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

std::string Utc(int64_t time) {
  return UtcIsoTime(std::chrono::sys_seconds(std::chrono::seconds(time)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: unit_records_gen COUNT START-SECONDS-SINCE-1970 SPACING-SECONDS\n", stderr);
    return 2;
  }
  const uint64_t count = std::strtoull(argv[1], nullptr, 10);
  int64_t time = std::strtoll(argv[2], nullptr, 10);
  const int64_t spacing = std::max<int64_t>(1, std::strtoll(argv[3], nullptr, 10));
  const char* hosts[] = {"line1-pc", "line2-pc", "line3-pc"};
  const char* sha[] = {"06d9b8a0e3b9124c7b3db71795f2267e6716c2e7e95a4b6c4f1a6e9161813be3",
                       "9b71d224bd62f3785d96d46ad3ea3d73319bfbc2890caadae2dff72519673ca7"};
  std::string line;
  for (uint64_t i = 0; i < count; ++i) {
    time += static_cast<int64_t>(Next() % static_cast<uint64_t>(2 * spacing)) + 1;
    // The line stands still from 12:00 to 13:30 every day.
    const int64_t ofDay = ((time % 86400) + 86400) % 86400;
    if (ofDay >= 12 * 3600 && ofDay < 13 * 3600 + 1800) time += 13 * 3600 + 1800 - ofDay;
    const uint64_t r = Next();
    const int station = static_cast<int>(r % 3);
    const bool kr2e = station != 1;
    const uint64_t roll = Next() % 1000;
    const Failure* failure = nullptr;
    if (roll < 60) failure = &kFailures[roll % 4];
    const bool interrupted = roll >= 60 && roll < 66;
    const bool verifiedLine = station == 2;
    const bool notVerified = verifiedLine && roll >= 66 && roll < 90;
    char serial[32], label[32], seconds[16];
    std::snprintf(serial, sizeof serial, "MX%08llu", static_cast<unsigned long long>(100000 + i));
    std::snprintf(label, sizeof label, "B%03llu-%05llu", static_cast<unsigned long long>(i / 5000),
                  static_cast<unsigned long long>(i % 100000));
    std::snprintf(seconds, sizeof seconds, "%.1f",
                  failure != nullptr
                      ? 3.0 + static_cast<double>((r >> 20) % 300) / 10
                      : (kr2e ? 41.0 : 88.0) + static_cast<double>((r >> 20) % 120) / 10);
    line = "{\"schema\":4,\"time\":" + JsonString(Utc(time)) +
           ",\"host\":" + JsonString(hosts[station]) + ",\"unit\":" +
           JsonString(kr2e ? (r & 0x10000 ? "/dev/ttyUSB1" : "/dev/ttyUSB0") : "1-1.2");
    if (!kr2e) line += ",\"serial\":" + JsonString(serial);
    line += ",\"label\":" + JsonString(label) +
            ",\"model\":" + JsonString(kr2e ? "KR2-E" : "GL30") + ",\"image\":" +
            JsonString(kr2e ? "/home/line/morvix-fwupdate/images/KR2-E_v1.4.bin"
                            : "/home/line/morvix-fwupdate/images/GL30_v2.1.bin") +
            ",\"size\":" + (kr2e ? "917504" : "2076672") +
            ",\"sha256\":" + JsonString(sha[kr2e ? 0 : 1]) + ",\"outcome\":" +
            JsonString(failure != nullptr ? "failure"
                       : interrupted      ? "interrupted"
                                          : "success") +
            ",\"caption\":" + JsonString(failure != nullptr ? "ERROR" : "INFORMATION") +
            ",\"message\":" +
            JsonString(failure != nullptr ? failure->message
                       : interrupted      ? "Firmware update is FAILED"
                                          : "Firmware update is SUCCESSFUL") +
            ",\"exit\":" +
            (failure != nullptr ? "1"
             : interrupted      ? "130"
             : notVerified      ? "5"
                                : "0") +
            ",\"seconds\":" + seconds +
            ",\"errCounter\":0,\"totalErrCounter\":" + std::to_string((r >> 40) % 3);
    if (verifiedLine && failure == nullptr && !interrupted) {
      line += std::string(",\"verified\":") + (notVerified ? "false" : "true");
    }
    if (!kr2e)
      line += ",\"serialAfterReplug\":" +
              (failure != nullptr ? std::string("null") : JsonString(serial));
    if (failure != nullptr && *failure->reason)
      line += ",\"reason\":" + JsonString(failure->reason);
    if (failure != nullptr && *failure->hint) line += ",\"hint\":" + JsonString(failure->hint);
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
