// The command line: options, the firmware file name and the port, and the
// probe of the file before anything touches the serial port.
//
//   talvorn [-p] [-d] [-v] [-b] [--log=LOG] FILE [PORT]
//   talvorn --list-ports
//
// Options come first; only the letter right after '-' counts, in any case,
// but for the long options, which begin with "--".
// PORT is a number (COM port, default 1) or a device path containing '/'.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "run/flash_state.h"

// Walks the options, takes the file name (completed by the default-extension
// rule) and probes the file. On a short command line prints the usage; on a
// file that cannot be opened prints "*** - Error, file "NAME" not found" and
// the usage. Returns the index in argv of the argument after the file name
// (argc when there is none), or 0 when the run must end with status 1. With
// "--list-ports" nothing is probed (state.listPorts says so).
int ParseCommandLine(FlashState& state, int argc, char** argv);

// Sets the port from the argument at `index` (if any): portNumber 1 without
// one; the atol-style decimal value truncated to 16 bits; or, for an argument
// holding '/', the device path (portNumber stays 1).
void TakePortNumber(FlashState& state, int argc, char** argv, int index);

// True where a port may be named by its device path (POSIX); on Windows the
// port is always a COM port number.
bool DevicePathsAsPorts();

// The decimal value of `text` as atol reads it (leading blanks, an optional
// sign, digits up to the first non-digit, 0 without digits), truncated to 16
// bits. Never overflows, however long the digit string.
int16_t PortNumberFromText(const char* text);

// The name as given, or with ".abs" / ".ABS" appended when the last path
// component has no '.' and such a file exists.
std::string CompleteFileName(const std::string& name);

// Opens the file for reading and keeps it open in state.reader; false when
// there is nothing of that name or it cannot be opened. Sets state.inputKind;
// a directory or another file that is not regular is not opened (true, the
// reader without a file). Otherwise sets state.fileSize (-1 when
// the file is 2 GiB or larger).
bool ProbeInputFile(FlashState& state, const std::string& name);

// Size of an open file, leaving its position as it was; -1 when it cannot be
// measured or does not fit in 31 bits.
int32_t FileSize(std::FILE* file);
