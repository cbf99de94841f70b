// SPDX-License-Identifier: MIT
// Text from outside the program (a file name, a port name, what a PLC sent)
// as the program prints it: valid UTF-8 passes, while control characters
// and bytes that are no UTF-8 are escaped, so that such a text can never
// begin a line of its own, move a terminal's cursor, or break a JSON line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// The length of the UTF-8 sequence that begins at `at` (1 to 4 bytes), or 0
// when the bytes there are not valid UTF-8 (a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
size_t Utf8SequenceAt(std::string_view text, size_t at);

// For a terminal or a log: control characters (C0, DEL and C1) and invalid
// bytes become \n, \r, \t or \xNN.
std::string PrintableText(std::string_view text);

// "2026-12-08T06:27:00Z": the moment in UTC, to the second.
std::string UtcIsoTime(std::chrono::system_clock::time_point time);
