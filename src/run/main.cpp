#include <cstdio>

#include "console/console.h"
#include "run/bench.h"
#include "run/command_line.h"
#include "run/driver.h"
#include "run/flash_state.h"
#include "serial/cserial.h"

int main(int argc, char** argv) {
  PrepareProcess();
  // Unbuffered, so that text, the spinner written straight to the terminal and
  // the beeps appear in the order the program produces them.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // The port closes when `port` goes, the file when `state` goes: at the end
  // of every run.
  char** const args = ProgramArguments(argc, argv);
  // Two ports or more: every instrument at once.
  const CommandLine line = ParseCommandLine(argc, args);
  if (line.request == CommandLineRequest::kFlash && argc - line.portIndex >= 2) {
    return RunBench(line, argc, args);
  }
  FlashState state;
  CSerial port;
  return RunFlash(state, port, argc, args);
}
