#include "run/command_line.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "run/presentation.h"

namespace {

bool FileExists(const std::string& name) {
  FileIdentity identity;
  return IdentityOfPath(name, identity);
}

void ApplyOption(FlashState& state, const char* arg) {
  switch (std::toupper(static_cast<unsigned char>(arg[1]))) {
    case 'D': state.debugRecords = true; break;
    case 'P': state.padRecords = true; break;
    case 'V': state.link.verbose = true; break;
    case 'B': state.bootOverwrite = true; break;
    default: break;  // unknown letters are ignored without a message
  }
}

// The long options, "--NAME" or "--NAME=VALUE"; others are ignored as
// unknown option letters are.
void ApplyLongOption(FlashState& state, const std::string& arg) {
  if (arg == "--list-ports") state.listPorts = true;
  if (arg.rfind("--log=", 0) == 0) state.logPath = arg.substr(6);
}

}  // namespace

std::string CompleteFileName(const std::string& name) {
  // Both separators count: a technician may type either on Windows, and a
  // backslash in a POSIX file name is too rare to matter here.
  const std::string::size_type slash = name.find_last_of("/\\");
  const std::string::size_type start = slash == std::string::npos ? 0 : slash + 1;
  if (name.find('.', start) != std::string::npos || start == name.size()) return name;
  // File systems here may be case-sensitive: try the lower-case extension the
  // help text shows, then the upper-case one of the instrument's tools.
  for (const char* extension : {".abs", ".ABS"}) {
    if (FileExists(name + extension)) return name + extension;
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
  state.reader.file = OpenRegularFile(name, state.inputKind);
  if (!state.reader.file) {
    // A directory or a device is there but is no firmware file: the check says so.
    return state.inputKind == FileKind::kDirectory || state.inputKind == FileKind::kOther;
  }
  state.fileSize = FileSize(state.reader.file.get());
  return true;
}

int ParseCommandLine(FlashState& state, int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 0;
  }
  int index = 1;
  const char* current = nullptr;
  while (index < argc) {
    current = argv[index++];
    if (current[0] != '-') break;
    if (current[1] == '-') {
      ApplyLongOption(state, current);
    } else {
      ApplyOption(state, current);
    }
  }
  if (state.listPorts) return index;
  state.fileName = CompleteFileName(current);
  if (!ProbeInputFile(state, state.fileName)) {
    std::printf("*** - Error, file \"%s\" not found", state.fileName.c_str());
    PrintUsage();
    return 0;
  }
  return index;
}

int16_t PortNumberFromText(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  // Only the low 16 bits survive, so the value is kept modulo 65536 as it
  // grows and no digit string can overflow.
  uint32_t value = 0;
  while (std::isdigit(static_cast<unsigned char>(*text))) {
    value = (value * 10 + static_cast<uint32_t>(*text++ - '0')) & 0xFFFFu;
  }
  if (negative) value = (0x10000u - value) & 0xFFFFu;
  return static_cast<int16_t>(static_cast<uint16_t>(value));
}

void TakePortNumber(FlashState& state, int argc, char** argv, int index) {
  state.portNumber = 1;
  state.portPath.clear();
  if (index <= 0 || index >= argc) return;
  const std::string arg = argv[index];
  if (DevicePathsAsPorts() && arg.find('/') != std::string::npos) {
    state.portPath = arg;
    return;
  }
  state.portNumber = PortNumberFromText(arg.c_str());
}
