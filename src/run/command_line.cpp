#include "run/command_line.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "run/port_messages.h"
#include "run/presentation.h"

namespace {

// Requests that stand alone on the command line: answered without a flash,
// status 0. Another such request is one more row.
struct StandaloneRequest {
  const char* argument;
  void (*answer)();
};

constexpr StandaloneRequest kStandaloneRequests[] = {
    {"--help", PrintHelp}, {"-h", PrintHelp},          {"-?", PrintHelp},
    {"/?", PrintHelp},     {"--version", PrintVersion}, {"--list-ports", PrintPortList},
};

const StandaloneRequest* FindStandaloneRequest(const char* arg) {
  for (const StandaloneRequest& request : kStandaloneRequests) {
    if (std::strcmp(arg, request.argument) == 0) return &request;
  }
  return nullptr;
}

void ApplyOption(RunOptions& options, const char* arg) {
  switch (std::toupper(static_cast<unsigned char>(arg[1]))) {
    case 'D': options.debugRecords = true; break;
    case 'P': options.padRecords = true; break;
    case 'V': options.verbose = true; break;
    case 'B': options.bootOverwrite = true; break;
    default: break;  // unknown letters are ignored without a message
  }
}

// The long options, "--NAME" or "--NAME=VALUE"; others are ignored as
// unknown option letters are.
void ApplyLongOption(RunOptions& options, const std::string& arg) {
  if (arg.rfind("--log=", 0) != 0) return;
  options.logPath = arg.substr(6);
  options.logGiven = true;
}

// Why an option refuses the command line, or "": "--log" wants its
// file after "=" (a file after a blank would be taken for the firmware), and
// a request that stands alone takes nothing else.
std::string RefusedOption(const char* arg) {
  if (std::strcmp(arg, "--log") == 0) return "--log needs =FILE: --log=FILE";
  if (arg[1] == '-' && FindStandaloneRequest(arg) != nullptr) {
    return std::string(arg) + " stands alone on the command line";
  }
  return "";
}

}  // namespace

std::string CompleteFileName(const std::string& name) {
  // The name as typed wins: a file "fw" is flashed even beside an "fw.abs".
  if (KindOfFile(name) == FileKind::kRegular) return name;
  // Both separators count: a technician may type either on Windows, and a
  // backslash in a POSIX file name is too rare to matter here.
  const std::string::size_type slash = name.find_last_of("/\\");
  const std::string::size_type start = slash == std::string::npos ? 0 : slash + 1;
  if (name.find('.', start) != std::string::npos || start == name.size()) return name;
  // File systems here may be case-sensitive: try the lower-case extension the
  // help text shows, then the upper-case one of the instrument's tools.
  for (const char* extension : {".abs", ".ABS"}) {
    if (KindOfFile(name + extension) == FileKind::kRegular) return name + extension;
  }
  return name;
}

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  if (argc < 2) return line;
  if (const StandaloneRequest* request = argc == 2 ? FindStandaloneRequest(argv[1]) : nullptr) {
    line.request = CommandLineRequest::kAnswered;
    line.answer = request->answer;
    return line;
  }
  int index = 1;
  const char* current = nullptr;
  while (index < argc) {
    current = argv[index++];
    if (current[0] != '-') break;
    line.refusal = RefusedOption(current);
    if (!line.refusal.empty()) return line;
    if (index == argc) {  // options alone: no file named
      line.refusal = "no file named after the options";
      return line;
    }
    if (current[1] == '-') {
      ApplyLongOption(line.options, current);
    } else {
      ApplyOption(line.options, current);
    }
  }
  line.options.fileName = CompleteFileName(current);
  line.request = CommandLineRequest::kFlash;
  line.portIndex = index;
  return line;
}

bool TakePort(RunOptions& options, int argc, char** argv, int index) {
  options.portNumber = 1;
  options.portPath.clear();
  if (index <= 0 || index >= argc) return true;
  const std::string arg = argv[index];
  if (DevicePathsAsPorts() && arg.find('/') != std::string::npos) {
    options.portPath = arg;
    return true;
  }
  const int number = ComPortNumber(arg);
  if (number == 0) return false;
  options.portNumber = static_cast<int16_t>(number);
  return true;
}
