// How a run ended: one value, taken where the run ends, that the verdict on
// the screen, the exit status and the flash record all read.
#pragma once

#include <string>

enum class Ending {
  kSuccess,          // the instrument accepted the whole image
  kCancelled,        // ESC, a key during the wake-up, or "-b" not confirmed
  kInterrupted,      // Ctrl-C or a termination request
  kInstrumentError,  // the instrument answered a packet with its error text
  kTimeOut,          // the instrument did not answer a packet
  kOutOfStep,        // the instrument sent bytes when no answer was due
  kLostPort,
  kFileChanged,      // the file is no longer the one checked
  kBadRecord,        // a record failed in the transfer although the file did not change
  kBadFile,          // missing, unreadable, not a firmware file, or refused by the check
  kNotAPort,         // the port argument names no port
  kPortNotOpened,
  kNoWakeAnswer,     // the instrument did not answer the wake-up
  kSettingsRefused,  // the port refused the line settings
  kAnswered,         // the command line asked for help, the version or the port list
  kRefused,          // the command line was refused
};

struct RunOutcome {
  Ending ending = Ending::kSuccess;
  // The instrument's answer line (error, time-out), or the reason of a lost
  // port, a changed or bad file or a port not opened; "" otherwise.
  std::string text;
  // The start command went: an interrupted instrument may hold an incomplete image.
  bool imageTouched = false;
  // The instrument accepted the end record: it holds the whole image.
  bool imageWhole = false;
};

// The flash record's verdict for a run that ended so.
const char* VerdictName(Ending ending);

// The process's exit status: 0 only when the instrument accepted the whole
// image (or the command line was answered); 128 + the signal after an
// interrupt; 1 otherwise.
int ExitStatus(const RunOutcome& outcome);
