#include "run/driver.h"

#include <cstring>

#include "console/console.h"
#include "run/command_line.h"
#include "run/flash_record.h"
#include "run/port_messages.h"
#include "run/presentation.h"
#include "serial/cserial.h"
#include "serial/device_protocol.h"
#include "srecord/srecord_validator.h"

namespace {

// Boot-sector overwrite mode ignores ESC until this much of the file has gone:
// stopping half way through the boot sector would leave nothing to boot from.
constexpr int32_t kBootSectorBytes = 4096;
// Wake-up tries when no key press can ever end them (input closed).
constexpr int kWakeTriesWithoutKeyboard = 20;

// Every end before the transfer. An interrupt, which ends the waits without
// a message, gets its verdict here; `imageTouched`: the start command went.
int Fail(bool imageTouched = false) {
  if (InterruptPending()) {
    PrintInterrupted(imageTouched);
    ReportFailure();
    return InterruptExitStatus();
  }
  ReportFailure();
  return 1;
}

// A port lost before the transfer: the instrument can no longer be reached,
// so the run ends instead of trying again.
bool NotLost(const FlashState& state, const CSerial& port) {
  if (!port.Lost()) return true;
  PrintPortLost(LostPortText(state.link.portLabel, port.LostError()));
  return false;
}

// A bad file never reaches the instrument: the whole file is checked with the
// same packet assembly that the transfer will use, and its fingerprint taken,
// so that the transfer can tell whether it still reads the file it checked.
bool CheckInputFile(FlashState& state) {
  if (state.inputKind == FileKind::kRegular && !state.reader.file) {
    PrintUnreadableFile(state.fileName, state.inputError);
    return false;
  }
  if (state.inputKind != FileKind::kRegular || state.fileSize < 0) {
    PrintUnusableFile(state.fileName, state.inputKind);
    return false;
  }
  std::FILE* const file = state.reader.file.get();
  FileIdentity before;
  const bool known = IdentityOfOpenFile(file, before);
  state.reader.padded = state.padRecords;
  const ValidationResult result = ValidateFile(state.reader);
  if (!result.ok) {
    PrintText(ValidationMessage(state.fileName, result));
    return false;
  }
  if (!known || !TakeFingerprint(file, state.checked) || state.checked.identity != before) {
    PrintFileChanged(state.fileName, true);
    state.failure = FileChangedText(state.fileName, true);
    return false;
  }
  return true;
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

bool OpenPort(const FlashState& state, CSerial& port) {
  const std::string device = PortDeviceName(state);
  if (IsOwnTerminal(device)) {
    PrintPortNotOpened(OwnTerminalProblem(state.link.portLabel, device));
    return false;
  }
  if (port.OpenDevice(device, kInstrumentLine)) return true;
  PrintPortNotOpened(PortOpenProblem(state.link.portLabel, port.PortName(), port.LastError()));
  return false;
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
    if (!console.KeysCanArrive() && tries >= kWakeTriesWithoutKeyboard) return false;
    console.Pause1ms();
    awake = WakeDevice(state.link, port);
    ++tries;
  }
  return true;
}

// The port opened and the instrument awake, at its prompt.
bool OpenAndWake(FlashState& state, CSerial& port) {
  if (InterruptPending()) return false;
  if (!OpenPort(state, port)) return false;
  state.step = RunStep::kWake;
  if (!WakeWithRetries(state, port)) {
    PrintNoAnswer(state.link.portLabel);
    return false;
  }
  if (InterruptPending()) {
    PrintText("\n");  // the "Waking up device" line
    return false;
  }
  if (port.Lost()) {
    PrintWakeFailed();
    return NotLost(state, port);
  }
  if (TheConsole().KeyWaiting()) {
    PrintCancelled(false);
    state.cancelled = true;
    return false;
  }
  PrintAwake();
  state.step = RunStep::kSetUp;
  if (state.bootOverwrite && !AskBootOverwrite()) {
    if (InterruptPending()) return false;
    PrintCancelled(true);
    state.cancelled = true;
    return false;
  }
  return true;
}

// Reads every key waiting; true when one of them is ESC. Until the start
// command nothing is lost by a cancel, so ESC cancels there at once; other
// keys are dropped, lest they end the waits that follow.
bool EscapePressed(FlashState& state) {
  state.cancelled = DrainKeyboard();
  if (state.cancelled) PrintCancelled(true);
  return state.cancelled;
}

// The set-up command lines (their answers are not looked at), then the line
// settings once more.
bool SetUpInstrument(FlashState& state, CSerial& port) {
  for (const char* command : {"", "@N", ""}) {
    SendCommand(state.link, port, command);
    if (InterruptPending() || EscapePressed(state)) return false;
  }
  if (!NotLost(state, port)) return false;
  if (!port.SetBaudRate(kInstrumentLine.baudRate)) {
    NotLost(state, port);  // a lost port says so; refused settings say nothing
    return false;
  }
  PrintBaudRate(state.link.portLabel);
  state.step = RunStep::kStart;
  return true;
}

// The first packet from the file checked, read again from its start, and the
// start command; `startSent` tells whether it went.
bool StartTransfer(FlashState& state, CSerial& port, bool& startSent) {
  const bool assembled = RewindReader(state.reader) &&
                         AssemblePacket(state.reader, state.currentPacket) == AssembleStatus::kPacket;
  if (!FileAsChecked(state)) {
    PrintFileChanged(state.fileName, false);
    state.failure = FileChangedText(state.fileName);
    return false;
  }
  if (!assembled) {
    PrintNotSRecordFile(state.fileName);
    return false;
  }
  if (InterruptPending() || EscapePressed(state)) return false;
  // From the boot sector's start command on, "-b" lets the first interrupt
  // wait as it ignores ESC, until the boot sector has gone.
  HoldInterrupts(state.bootOverwrite);
  SendStartCommand(state.link, port, state.bootOverwrite);
  startSent = true;
  if (InterruptPending()) return false;
  if (!NotLost(state, port)) return false;
  // The percentage leaves the first packet's lines out.
  state.reader.bytesRead = 0;
  PrintStarted(state.fileName);
  state.step = RunStep::kTransfer;
  return true;
}

void PollKeyboard(FlashState& state) {
  const bool inBootSector = state.bootOverwrite && state.reader.bytesRead < kBootSectorBytes;
  HoldInterrupts(inBootSector);
  Console& console = TheConsole();
  if (!console.KeyWaiting()) return;
  if (console.ReadKey() == kKeyEscape) state.cancelled = true;
  if (inBootSector) state.cancelled = false;
}

// The error text of a transfer that found the file changed since the check.
void NoteFileChanged(FlashState& state) { state.failure = FileChangedText(state.fileName); }

enum class TransferEnd { kLoopDone, kBadRecord };

// The transfer loop: each data packet is written, the next one assembled and
// the progress shown before the instrument's answer is read, so at most one
// packet is ever unanswered. Every record is checked again as it is
// assembled; one that fails now can only come from a file that changed since
// the check, which ends the transfer with an error. kBadRecord: a record that
// fails in a file that did not change (a read error).
TransferEnd TransferDataPackets(FlashState& state, CSerial& port, bool& transferError) {
  state.packetsSent = 0;
  transferError = false;
  for (;;) {
    int size = PacketWireSize(state.currentPacket);
    ++state.packetsSent;
    if (state.padRecords) {
      for (int i = 0; i < kPadBytes; ++i) state.currentPacket[size + i] = kPadByte;
      size += kPadBytes;
    }
    if (state.debugRecords) DumpPacket(state.currentPacket, size);
    port.Write(state.currentPacket, static_cast<uint32_t>(size));
    if (AssemblePacket(state.reader, state.nextPacket) != AssembleStatus::kPacket) {
      if (FileAsChecked(state)) return TransferEnd::kBadRecord;
      NoteFileChanged(state);
      transferError = true;
      return TransferEnd::kLoopDone;
    }
    ShowProgress(state.packetsSent, state.reader.bytesRead, state.fileSize);
    PollKeyboard(state);
    if (!ReadResponseLine(state.link, port)) transferError = true;
    const int nextSize = PacketWireSize(state.nextPacket);
    for (int i = 0; i < nextSize; ++i) state.currentPacket[i] = state.nextPacket[i];
    if (IsTerminator(state.currentPacket) || state.cancelled || transferError ||
        InterruptPending()) {
      return TransferEnd::kLoopDone;
    }
  }
}

// Sends the terminator packet unless the instrument already refused a packet
// (its own error text must reach the screen, and a refused image must not be
// finalised), the run was interrupted, or the file is no longer the one
// checked: the instrument has then been sent something else than the checked
// image. True when the instrument accepted it.
bool SendTerminator(FlashState& state, CSerial& port, bool& transferError) {
  if (!IsTerminator(state.currentPacket) || transferError || InterruptPending()) return false;
  if (!FileAsChecked(state)) {
    NoteFileChanged(state);
    transferError = true;
    return false;
  }
  port.Write(state.currentPacket, static_cast<uint32_t>(PacketWireSize(state.currentPacket)));
  if (ReadResponseLine(state.link, port)) {
    PrintAllSent();
    return true;
  }
  transferError = true;
  return false;
}

// The transfer, the terminator and the verdict. Returns the exit status.
int TransferAndVerdict(FlashState& state, CSerial& port, bool& transferError) {
  if (TransferDataPackets(state, port, transferError) == TransferEnd::kBadRecord) {
    PrintBadRecordRead();
    return Fail();
  }
  // An interrupt that comes once the image is complete changes nothing.
  const bool interrupted = !SendTerminator(state, port, transferError) && InterruptPending();
  state.step = RunStep::kVerdict;
  PrintRecordsSent(state.reader.recordsRead);
  const bool success = !state.cancelled && !transferError && !interrupted;
  if (interrupted) {
    PrintInterrupted(true);
  } else if (state.cancelled) {
    PrintCancelled(true);
  } else if (port.Lost()) {
    PrintErrorAnswer(LostPortText(state.link.portLabel, port.LostError()));
  } else if (!state.failure.empty()) {
    PrintErrorAnswer(state.failure);
  } else if (transferError) {
    PrintErrorAnswer(state.link.responseLine);
  } else {
    PrintSuccess();
  }
  if (!success) ReportFailure();
  DrainKeyboard();
  state.reader.file.reset();
  PrintDone();
  if (interrupted) return InterruptExitStatus();
  return success ? 0 : 1;
}

// The verdict of a run for its record, from where the run ended and the
// flags it left; the same order of precedence as the verdict on the screen.
RunOutcome OutcomeOf(const FlashState& state, const CSerial& port, bool transferError,
                     int status) {
  if (InterruptPending() && status == InterruptExitStatus()) return {Verdict::kInterrupted, ""};
  if (state.cancelled) return {Verdict::kCancelled, ""};
  if (port.Lost()) return {Verdict::kLostPort, LostPortText(state.link.portLabel, port.LostError())};
  if (!state.failure.empty()) return {Verdict::kFileChanged, state.failure};
  switch (state.step) {
    case RunStep::kPortArgument: return {Verdict::kPortNotOpened, "not a port"};
    case RunStep::kOpenPort: {
      const std::string device = PortDeviceName(state);
      return {Verdict::kPortNotOpened,
              IsOwnTerminal(device)
                  ? OwnTerminalProblem(state.link.portLabel, device)
                  : PortOpenProblem(state.link.portLabel, port.PortName(), port.LastError())};
    }
    case RunStep::kWake: return {Verdict::kTimeOut, "no answer to the wake-up"};
    case RunStep::kSetUp:
      return {Verdict::kPortNotOpened, std::string("the port refused ") + kLineSettingsText};
    case RunStep::kVerdict:
      if (!transferError) return {Verdict::kSuccessful, ""};
      if (std::strcmp(state.link.responseLine, kResponseTimeoutText) == 0) {
        return {Verdict::kTimeOut, state.link.responseLine};
      }
      // As the screen showed it: a log reader's terminal is no safer than the technician's.
      return {Verdict::kInstrumentError, ScreenText(state.link.responseLine)};
    default: return {Verdict::kBadFile, ""};  // refused by the check, or a bad record read
  }
}

int RunSteps(FlashState& state, CSerial& port, int argc, char** argv, bool& transferError) {
  InitFlashState(state);
  DrainKeyboard();
  const CommandLine line = ParseCommandLine(state, argc, argv);
  if (line.request == CommandLineRequest::kAnswered) return 0;
  if (line.request == CommandLineRequest::kRefused) return 1;
  PrintBanner();
  state.step = RunStep::kPortArgument;
  if (!TakePort(state, argc, argv, line.portIndex)) {
    state.link.portLabel = argv[line.portIndex];  // the port as given, for the record
    return Fail();
  }
  state.step = RunStep::kCheck;
  if (!CheckInputFile(state)) return Fail();
  PrintPressEscape();
  state.link.portLabel = PortLabel(state);
  state.step = RunStep::kOpenPort;
  if (!OpenAndWake(state, port)) return Fail();
  if (!SetUpInstrument(state, port)) return Fail();
  bool startSent = false;
  if (!StartTransfer(state, port, startSent)) return Fail(startSent);
  return TransferAndVerdict(state, port, transferError);
}

}  // namespace

int RunFlash(FlashState& state, CSerial& port, int argc, char** argv) {
  const RunStart start;
  bool transferError = false;
  const int status = RunSteps(state, port, argc, argv, transferError);
  if (!state.logPath.empty()) {
    RecordRun(state, port, start, OutcomeOf(state, port, transferError, status), status);
  }
  return status;
}
