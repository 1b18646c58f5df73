// The flash run: from the command line to the verdict.
#pragma once

#include "run/flash_state.h"

class CSerial;

// Runs the whole loader on `state` and `port` and returns the process exit
// status: 0 only when the instrument accepted the whole image, 1 otherwise.
int RunFlash(FlashState& state, CSerial& port, int argc, char** argv);
