// How a run's ending reaches the technician: the words of its reason, and
// everything the screen shows of it, in one place.
#pragma once

#include <string>

#include "run/flash_state.h"
#include "run/presentation.h"
#include "run/run_outcome.h"

// What the instrument got from a run that ended so.
InstrumentGot WhatInstrumentGot(const FlashState& state, const RunOutcome& outcome);

// The reason of the ending in words, as the verdict and the flash record give
// it: the instrument's answer line as it came, the loss of the port, the
// file's fault, why the port was not opened; "" for an ending that needs none
// (success, a cancel, an interrupt, an answered command line).
std::string EndingReason(const FlashState& state, const RunOutcome& outcome);

// Shows how the run ended: the message of the step that ended it, or the
// verdict of a transfer that ran (the records sent, the verdict, "DONE"); the
// interrupt's verdict; the failure's beep; and, on standard error, what the
// instrument got. A command line answered or refused was answered already.
void ShowEnding(const FlashState& state, const RunOutcome& outcome, const std::string& reason);
