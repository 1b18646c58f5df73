// How a run ended: one value, taken where the run ends, that the verdict on
// the screen, the exit status and the flash record all read.
#pragma once

#include <string>

#include "serial/serial_device.h"
#include "srecord/input_file.h"
#include "srecord/srecord_validator.h"

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

// What made a file end the run (kBadFile, kFileChanged, and kRefused for a
// file that is not there).
enum class FileFault {
  kNone,
  kNotFound,             // nothing of that name
  kUnreadable,           // a regular file that cannot be opened: fileError
  kUnusable,             // not a regular file, or one too large: fileKind
  kRefusedByCheck,       // the whole-file check refused it: validation
  kNotSRecord,           // its first packet could not be read again for the transfer
  kChangedWhileChecked,  // it changed while it was checked
  kChangedSince,         // it changed after the check
};

// The typed payload says what the ending's words are made of; the words
// themselves are made in one place (EndingReason, ShowEnding).
struct RunOutcome {
  Ending ending = Ending::kSuccess;
  // A step's own ending that an interrupt, pending as the step ended, turned
  // into kInterrupted: shown before the interrupt's verdict. kInterrupted
  // when no ending was overridden.
  Ending overridden = Ending::kInterrupted;
  FileFault fileFault = FileFault::kNone;
  FileKind fileKind = FileKind::kMissing;  // kUnusable: what the file is
  int fileError = 0;                       // kUnreadable: the errno of the open
  ValidationResult validation;             // kRefusedByCheck: the check's result
  // kLostPort: the error that showed the loss; kPortNotOpened: the open's error.
  SerialError portError;
  std::string device;        // kPortNotOpened: the device the port was to be opened by
  bool ownTerminal = false;  // kPortNotOpened: that device is the loader's own terminal
  // kInstrumentError: the instrument's answer line to a packet; kOutOfStep:
  // the bytes that came when no answer was due.
  std::string answer;
  // kRefused: why the command line was refused, shown before the usage ("":
  // the usage alone); none of it for an answer that could not be written.
  std::string refusal;
  bool answerNotWritten = false;
  // The wake-up ended with its "Waking up device" line unfinished: the
  // ending finishes it.
  bool wakeLineOpen = false;
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
