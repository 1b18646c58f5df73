#include "run/flash_state.h"

#include <cstdlib>

std::string LogPathFromEnvironment() {
  const char* log = std::getenv("TALVORN_LOG");
  return log != nullptr ? log : "";
}

std::string PortLabel(const FlashState& state) {
  if (!state.portPath.empty()) return state.portPath;
  return "COM" + std::to_string(state.portNumber);
}
