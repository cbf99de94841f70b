// SPDX-License-Identifier: MIT
// Whether two names the operator gave name one device or one file: a port
// and its /dev/serial/by-id link, COM5 and \\.\com5, an image and a
// symbolic link to it. Opened twice, the same port would be two units that
// fight for one PLC, and a trace or a log written over the image would be
// firmware tomorrow.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Names that exist are compared as what they are (Linux: the device number
// of a device, the device and inode of a file; Windows: the COM number, the
// file's identity). Names that do not exist yet are compared as the paths
// they would be created at. A name that exists is never the same as one
// that does not.
bool SameDevice(const std::string& a, const std::string& b);

// --- Pieces every platform shares.

// The number of a Windows COM port name, with or without the \\.\ prefix and
// in any case ("COM5", "\\.\com12"); nullopt for any other name.
std::optional<unsigned> ComPortNumber(std::string_view name);

// Whether two names that do not exist would be created as one file: their
// absolute paths, with the folders that exist resolved, are equal
// (`ignoreCase`: as a Windows file system compares them).
bool SameNewName(const std::string& a, const std::string& b, bool ignoreCase);
