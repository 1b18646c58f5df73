// The flash run: from the command line to the verdict.
#pragma once

#include <optional>

#include "run/flash_state.h"
#include "run/run_outcome.h"

class CSerial;

// Runs the whole loader on `state` and `port` and returns the process exit
// status: 0 only when the instrument accepted the whole image, 1 otherwise.
int RunFlash(FlashState& state, CSerial& port, int argc, char** argv);

// The whole-file check that comes before any port is opened: nothing when the
// file may be sent, otherwise how the run ends.
std::optional<RunOutcome> CheckFirmware(Firmware& firmware);

// One run from the port's opening to the end of the transfer, the file opened
// and checked (firmware.checked), state.options, state.link.portLabel, the
// view and the keys set. Closes the file; the verdict is the caller's.
RunOutcome FlashPort(FlashState& state, CSerial& port);
