// SPDX-License-Identifier: MIT
// The demo image a build carries when it is given no firmware: the bytes it
// begins with tell it apart from firmware, wherever it turns up (built in,
// or handed to the command line as a file). Shared with its generator, a
// program of its own, so nothing here may need more than the language.
#pragma once

inline constexpr char kDemoImageBanner[] = "MORVIX DEMO IMAGE - NOT FIRMWARE";
