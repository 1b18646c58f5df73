// The command line: options, the firmware file name and the port. Reading it
// opens nothing and prints nothing.
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
#include "serial/port_name.h"

// What the command line asks for.
enum class CommandLineRequest {
  kFlash,     // a flash: the port argument is still to be taken
  kAnswered,  // a request that stands alone (help, version, port list): status 0
  kRefused,   // the usage is the answer: status 1
};

struct CommandLine {
  CommandLineRequest request = CommandLineRequest::kRefused;
  RunOptions options;          // kFlash: the options and the file name
  void (*answer)() = nullptr;  // kAnswered: prints the answer
  std::string refusal;         // kRefused: why, before the usage ("" for a short command line)
  int portIndex = 0;           // argv index of the port argument (argc when there is none)
};

// A request that stands alone as the only argument; otherwise walks the
// options and takes the file name (completed by the default-extension rule).
CommandLine ParseCommandLine(int argc, char** argv);

// Sets the port from the argument at `index` (if any): portNumber 1 without
// one; a number or COMn; or, for an argument holding '/' where device paths
// are ports, the device path (portNumber stays 1). False for anything else:
// nothing has been opened then.
bool TakePort(RunOptions& options, int argc, char** argv, int index);

// True where a port may be named by its device path (POSIX); on Windows the
// port is always a COM port.
bool DevicePathsAsPorts();

// The program's arguments in UTF-8: `argv` itself where the system hands
// them over so (POSIX); on Windows, whose `argv` is in the ANSI code page,
// the wide command line converted, so that a file named in any script
// reaches the file system and the flash record whole.
char** ProgramArguments(int argc, char** argv);

// The name as typed when it is a regular file; otherwise, when its last path
// component has no '.', the name with ".abs" / ".ABS" appended where that is
// a regular file; otherwise the name as typed.
std::string CompleteFileName(const std::string& name);
