#include "run/ending.h"

#include "run/command_line.h"
#include "run/port_messages.h"
#include "run/presentation.h"
#include "serial/cserial.h"
#include "srecord/srecord_validator.h"

namespace {

std::string FileFaultText(const FlashState& state, const RunOutcome& outcome) {
  const std::string& name = state.options.fileName;
  switch (outcome.fileFault) {
    case FileFault::kNotFound: return "file \"" + name + "\" not found";
    case FileFault::kUnreadable: return "cannot read file \"" + name + "\"";
    case FileFault::kUnusable: return UnusableFileText(name, outcome.fileKind);
    case FileFault::kRefusedByCheck:
      return WithoutErrorPrefix(ValidationMessage(name, outcome.validation));
    case FileFault::kNotSRecord: return NotSRecordFileText(name);
    case FileFault::kChangedWhileChecked: return FileChangedText(name, true);
    case FileFault::kChangedSince: return FileChangedText(name, false);
    case FileFault::kNone: break;
  }
  return "";
}

// The ending a step met itself, an interrupt's override aside.
Ending StepEnding(const RunOutcome& outcome) {
  return outcome.ending == Ending::kInterrupted ? outcome.overridden : outcome.ending;
}

// The message of a step that ended the run before a transfer's verdict.
void ShowStepEnd(const FlashState& state, const RunOutcome& outcome, const std::string& reason) {
  switch (StepEnding(outcome)) {
    case Ending::kBadFile:
      if (outcome.fileFault == FileFault::kUnreadable) {
        PrintUnreadableFile(state.options.fileName, outcome.fileError);
      } else if (outcome.fileFault == FileFault::kRefusedByCheck) {
        PrintText(ValidationMessage(state.options.fileName, outcome.validation));
      } else {
        PrintError(reason);
      }
      break;
    case Ending::kFileChanged:
      PrintFileChanged(state.options.fileName,
                       outcome.fileFault == FileFault::kChangedWhileChecked);
      break;
    case Ending::kNotAPort: PrintNotAPort(state.link.portLabel, DevicePathsAsPorts()); break;
    case Ending::kPortNotOpened: PrintPortNotOpened(reason); break;
    case Ending::kNoWakeAnswer: PrintNoAnswer(state.link.portLabel); break;
    case Ending::kLostPort:
      if (outcome.wakeLineOpen) PrintWakeFailed();
      PrintPortLost(reason);
      break;
    case Ending::kCancelled: PrintCancelled(!outcome.wakeLineOpen); break;
    case Ending::kInterrupted:
      if (outcome.wakeLineOpen) PrintText("\n");
      break;
    case Ending::kBadRecord: PrintBadRecordRead(); break;
    default: break;  // refused line settings say nothing
  }
  if (outcome.ending == Ending::kInterrupted) PrintInterrupted(outcome.imageTouched);
  ReportFailure();
}

// The verdict of a transfer that ran.
void ShowVerdict(const FlashState& state, const RunOutcome& outcome, const std::string& reason) {
  PrintRecordsSent(state.firmware.reader.recordsRead);
  switch (outcome.ending) {
    case Ending::kSuccess: PrintSuccess(); break;
    case Ending::kInterrupted: PrintInterrupted(outcome.imageTouched); break;
    case Ending::kCancelled: PrintCancelled(true); break;
    // The instrument's answer, a lost port, a changed file.
    default: PrintErrorAnswer(reason); break;
  }
  if (outcome.ending != Ending::kSuccess) ReportFailure();
  PrintDone();
}

// After the verdict of a run that did not succeed, what the instrument got.
// An interrupt's verdict says it already; a command line refused before any
// file was named concerns no instrument.
void ShowWhatInstrumentGot(const FlashState& state, const RunOutcome& outcome) {
  switch (outcome.ending) {
    case Ending::kSuccess:
    case Ending::kAnswered:
    case Ending::kInterrupted: return;
    case Ending::kRefused:
      if (state.options.fileName.empty()) return;
      break;
    default: break;
  }
  PrintInstrumentGot(WhatInstrumentGot(state, outcome));
}

// A refused command line: why, then the usage.
void ShowRefusal(const FlashState& state, const RunOutcome& outcome) {
  if (outcome.answerNotWritten) return;
  if (outcome.fileFault == FileFault::kNotFound) {
    PrintError("file \"" + state.options.fileName + "\" not found");
  } else if (!outcome.refusal.empty()) {
    PrintError(outcome.refusal + "\n");
  }
  PrintUsage();
}

}  // namespace

InstrumentGot WhatInstrumentGot(const FlashState& state, const RunOutcome& outcome) {
  if (outcome.imageWhole) return InstrumentGot::kWholeImage;
  if (outcome.imageTouched || state.progress.transferStarted) return InstrumentGot::kPartOfImage;
  if (state.progress.portOpened) return InstrumentGot::kNoFirmware;
  return InstrumentGot::kNothing;
}

std::string EndingReason(const FlashState& state, const RunOutcome& outcome) {
  const std::string& label = state.link.portLabel;
  switch (outcome.ending) {
    case Ending::kInstrumentError: return outcome.answer;
    case Ending::kTimeOut: return "Response Timeout";
    case Ending::kOutOfStep: return UnsolicitedText(outcome.answer);
    case Ending::kLostPort: return LostPortText(label, outcome.portError);
    case Ending::kFileChanged:
    case Ending::kBadFile:
    case Ending::kRefused: return FileFaultText(state, outcome);
    case Ending::kBadRecord: return "Bad S-Record Read";
    case Ending::kPortNotOpened:
      return outcome.ownTerminal ? OwnTerminalProblem(label, outcome.device)
                                 : PortOpenProblem(label, outcome.device, outcome.portError);
    case Ending::kNotAPort: return "not a port";
    case Ending::kNoWakeAnswer: return "no answer to the wake-up";
    case Ending::kSettingsRefused: return std::string("the port refused ") + kLineSettingsText;
    default: return "";
  }
}

void ShowEnding(const FlashState& state, const RunOutcome& outcome, const std::string& reason) {
  const Ending step = StepEnding(outcome);
  if (outcome.ending == Ending::kAnswered) {
    // The answer is on the screen.
  } else if (outcome.ending == Ending::kRefused) {
    ShowRefusal(state, outcome);
  } else if (state.progress.transferStarted && step != Ending::kBadRecord) {
    ShowVerdict(state, outcome, reason);
  } else if (step != outcome.ending) {
    // The step's own ending, in its own words, before the interrupt's verdict.
    RunOutcome stepOutcome = outcome;
    stepOutcome.ending = step;
    ShowStepEnd(state, outcome, EndingReason(state, stepOutcome));
  } else {
    ShowStepEnd(state, outcome, reason);
  }
  ShowWhatInstrumentGot(state, outcome);
  // Keys pressed for the run (the one that stopped the wake-up tries too)
  // are taken, lest the shell read them after the program has ended.
  if (state.progress.portOpened) DrainKeyboard();
}
