// SPDX-License-Identifier: MIT
// Windows only: a Link on a handle from CreateFileA, shared by the COM port
// and the PLC's USB pipe, which differ only in how they are opened. The calls
// it makes on the handle are gathered in one table so tests can put fakes in
// their place; kSystemCommApi holds the system's own functions and the
// overload without a table uses it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "link/link.h"

struct CommApi {
  decltype(&CreateFileA) createFile;
  decltype(&ClearCommError) clearCommError;
  decltype(&GetCommState) getCommState;
  decltype(&SetCommState) setCommState;
  decltype(&SetCommTimeouts) setCommTimeouts;
  decltype(&ReadFile) readFile;
  decltype(&WriteFile) writeFile;
  decltype(&CloseHandle) closeHandle;
};

extern const CommApi kSystemCommApi;

// CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode, no security
// attributes, OPEN_EXISTING, flagsAndAttributes, no template); without a link
// when that yields INVALID_HANDLE_VALUE, with the system's reason.
LinkOpening OpenWin32Link(const CommApi& api, const char* path, uint32_t shareMode,
                          uint32_t flagsAndAttributes);
LinkOpening OpenWin32Link(const char* path, uint32_t shareMode, uint32_t flagsAndAttributes);
