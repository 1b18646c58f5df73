// talvorn-sim: a simulated instrument on a pseudo-terminal, for the loader's
// end-to-end tests, the demo and dry runs by hand:
//
//   talvorn-sim --once --check fw.m0 (prints "talvorn-sim: instrument on /dev/pts/N")
//   talvorn fw.m0 /dev/pts/N         (in another terminal)
//
// Exit status: 0 when a flash completed and no image check failed, 1 when a
// check failed, 2 when no flash completed, 3 on a bad command line or setup.
#include <cstdio>
#include <string>

#include "instrument.h"
#include "packet_log.h"
#include "pty_line.h"
#include "reply_queue.h"
#include "sim_loop.h"
#include "sim_options.h"

namespace {

constexpr int kSetupFailed = 3;

int Fail(const std::string& message) {
  ReportLine(stderr, message);
  return kSetupFailed;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!ParseSimOptions(argc, argv, options, error)) {
    const int status = Fail(error);
    std::fputs(SimUsage(), stderr);
    return status;
  }
  if (options.help) {
    std::fputs(SimUsage(), stdout);
    return 0;
  }
  PacketLog log;
  if (!options.logPath.empty() && !log.Open(options.logPath, error)) return Fail(error);
  ReplyQueue replies(options.lineRate);
  Instrument instrument(options, replies, log, stdout);
  if (!instrument.LoadReference(error)) return Fail(error);

  InstallStopSignals();
  PtyLine line;
  if (!line.Open(error)) return Fail(error);
  ReportLine(stdout, "instrument on " + line.SlavePath());

  RunSimulator(options, line, instrument, replies, stdout);
  instrument.PrintSummary();
  return instrument.ExitStatus();
}
