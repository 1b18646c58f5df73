#include "run/driver.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "console/console.h"
#include "conversation/conversation.h"
#include "run/command_line.h"
#include "run/ending.h"
#include "run/flash_record.h"
#include "run/port_messages.h"
#include "run/presentation.h"
#include "run/run_outcome.h"
#include "serial/cserial.h"
#include "serial/port_name.h"
#include "srecord/srecord_validator.h"

namespace {

// Boot-sector overwrite mode ignores ESC until this much of the file has gone:
// stopping half way through the boot sector would leave nothing to boot from.
constexpr int32_t kBootSectorBytes = 4096;
// Failed wake-up tries (about 5 s each) before the hint on what to check.
constexpr int kWakeTriesBeforeHint = 3;

// What a step gives: nothing when it went through, otherwise how the run
// ended there. Steps print no ending: ShowEnding does.
using StepEnd = std::optional<RunOutcome>;

static_assert(kCancelKey == kKeyEscape, "the conversation's cancel key is the console's ESC");

RunOutcome Ended(Ending ending) {
  RunOutcome outcome;
  outcome.ending = ending;
  return outcome;
}

RunOutcome BadFile(FileFault fault) {
  RunOutcome outcome = Ended(fault == FileFault::kChangedWhileChecked ||
                                     fault == FileFault::kChangedSince
                                 ? Ending::kFileChanged
                                 : Ending::kBadFile);
  outcome.fileFault = fault;
  return outcome;
}

// Every end before the verdict of the transfer. An interrupt, which ends the
// waits without a message, is the run's ending here, whatever ended the step.
RunOutcome EarlyEnd(RunOutcome outcome) {
  if (InterruptPending() && outcome.ending != Ending::kInterrupted) {
    outcome.overridden = outcome.ending;
    outcome.ending = Ending::kInterrupted;
  }
  return outcome;
}

// The outcome of a port that has gone.
RunOutcome LostPort(const CSerial& port) {
  RunOutcome lost = Ended(Ending::kLostPort);
  lost.portError = port.LostError();
  return lost;
}

// A port lost before the transfer: the instrument can no longer be reached,
// so the run ends instead of trying again.
StepEnd IfLost(const CSerial& port) {
  if (!port.Lost()) return std::nullopt;
  return LostPort(port);
}

}  // namespace

// A bad file never reaches the instrument: the whole file is checked with the
// same packet assembly that the transfer will use, and its fingerprint taken,
// so that the transfer can tell whether it still reads the file it checked.
std::optional<RunOutcome> CheckFirmware(Firmware& firmware) {
  if (firmware.kind == FileKind::kRegular && !firmware.reader.file) {
    RunOutcome unreadable = BadFile(FileFault::kUnreadable);
    unreadable.fileError = firmware.openError;
    return unreadable;
  }
  if (firmware.kind != FileKind::kRegular || firmware.size < 0) {
    RunOutcome unusable = BadFile(FileFault::kUnusable);
    unusable.fileKind = firmware.kind;
    return unusable;
  }
  std::FILE* const file = firmware.reader.file.get();
  FileIdentity before;
  const bool known = IdentityOfOpenFile(file, before);
  const ValidationResult result = ValidateFile(firmware.reader);
  if (!result.ok) {
    RunOutcome refused = BadFile(FileFault::kRefusedByCheck);
    refused.validation = result;
    return refused;
  }
  if (!known || !TakeFingerprint(file, firmware.checked) || firmware.checked.identity != before) {
    return BadFile(FileFault::kChangedWhileChecked);
  }
  return std::nullopt;
}

