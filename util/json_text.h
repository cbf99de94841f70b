// Quoting text for JSON output (the command line's events, the simulator's
// report): one JSON string literal for any bytes, so that a line stays one
// valid object whatever a file name or a PLC holds.
#pragma once

#include <string>
#include <string_view>

// Control characters and bytes above 0x7E are escaped as \u00XX.
std::string JsonString(std::string_view bytes);
