// The command line: options, the firmware file name and the port, and the
// probe of the file before anything touches the serial port.
//
//   talvorn [-p] [-d] [-v] [-b] [--log=LOG] FILE [PORT]
//   talvorn --help | -h | -? | /? | --version | --list-ports
//
// Options come first; only the letter right after '-' counts, in any case,
// but for the long options, which begin with "--".
// PORT is a COM port number from 1 to 255, written 3 or COM3 (default 1), or
// where the platform allows it a device path containing '/'.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "run/flash_state.h"

// What the command line asks for.
enum class CommandLineRequest {
  kFlash,     // a flash: the file was probed, the port argument is still to be taken
  kAnswered,  // a request that stands alone (help, version, port list) was answered: status 0
  kRefused,   // the usage text or the not-found message was printed: status 1
};

struct CommandLine {
  CommandLineRequest request = CommandLineRequest::kRefused;
  int portIndex = 0;  // argv index of the port argument (argc when there is none)
};

// Answers a request that stands alone as the only argument; otherwise walks
// the options, takes the file name (completed by the default-extension rule)
// and probes the file. On a short command line prints the usage; on a file
// that cannot be found prints "*** - Error, file "NAME" not found" and the
// usage.
CommandLine ParseCommandLine(FlashState& state, int argc, char** argv);

// Sets the port from the argument at `index` (if any): portNumber 1 without
// one; a number or COMn; or, for an argument holding '/' where device paths
// are ports, the device path (portNumber stays 1). False, with the refusal
// printed, for anything else: nothing has been opened then.
bool TakePort(FlashState& state, int argc, char** argv, int index);

// True where a port may be named by its device path (POSIX); on Windows the
// port is always a COM port.
bool DevicePathsAsPorts();

// The program's arguments in UTF-8: `argv` itself where the system hands
// them over so (POSIX); on Windows, whose `argv` is in the ANSI code page,
// the wide command line converted, so that a file named in any script
// reaches the file system and the flash record whole.
char** ProgramArguments(int argc, char** argv);

// Highest COM port number: the range Windows gives COM port names.
constexpr int kMaxPortNumber = 255;

// The COM port number `text` names: decimal digits ("3") or COM and digits in
// any case ("COM3", "com3"), from 1 to kMaxPortNumber; 0 for anything else.
int PortNumberOf(const std::string& text);

// The name as typed when it is a regular file; otherwise, when its last path
// component has no '.', the name with ".abs" / ".ABS" appended where that is
// a regular file; otherwise the name as typed.
std::string CompleteFileName(const std::string& name);

// Opens the file for reading and keeps it open in state.reader; false when
// there is nothing of that name. Sets state.inputKind; a directory or another
// file that is not regular is not opened (true, the reader without a file),
// nor is a regular file that cannot be read (true, state.inputError set).
// Otherwise sets state.fileSize (-1 when the file is 2 GiB or larger).
bool ProbeInputFile(FlashState& state, const std::string& name);

// Size of an open file, leaving its position as it was; -1 when it cannot be
// measured or does not fit in 31 bits.
int32_t FileSize(std::FILE* file);
