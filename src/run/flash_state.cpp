#include "run/flash_state.h"

#include <cstdlib>

void InitFlashState(FlashState& state) {
  state.cancelled = false;
  state.reader.linePending = false;
  state.bootOverwrite = false;
  state.link.verbose = false;
  state.reader.recordsPerPacket = 4;
  const char* log = std::getenv("TALVORN_LOG");
  state.logPath = log != nullptr ? log : "";
}

std::string PortLabel(const FlashState& state) {
  if (!state.portPath.empty()) return state.portPath;
  return "COM" + std::to_string(state.portNumber);
}
