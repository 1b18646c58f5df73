#include "run/flash_state.h"

#include <cstdlib>

#include "serial/port_name.h"

std::string LogPathFromEnvironment() {
  const char* log = std::getenv("TALVORN_LOG");
  return log != nullptr ? log : "";
}

std::string PortDevice(const RunOptions& options) {
  if (!options.portPath.empty()) return options.portPath;
  return ComPortDevice(options.portNumber);
}

std::string PortLabel(const RunOptions& options) {
  if (!options.portPath.empty()) return options.portPath;
  return "COM" + std::to_string(options.portNumber);
}
