// SPDX-License-Identifier: MIT
// Windows only: a Link on a handle from CreateFileA, shared by the COM port
// and the PLC's USB pipe, which differ only in how they are opened.
#pragma once

#include <cstdint>
#include <memory>

#include "link/link.h"

// CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode, no security
// attributes, OPEN_EXISTING, flagsAndAttributes, no template); without a link
// when that yields INVALID_HANDLE_VALUE, with the system's reason.
LinkOpening OpenWin32Link(const char* path, uint32_t shareMode, uint32_t flagsAndAttributes);
