#include "run/command_line.h"

#include <cctype>
#include <climits>
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

void ApplyOption(FlashState& state, const char* arg) {
  switch (std::toupper(static_cast<unsigned char>(arg[1]))) {
    case 'D': state.debugRecords = true; break;
    case 'P': state.padRecords = true; break;
    case 'V': state.verbose = true; break;
    case 'B': state.bootOverwrite = true; break;
    default: break;  // unknown letters are ignored without a message
  }
}

// The long options, "--NAME" or "--NAME=VALUE"; others are ignored as
// unknown option letters are.
void ApplyLongOption(FlashState& state, const std::string& arg) {
  if (arg.rfind("--log=", 0) == 0) state.logPath = arg.substr(6);
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

int32_t FileSize(std::FILE* file) {
  const long here = std::ftell(file);
  if (here < 0) return -1;
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  std::fseek(file, here, SEEK_SET);
  if (size < 0 || size > INT32_MAX) return -1;
  return static_cast<int32_t>(size);
}

bool ProbeInputFile(FlashState& state, const std::string& name) {
  state.reader.file = OpenRegularFile(name, state.inputKind, state.inputError);
  // A directory, a device or a file that cannot be read is there but gives
  // no firmware: the check says which.
  if (!state.reader.file) return state.inputKind != FileKind::kMissing;
  state.fileSize = FileSize(state.reader.file.get());
  return true;
}

CommandLine ParseCommandLine(FlashState& state, int argc, char** argv) {
  CommandLine line;
  if (argc < 2) {
    PrintUsage();
    return line;
  }
  if (const StandaloneRequest* request = argc == 2 ? FindStandaloneRequest(argv[1]) : nullptr) {
    request->answer();
    line.request = CommandLineRequest::kAnswered;
    return line;
  }
  int index = 1;
  const char* current = nullptr;
  while (index < argc) {
    current = argv[index++];
    if (current[0] != '-') break;
    if (const std::string problem = RefusedOption(current); !problem.empty()) {
      std::printf("*** - Error, %s\n", problem.c_str());
      PrintUsage();
      return line;
    }
    if (index == argc) {  // options alone: no file named
      std::printf("*** - Error, no file named after the options\n");
      PrintUsage();
      return line;
    }
    if (current[1] == '-') {
      ApplyLongOption(state, current);
    } else {
      ApplyOption(state, current);
    }
  }
  state.fileName = CompleteFileName(current);
  if (!ProbeInputFile(state, state.fileName)) {
    std::printf("*** - Error, file \"%s\" not found", state.fileName.c_str());
    PrintUsage();
    return line;
  }
  line.request = CommandLineRequest::kFlash;
  line.portIndex = index;
  return line;
}

int PortNumberOf(const std::string& text) {
  std::string::size_type at = 0;
  if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
      (text[2] == 'M' || text[2] == 'm')) {
    at = 3;
  }
  if (at == text.size()) return 0;
  int number = 0;
  for (; at < text.size(); ++at) {
    if (!std::isdigit(static_cast<unsigned char>(text[at]))) return 0;
    number = number * 10 + (text[at] - '0');
    if (number > kMaxPortNumber) return 0;
  }
  return number;
}

bool TakePort(FlashState& state, int argc, char** argv, int index) {
  state.portNumber = 1;
  state.portPath.clear();
  if (index <= 0 || index >= argc) return true;
  const std::string arg = argv[index];
  if (DevicePathsAsPorts() && arg.find('/') != std::string::npos) {
    state.portPath = arg;
    return true;
  }
  const int number = PortNumberOf(arg);
  if (number == 0) {
    PrintNotAPort(arg, DevicePathsAsPorts());
    return false;
  }
  state.portNumber = static_cast<int16_t>(number);
  return true;
}
