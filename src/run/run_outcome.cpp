#include "run/run_outcome.h"

#include "console/console.h"

const char* VerdictName(Ending ending) {
  switch (ending) {
    case Ending::kSuccess: return "successful";
    case Ending::kCancelled: return "cancelled";
    case Ending::kInterrupted: return "interrupted";
    case Ending::kInstrumentError:
    case Ending::kOutOfStep: return "instrument error";
    case Ending::kTimeOut:
    case Ending::kNoWakeAnswer: return "time-out";
    case Ending::kLostPort: return "lost port";
    case Ending::kFileChanged: return "file changed";
    case Ending::kNotAPort:
    case Ending::kPortNotOpened:
    case Ending::kSettingsRefused: return "port not opened";
    case Ending::kBadRecord:
    case Ending::kBadFile:
    case Ending::kAnswered:
    case Ending::kRefused: return "bad file";
  }
  return "";
}

int ExitStatus(const RunOutcome& outcome) {
  switch (outcome.ending) {
    case Ending::kSuccess:
    case Ending::kAnswered: return 0;
    case Ending::kInterrupted: return InterruptExitStatus();
    default: return 1;
  }
}
