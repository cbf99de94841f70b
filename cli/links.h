// SPDX-License-Identifier: MIT
// Where the command line's burn finds its PLC: the real ports and USB
// device, or a simulated PLC.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "cli/terminal_environment.h"

// Serial ports by name; the USB PLC found by its ids, or at `usbPath` when
// one is given. A USB device that has just been replugged takes a moment to
// come back, so the USB link is tried for up to 3 s.
LinkSource PlcLinks(const std::string& usbPath);
// The USB PLC at `location` (1-1.2), whatever the system calls its device
// now: after the replug each of several PLCs is found again where it is
// plugged in.
LinkSource UsbPlcLinksAt(const std::string& location);
// A simulated PLC of `model` that passes every check, expecting an image of
// `imageSize` bytes, behind a wire paced at 8 times the real line speed so
// that an update can be watched.
LinkSource SimulatedLinks(const std::string& model, uint32_t imageSize);

// Platform pieces.
bool IsTerminal(std::FILE* stream);
// The width of the terminal `stream` is on; 80 when it cannot be told.
int TerminalColumns(std::FILE* stream);
// Its height; 24 when it cannot be told.
int TerminalRows(std::FILE* stream);
// Whether a line typed on the terminal `stream` reads from is shown on it.
bool EchoesInput(std::FILE* stream);
// Ctrl-C and SIGTERM call `handler` with the signal's number. A hang-up (a
// dropped SSH session) and a closed standard output never stop an update:
// it runs to its end, and output that cannot be written is dropped.
void CatchStopSignals(void (*handler)(int));
// The watching thread sleeps in WaitForWake until the time given has passed
// or WakeWatcher was called (true), from another thread or from a stop
// signal's handler: it never polls.
void WakeWatcher();
bool WaitForWake(std::chrono::milliseconds limit);
// The machine's name, as the records name the station; empty when the
// system does not tell.
std::string HostName();
LinkOpening OpenUsbDevicePath(const std::string& path);
