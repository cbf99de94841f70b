// SPDX-License-Identifier: MIT
// Quoting text for JSON output (the command line's events, the simulator's
// report): one JSON string literal for any bytes, so that a line stays one
// valid object whatever a file name or a PLC holds.
#pragma once

#include <string>
#include <string_view>

// Valid UTF-8 passes unchanged (é stays é); control characters are escaped
// (\n, \u0001); a byte that is no UTF-8 becomes \udcXX, the lone surrogate
// of Python's "surrogateescape", from which the byte can be had back.
std::string JsonString(std::string_view bytes);
