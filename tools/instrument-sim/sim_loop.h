// The simulator's event loop: one thread, one poll over the pty master.
#pragma once

#include "instrument.h"
#include "pty_line.h"
#include "reply_queue.h"
#include "sim_options.h"

// Blocks SIGINT, SIGTERM and SIGHUP outside the loop's wait, so that they end
// the loop at its next wait instead of killing the process mid-write.
void InstallStopSignals();

// Feeds received bytes to `instrument` and writes its queued replies until
// the time-out (so many seconds without a byte from the loader), a stop
// signal, the instrument hanging up, or, with --once, the loader closing the
// line after it has sent something.
void RunSimulator(const SimOptions& options, PtyLine& line, Instrument& instrument,
                  ReplyQueue& replies, std::FILE* report);
