#include <cstdio>

#include "run/driver.h"
#include "run/flash_state.h"
#include "serial/cserial.h"

namespace {
// The one port of the process; its destructor closes the port at every exit.
CSerial g_serial;
}  // namespace

int main(int argc, char** argv) {
  // Unbuffered, so that text, the spinner written straight to the terminal and
  // the beeps appear in the order the program produces them.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return RunFlash(g_flash, g_serial, argc, argv);
}