namespace {

StepEnd OpenPort(const FlashState& state, CSerial& port) {
  const std::string device = PortDevice(state.options);
  RunOutcome refused = Ended(Ending::kPortNotOpened);
  refused.device = device;
  refused.ownTerminal = IsOwnTerminal(device);
  if (refused.ownTerminal) return refused;
  if (port.Open(device, kInstrumentLine)) return std::nullopt;
  refused.device = port.PortName();
  refused.portError = port.LastError();
  return refused;
}

// Wakes the instrument, one "Waking up device" line per try, until it answers,
// a key is pressed or the port is lost. Returns false when the tries have
// all failed and the run gives up.
bool WakeWithRetries(FlashState& state, Conversation& talk, const CSerial& port) {
  RunKeys& keys = *state.keys;
  int tries = 1;
  bool awake = talk.WakeDevice();
  while (!awake && !port.Lost() && !keys.KeyWaiting() && !InterruptPending()) {
    state.view->WakeFailed();
    if (tries == kWakeTriesBeforeHint) state.view->WakeHint(keys.KeysCanArrive());
    const int most = keys.MostWakeTries();
    if (most > 0 && tries >= most) return false;
    keys.Pause1ms();
    awake = talk.WakeDevice();
    ++tries;
  }
  return true;
}

// The port opened and the instrument awake, at its prompt.
StepEnd OpenAndWake(FlashState& state, CSerial& port, Conversation& talk) {
  if (InterruptPending()) return Ended(Ending::kInterrupted);
  if (StepEnd end = OpenPort(state, port)) return end;
  state.progress.portOpened = true;
  if (!WakeWithRetries(state, talk, port)) return Ended(Ending::kNoWakeAnswer);
  // The last try's "Waking up device" line is still open.
  RunOutcome ended = Ended(Ending::kCancelled);
  if (InterruptPending()) {
    ended.ending = Ending::kInterrupted;
  } else if (port.Lost()) {
    ended = LostPort(port);
  } else if (!state.keys->KeyWaiting()) {
    ended.ending = Ending::kSuccess;
  }
  if (ended.ending != Ending::kSuccess) {
    ended.wakeLineOpen = true;
    return ended;
  }
  state.view->Awake();
  if (state.options.bootOverwrite && !state.keys->ConfirmBootOverwrite()) {
    return Ended(InterruptPending() ? Ending::kInterrupted : Ending::kCancelled);
  }
  return std::nullopt;
}

// Reads every key waiting; true when one of them, or one a wait read, is
// ESC. Until the start command nothing is lost by a cancel, so ESC cancels
// there at once; other keys are dropped.
bool EscapePressed(FlashState& state) {
  return DrainKeys(*state.keys) || std::exchange(state.link.escapeRead, false);
}

// An interrupt or ESC between two steps before the start command.
StepEnd InterruptOrEscape(FlashState& state) {
  if (InterruptPending()) return Ended(Ending::kInterrupted);
  if (EscapePressed(state)) return Ended(Ending::kCancelled);
  return std::nullopt;
}

// The set-up command lines (their answers are not looked at), then the line
// settings once more.
StepEnd SetUpInstrument(FlashState& state, CSerial& port, Conversation& talk) {
  for (const char* command : {"", "@N", ""}) {
    talk.SendCommand(command);
    if (StepEnd end = InterruptOrEscape(state)) return end;
  }
  if (StepEnd lost = IfLost(port)) return lost;
  if (!port.SetBaudRate(kInstrumentLine.baudRate)) {
    // A lost port says so; refused settings say nothing.
    if (StepEnd lost = IfLost(port)) return lost;
    return Ended(Ending::kSettingsRefused);
  }
  state.view->LineSet(state.link.portLabel);
  return std::nullopt;
}

// The transfer's two packet buffers: the one on the wire and the one after it.
struct PacketPair {
  unsigned char current[kBufferSize] = {};
  unsigned char next[kBufferSize] = {};
};

// The first packet from the file checked, read again from its start, and the
// start command.
StepEnd StartTransfer(FlashState& state, CSerial& port, Conversation& talk,
                      PacketPair& packets) {
  const bool assembled = RewindFirmware(state.firmware) &&
                         AssemblePacket(state.firmware.reader, packets.current) ==
                             AssembleStatus::kPacket;
  if (!FirmwareAsChecked(state.firmware)) return BadFile(FileFault::kChangedSince);
  if (!assembled) return BadFile(FileFault::kNotSRecord);
  if (StepEnd end = InterruptOrEscape(state)) return end;
  // From the boot sector's start command on, "-b" lets the first interrupt
  // wait as it ignores ESC, until the boot sector has gone.
  HoldInterrupts(state.options.bootOverwrite);
  talk.SendStartCommand(state.options.bootOverwrite);
  StepEnd end = InterruptPending() ? Ended(Ending::kInterrupted) : IfLost(port);
  if (!end && std::exchange(state.link.escapeRead, false)) {
    end = Ended(Ending::kCancelled);  // before any packet: the instrument got none of the image
  }
  if (end) {
    end->imageTouched = true;
    return end;
  }
  // The percentage leaves the first packet's lines out.
  CountProgressFromHere(state.firmware);
  state.view->Started(state.options.fileName);
  state.progress.transferStarted = true;
  return std::nullopt;
}

// ESC during the transfer; ignored, like an interrupt, while "-b" has the
// boot sector to send.
bool EscapeDuringTransfer(const FlashState& state) {
  const bool inBootSector =
      state.options.bootOverwrite && state.firmware.reader.bytesRead < kBootSectorBytes;
  HoldInterrupts(inBootSector);
  RunKeys& keys = *state.keys;
  if (!keys.KeyWaiting()) return false;
  return keys.ReadKey() == kKeyEscape && !inBootSector;
}

// The instrument's answer that was no acknowledgement: its error text, or none.
RunOutcome AnswerOutcome(const PacketAnswer& answer) {
  if (answer.kind == PacketAnswer::Kind::kNone) return Ended(Ending::kTimeOut);
  RunOutcome refused = Ended(Ending::kInstrumentError);
  refused.answer = answer.text;
  return refused;
}

RunOutcome Interrupted() {
  RunOutcome interrupted = Ended(Ending::kInterrupted);
  interrupted.imageTouched = true;
  return interrupted;
}

// A transfer that ended before the instrument accepted the terminator: by an
// interrupt first, then by ESC, a lost port, and last by `cause`.
RunOutcome Unfinished(const CSerial& port, bool cancelled, RunOutcome cause) {
  if (InterruptPending()) return Interrupted();
  if (cancelled) return Ended(Ending::kCancelled);
  if (port.Lost()) return LostPort(port);
  return cause;
}

// Bytes that came when no answer was due: an answer read after them would be
// an earlier packet's, and a refusal could pass for an acceptance.
StepEnd OutOfStep(Conversation& talk) {
  std::string stray;
  if (!talk.ReadUnsolicited(stray)) return std::nullopt;
  RunOutcome outOfStep = Ended(Ending::kOutOfStep);
  outOfStep.answer = stray;
  return outOfStep;
}

// Sends the terminator packet, unless the file is no longer the one checked:
// the instrument has then been sent something else than the checked image.
// An ESC seen with the last data packet still lets the image be finalised,
// but the run ends cancelled.
RunOutcome SendTerminator(FlashState& state, CSerial& port, Conversation& talk,
                          const unsigned char* terminator, bool cancelled) {
  if (!FirmwareAsChecked(state.firmware)) {
    return Unfinished(port, cancelled, BadFile(FileFault::kChangedSince));
  }
  if (StepEnd stray = OutOfStep(talk)) return Unfinished(port, cancelled, *stray);
  // An interrupt that came while the file was read again holds the end record
  // back, so that the verdict (an incomplete image) is what the instrument got.
  // The boot sector has gone by now: one that "-b" held for it acts here too.
  HoldInterrupts(false);
  if (InterruptPending()) return Interrupted();
  if (port.Write(terminator, static_cast<uint32_t>(PacketWireSize(terminator))) == 0) {
    return Unfinished(port, cancelled, LostPort(port));
  }
  const PacketAnswer answer = talk.ReadResponseLine();
  if (answer.kind != PacketAnswer::Kind::kAccepted) {
    return Unfinished(port, cancelled, AnswerOutcome(answer));
  }
  state.view->AllSent(state.firmware.reader.recordsRead);
  RunOutcome accepted = Ended(cancelled ? Ending::kCancelled : Ending::kSuccess);
  accepted.imageWhole = true;
  return accepted;
}

// Writes a data packet, with the pad bytes after it for "-p", dumped first
// for "-d"; false when the port refused it.
bool WriteDataPacket(const FlashState& state, CSerial& port, unsigned char* packet) {
  int size = PacketWireSize(packet);
  if (state.options.padRecords) {
    for (int i = 0; i < kPadBytes; ++i) packet[size + i] = kPadByte;
    size += kPadBytes;
  }
  if (state.options.debugRecords) state.view->Packet(packet, size);
  return port.Write(packet, static_cast<uint32_t>(size)) != 0;
}

// The transfer: each data packet is written, the next one assembled and the
// progress shown before the instrument's answer is read, so at most one
// packet is ever unanswered. Every record is checked again as it is
// assembled; one that fails now can only come from a file that changed since
// the check, which ends the transfer with an error; kBadRecord: a record that
// fails in a file that did not change (a read error). A refused packet ends
// it at once: the instrument's own text must reach the screen, and a refused
// image must not be finalised.
RunOutcome Transfer(FlashState& state, CSerial& port, Conversation& talk, PacketPair& packets) {
  for (;;) {
    if (StepEnd stray = OutOfStep(talk)) return Unfinished(port, false, *stray);
    ++state.progress.packetsSent;
    // A packet the port refused ends the transfer with the port's reason.
    if (!WriteDataPacket(state, port, packets.current)) {
      return Unfinished(port, false, LostPort(port));
    }
    if (AssemblePacket(state.firmware.reader, packets.next) != AssembleStatus::kPacket) {
      if (FirmwareAsChecked(state.firmware)) {
        RunOutcome badRecord = Ended(Ending::kBadRecord);
        badRecord.imageTouched = true;
        return EarlyEnd(badRecord);
      }
      return Unfinished(port, false, BadFile(FileFault::kChangedSince));
    }
    const SRecordReader& reader = state.firmware.reader;
    state.view->Progress(state.progress.packetsSent, reader.recordsRead, reader.bytesRead,
                         state.firmware.size);
    const bool cancelled = EscapeDuringTransfer(state);
    const PacketAnswer answer = talk.ReadResponseLine();
    std::memcpy(packets.current, packets.next, sizeof packets.current);
    if (answer.kind != PacketAnswer::Kind::kAccepted) {
      return Unfinished(port, cancelled, AnswerOutcome(answer));
    }
    if (InterruptPending()) return Interrupted();
    if (IsTerminator(packets.current)) {
      return SendTerminator(state, port, talk, packets.current, cancelled);
    }
    if (cancelled) return Ended(Ending::kCancelled);
  }
}

// From the port's opening to the end of the transfer.
RunOutcome Converse(FlashState& state, CSerial& port) {
  Conversation talk(state.link, port, *state.keys);
  if (StepEnd end = OpenAndWake(state, port, talk)) return EarlyEnd(*end);
  if (StepEnd end = SetUpInstrument(state, port, talk)) return EarlyEnd(*end);
  PacketPair packets;
  if (StepEnd end = StartTransfer(state, port, talk, packets)) return EarlyEnd(*end);
  return Transfer(state, port, talk, packets);
}

// The command line: the options taken, the firmware file opened and the port
// named; the request that stands alone answered.
StepEnd TakeCommandLine(FlashState& state, int argc, char** argv) {
  const CommandLine line = ParseCommandLine(argc, argv);
  if (line.request == CommandLineRequest::kAnswered) {
    line.answer();
    // An answer that could not be written (a full disk) was no answer.
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    RunOutcome answered = Ended(written ? Ending::kAnswered : Ending::kRefused);
    answered.answerNotWritten = !written;
    return answered;
  }
  // Refused before a file was named: nothing to record.
  if (line.request == CommandLineRequest::kRefused) {
    RunOutcome refused = Ended(Ending::kRefused);
    refused.refusal = line.refusal;
    return refused;
  }
  state.options = line.options;
  if (!state.options.logGiven) state.options.logPath = LogPathFromEnvironment();
  if (!OpenFirmware(state.firmware, state.options.fileName, state.options.padRecords)) {
    RunOutcome refused = Ended(Ending::kRefused);
    refused.fileFault = FileFault::kNotFound;
    return refused;
  }
  PrintBanner();
  if (!TakePort(state.options, argc, argv, line.portIndex)) {
    state.link.portLabel = argv[line.portIndex];  // the port as given
    return EarlyEnd(Ended(Ending::kNotAPort));
  }
  return std::nullopt;
}

RunOutcome RunSteps(FlashState& state, CSerial& port, int argc, char** argv) {
  DrainKeyboard();
  if (StepEnd end = TakeCommandLine(state, argc, argv)) return *end;
  if (StepEnd end = CheckFirmware(state.firmware)) return EarlyEnd(*end);
  PrintPressEscape();
  state.link.portLabel = PortLabel(state.options);
  // The run on the whole screen, its keys the console's.
  ScreenView screen(state.options.verbose);
  ConsoleKeys keys;
  state.view = &screen;
  state.keys = &keys;
  state.link.events = &screen;
  RunOutcome outcome = FlashPort(state, port);
  state.view = nullptr;
  state.keys = nullptr;
  state.link.events = nullptr;
  return outcome;
}

}  // namespace

RunOutcome FlashPort(FlashState& state, CSerial& port) {
  RunOutcome outcome = Converse(state, port);
  // A run that ended inside the boot sector holds the first interrupt no more.
  HoldInterrupts(false);
  state.firmware.reader.file.reset();
  return outcome;
}

int RunFlash(FlashState& state, CSerial& port, int argc, char** argv) {
  const RunStart start;
  const RunOutcome outcome = RunSteps(state, port, argc, argv);
  const std::string reason = EndingReason(state, outcome);
  ShowEnding(state, outcome, reason);
  const int status = ExitStatus(outcome);
  RecordRun(state, port, start, outcome, reason, status);
  return status;
}
