#include "run/driver.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "console/console.h"
#include "run/command_line.h"
#include "run/flash_record.h"
#include "run/port_messages.h"
#include "run/presentation.h"
#include "run/run_outcome.h"
#include "serial/cserial.h"
#include "serial/device_protocol.h"
#include "srecord/srecord_validator.h"

namespace {

// Boot-sector overwrite mode ignores ESC until this much of the file has gone:
// stopping half way through the boot sector would leave nothing to boot from.
constexpr int32_t kBootSectorBytes = 4096;
// Wake-up tries when no key press can ever end them (input closed).
constexpr int kWakeTriesWithoutKeyboard = 20;
// Failed wake-up tries (about 5 s each) before the hint on what to check.
constexpr int kWakeTriesBeforeHint = 3;

// What a step before the transfer gives: nothing when it went through,
// otherwise how the run ended there (its message already shown).
using StepEnd = std::optional<RunOutcome>;

RunOutcome Ended(Ending ending, std::string text = "") { return {ending, std::move(text)}; }

// Every end before the verdict of the transfer. An interrupt, which ends the
// waits without a message, gets its verdict here, whatever ended the step.
RunOutcome EarlyEnd(RunOutcome outcome) {
  if (InterruptPending()) {
    outcome = {Ending::kInterrupted, "", outcome.imageTouched};
    PrintInterrupted(outcome.imageTouched);
  }
  ReportFailure();
  return outcome;
}

// The outcome of a port that has gone.
RunOutcome LostPort(const FlashState& state, const CSerial& port) {
  return Ended(Ending::kLostPort, LostPortText(state.link.portLabel, port.LostError()));
}

// A port lost before the transfer: the instrument can no longer be reached,
// so the run ends instead of trying again.
StepEnd IfLost(const FlashState& state, const CSerial& port) {
  if (!port.Lost()) return std::nullopt;
  RunOutcome lost = LostPort(state, port);
  PrintPortLost(lost.text);
  return lost;
}

// A bad file never reaches the instrument: the whole file is checked with the
// same packet assembly that the transfer will use, and its fingerprint taken,
// so that the transfer can tell whether it still reads the file it checked.
StepEnd CheckInputFile(FlashState& state) {
  if (state.inputKind == FileKind::kRegular && !state.reader.file) {
    PrintUnreadableFile(state.fileName, state.inputError);
    return Ended(Ending::kBadFile, "cannot read file \"" + state.fileName + "\"");
  }
  if (state.inputKind != FileKind::kRegular || state.fileSize < 0) {
    const std::string unusable = UnusableFileText(state.fileName, state.inputKind);
    PrintError(unusable);
    return Ended(Ending::kBadFile, unusable);
  }
  std::FILE* const file = state.reader.file.get();
  FileIdentity before;
  const bool known = IdentityOfOpenFile(file, before);
  state.reader.padded = state.padRecords;
  const ValidationResult result = ValidateFile(state.reader);
  if (!result.ok) {
    const std::string message = ValidationMessage(state.fileName, result);
    PrintText(message);
    return Ended(Ending::kBadFile, WithoutErrorPrefix(message));
  }
  if (!known || !TakeFingerprint(file, state.checked) || state.checked.identity != before) {
    PrintFileChanged(state.fileName, true);
    return Ended(Ending::kFileChanged, FileChangedText(state.fileName, true));
  }
  return std::nullopt;
}

bool FileAsChecked(const FlashState& state) {
  return FileUnchanged(state.fileName, state.reader.file.get(), state.checked);
}

// The port's device name: its path, or "\\.\COMn" for a port number (the
// 16-bit number reaches the port object sign-extended).
std::string PortDeviceName(const FlashState& state) {
  if (!state.portPath.empty()) return state.portPath;
  const auto number = static_cast<uint32_t>(static_cast<int32_t>(state.portNumber));
  return "\\\\.\\COM" + std::to_string(number);
}

StepEnd OpenPort(const FlashState& state, CSerial& port) {
  const std::string device = PortDeviceName(state);
  std::string problem;
  if (IsOwnTerminal(device)) {
    problem = OwnTerminalProblem(state.link.portLabel, device);
  } else if (port.OpenDevice(device, kInstrumentLine)) {
    return std::nullopt;
  } else {
    problem = PortOpenProblem(state.link.portLabel, port.PortName(), port.LastError());
  }
  PrintPortNotOpened(problem);
  return Ended(Ending::kPortNotOpened, std::move(problem));
}

// Wakes the instrument, one "Waking up device" line per try, until it answers,
// a key is pressed or the port is lost. Returns false when no key can end the
// tries and they have all failed.
bool WakeWithRetries(FlashState& state, CSerial& port) {
  Console& console = TheConsole();
  int tries = 1;
  bool awake = WakeDevice(state.link, port);
  while (!awake && !port.Lost() && !console.KeyWaiting() && !InterruptPending()) {
    PrintWakeFailed();
    if (tries == kWakeTriesBeforeHint) PrintWakeHint(console.KeysCanArrive());
    if (!console.KeysCanArrive() && tries >= kWakeTriesWithoutKeyboard) return false;
    console.Pause1ms();
    awake = WakeDevice(state.link, port);
    ++tries;
  }
  return true;
}

// The port opened and the instrument awake, at its prompt.
StepEnd OpenAndWake(FlashState& state, CSerial& port) {
  if (InterruptPending()) return Ended(Ending::kInterrupted);
  if (StepEnd end = OpenPort(state, port)) return end;
  state.portOpened = true;
  if (!WakeWithRetries(state, port)) {
    PrintNoAnswer(state.link.portLabel);
    return Ended(Ending::kNoWakeAnswer);
  }
  if (InterruptPending()) {
    PrintText("\n");  // the "Waking up device" line
    return Ended(Ending::kInterrupted);
  }
  if (port.Lost()) {
    PrintWakeFailed();
    return IfLost(state, port);
  }
  if (TheConsole().KeyWaiting()) {
    PrintCancelled(false);
    return Ended(Ending::kCancelled);
  }
  PrintAwake();
  if (state.bootOverwrite && !AskBootOverwrite()) {
    if (InterruptPending()) return Ended(Ending::kInterrupted);
    PrintCancelled(true);
    return Ended(Ending::kCancelled);
  }
  return std::nullopt;
}

// Reads every key waiting; true when one of them, or one a wait read, is
// ESC. Until the start command nothing is lost by a cancel, so ESC cancels
// there at once; other keys are dropped.
bool EscapePressed(SerialLink& link) {
  const bool escape = DrainKeyboard() || std::exchange(link.escapeRead, false);
  if (!escape) return false;
  PrintCancelled(true);
  return true;
}

// An interrupt or ESC between two steps before the start command.
StepEnd InterruptOrEscape(SerialLink& link) {
  if (InterruptPending()) return Ended(Ending::kInterrupted);
  if (EscapePressed(link)) return Ended(Ending::kCancelled);
  return std::nullopt;
}

// The set-up command lines (their answers are not looked at), then the line
// settings once more.
StepEnd SetUpInstrument(FlashState& state, CSerial& port) {
  for (const char* command : {"", "@N", ""}) {
    SendCommand(state.link, port, command);
    if (StepEnd end = InterruptOrEscape(state.link)) return end;
  }
  if (StepEnd lost = IfLost(state, port)) return lost;
  if (!port.SetBaudRate(kInstrumentLine.baudRate)) {
    // A lost port says so; refused settings say nothing.
    if (StepEnd lost = IfLost(state, port)) return lost;
    return Ended(Ending::kSettingsRefused);
  }
  PrintBaudRate(state.link.portLabel);
  return std::nullopt;
}

// The transfer's two packet buffers: the one on the wire and the one after it.
struct PacketPair {
  unsigned char current[kBufferSize] = {};
  unsigned char next[kBufferSize] = {};
};

RunOutcome FileChanged(const FlashState& state) {
  return Ended(Ending::kFileChanged, FileChangedText(state.fileName));
}

// The first packet from the file checked, read again from its start, and the
// start command.
StepEnd StartTransfer(FlashState& state, CSerial& port, PacketPair& packets) {
  const bool assembled = RewindReader(state.reader) &&
                         AssemblePacket(state.reader, packets.current) == AssembleStatus::kPacket;
  if (!FileAsChecked(state)) {
    PrintFileChanged(state.fileName, false);
    return FileChanged(state);
  }
  if (!assembled) {
    const std::string notSRecord = NotSRecordFileText(state.fileName);
    PrintError(notSRecord);
    return Ended(Ending::kBadFile, notSRecord);
  }
  if (StepEnd end = InterruptOrEscape(state.link)) return end;
  // From the boot sector's start command on, "-b" lets the first interrupt
  // wait as it ignores ESC, until the boot sector has gone.
  HoldInterrupts(state.bootOverwrite);
  SendStartCommand(state.link, port, state.bootOverwrite);
  StepEnd end = InterruptPending() ? Ended(Ending::kInterrupted) : IfLost(state, port);
  if (!end && std::exchange(state.link.escapeRead, false)) {
    PrintCancelled(true);  // before any packet: the instrument got none of the image
    end = Ended(Ending::kCancelled);
  }
  if (end) {
    end->imageTouched = true;
    return end;
  }
  // The percentage leaves the first packet's lines out.
  state.reader.bytesRead = 0;
  PrintStarted(state.fileName);
  state.transferStarted = true;
  return std::nullopt;
}

// ESC during the transfer; ignored, like an interrupt, while "-b" has the
// boot sector to send.
bool EscapeDuringTransfer(const FlashState& state) {
  const bool inBootSector = state.bootOverwrite && state.reader.bytesRead < kBootSectorBytes;
  HoldInterrupts(inBootSector);
  Console& console = TheConsole();
  if (!console.KeyWaiting()) return false;
  return console.ReadKey() == kKeyEscape && !inBootSector;
}

// The instrument's answer line that was no acknowledgement.
RunOutcome AnswerOutcome(const SerialLink& link) {
  const std::string answer = link.responseLine;
  return Ended(answer == kResponseTimeoutText ? Ending::kTimeOut : Ending::kInstrumentError,
               answer);
}

// A transfer that ended before the instrument accepted the terminator: by an
// interrupt first, then by ESC, a lost port, and last by `cause`.
RunOutcome Unfinished(const FlashState& state, const CSerial& port, bool cancelled,
                      RunOutcome cause) {
  if (InterruptPending()) return {Ending::kInterrupted, "", true};
  if (cancelled) return Ended(Ending::kCancelled);
  if (port.Lost()) return LostPort(state, port);
  return cause;
}

// Bytes that came when no answer was due: an answer read after them would be
// an earlier packet's, and a refusal could pass for an acceptance.
StepEnd OutOfStep(SerialLink& link, CSerial& port) {
  std::string stray;
  if (!ReadUnsolicited(link, port, stray)) return std::nullopt;
  return Ended(Ending::kOutOfStep, UnsolicitedText(stray));
}

// Sends the terminator packet, unless the file is no longer the one checked:
// the instrument has then been sent something else than the checked image.
// An ESC seen with the last data packet still lets the image be finalised,
// but the run ends cancelled.
RunOutcome SendTerminator(FlashState& state, CSerial& port, const unsigned char* terminator,
                          bool cancelled) {
  if (!FileAsChecked(state)) return Unfinished(state, port, cancelled, FileChanged(state));
  if (StepEnd stray = OutOfStep(state.link, port)) return Unfinished(state, port, cancelled, *stray);
  // An interrupt that came while the file was read again holds the end record
  // back, so that the verdict (an incomplete image) is what the instrument got.
  // The boot sector has gone by now: one that "-b" held for it acts here too.
  HoldInterrupts(false);
  if (InterruptPending()) return {Ending::kInterrupted, "", true};
  port.Write(terminator, static_cast<uint32_t>(PacketWireSize(terminator)));
  if (!ReadResponseLine(state.link, port)) {
    return Unfinished(state, port, cancelled, AnswerOutcome(state.link));
  }
  PrintAllSent();
  RunOutcome accepted = Ended(cancelled ? Ending::kCancelled : Ending::kSuccess);
  accepted.imageWhole = true;
  return accepted;
}

// The transfer: each data packet is written, the next one assembled and the
// progress shown before the instrument's answer is read, so at most one
// packet is ever unanswered. Every record is checked again as it is
// assembled; one that fails now can only come from a file that changed since
// the check, which ends the transfer with an error; kBadRecord: a record that
// fails in a file that did not change (a read error). A refused packet ends
// it at once: the instrument's own text must reach the screen, and a refused
// image must not be finalised.
RunOutcome Transfer(FlashState& state, CSerial& port, PacketPair& packets) {
  for (;;) {
    if (StepEnd stray = OutOfStep(state.link, port)) return Unfinished(state, port, false, *stray);
    int size = PacketWireSize(packets.current);
    ++state.packetsSent;
    if (state.padRecords) {
      for (int i = 0; i < kPadBytes; ++i) packets.current[size + i] = kPadByte;
      size += kPadBytes;
    }
    if (state.debugRecords) DumpPacket(packets.current, size);
    port.Write(packets.current, static_cast<uint32_t>(size));
    if (AssemblePacket(state.reader, packets.next) != AssembleStatus::kPacket) {
      if (FileAsChecked(state)) return {Ending::kBadRecord, "Bad S-Record Read", true};
      return Unfinished(state, port, false, FileChanged(state));
    }
    ShowProgress(state.packetsSent, state.reader.bytesRead, state.fileSize);
    const bool cancelled = EscapeDuringTransfer(state);
    const bool answered = ReadResponseLine(state.link, port);
    const int nextSize = PacketWireSize(packets.next);
    for (int i = 0; i < nextSize; ++i) packets.current[i] = packets.next[i];
    if (!answered) return Unfinished(state, port, cancelled, AnswerOutcome(state.link));
    if (InterruptPending()) return {Ending::kInterrupted, "", true};
    if (IsTerminator(packets.current)) {
      return SendTerminator(state, port, packets.current, cancelled);
    }
    if (cancelled) return Ended(Ending::kCancelled);
  }
}

// The verdict of a transfer that ran. Returns the outcome.
RunOutcome ShowVerdict(FlashState& state, RunOutcome outcome) {
  PrintRecordsSent(state.reader.recordsRead);
  switch (outcome.ending) {
    case Ending::kSuccess: PrintSuccess(); break;
    case Ending::kInterrupted: PrintInterrupted(outcome.imageTouched); break;
    case Ending::kCancelled: PrintCancelled(true); break;
    // The instrument's answer, a lost port, a changed file.
    default: PrintErrorAnswer(outcome.text); break;
  }
  if (outcome.ending != Ending::kSuccess) ReportFailure();
  DrainKeyboard();
  state.reader.file.reset();
  PrintDone();
  return outcome;
}

// From the port's opening to the verdict.
RunOutcome Converse(FlashState& state, CSerial& port) {
  if (StepEnd end = OpenAndWake(state, port)) return EarlyEnd(*end);
  if (StepEnd end = SetUpInstrument(state, port)) return EarlyEnd(*end);
  PacketPair packets;
  if (StepEnd end = StartTransfer(state, port, packets)) return EarlyEnd(*end);
  RunOutcome outcome = Transfer(state, port, packets);
  if (outcome.ending != Ending::kBadRecord) return ShowVerdict(state, std::move(outcome));
  PrintBadRecordRead();
  return EarlyEnd(std::move(outcome));
}

RunOutcome RunSteps(FlashState& state, CSerial& port, int argc, char** argv) {
  DrainKeyboard();
  const CommandLine line = ParseCommandLine(state, argc, argv);
  if (line.request == CommandLineRequest::kAnswered) {
    // An answer that could not be written (a full disk) was no answer.
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return Ended(written ? Ending::kAnswered : Ending::kRefused);
  }
  // Refused before a file was named: nothing to record. Else the file was not found.
  if (line.request == CommandLineRequest::kRefused) {
    return Ended(Ending::kRefused,
                 state.fileName.empty() ? "" : "file \"" + state.fileName + "\" not found");
  }
  PrintBanner();
  if (!TakePort(state, argc, argv, line.portIndex)) {
    state.link.portLabel = argv[line.portIndex];  // the port as given, for the record
    return EarlyEnd(Ended(Ending::kNotAPort));
  }
  if (StepEnd end = CheckInputFile(state)) return EarlyEnd(*end);
  PrintPressEscape();
  state.link.portLabel = PortLabel(state);
  // The conversation reaches the screen through presentation, for this run.
  ScreenLinkEvents screen(state.verbose);
  state.link.events = &screen;
  RunOutcome outcome = Converse(state, port);
  state.link.events = nullptr;
  return outcome;
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
      if (state.fileName.empty()) return;
      break;
    default: break;
  }
  InstrumentGot got = InstrumentGot::kNothing;
  if (outcome.imageWhole) {
    got = InstrumentGot::kWholeImage;
  } else if (outcome.imageTouched || state.transferStarted) {
    got = InstrumentGot::kPartOfImage;
  } else if (state.portOpened) {
    got = InstrumentGot::kNoFirmware;
  }
  PrintInstrumentGot(got);
}

}  // namespace

int RunFlash(FlashState& state, CSerial& port, int argc, char** argv) {
  const RunStart start;
  const RunOutcome outcome = RunSteps(state, port, argc, argv);
  ShowWhatInstrumentGot(state, outcome);
  const int status = ExitStatus(outcome);
  RecordRun(state, port, start, outcome, status);
  return status;
}
