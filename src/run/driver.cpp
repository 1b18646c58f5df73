#include "run/driver.h"

#include <cstdio>
#include <string>

#include "run/command_line.h"
#include "run/console.h"
#include "run/presentation.h"
#include "serial/cserial.h"
#include "serial/device_protocol.h"
#include "srecord/srecord_reader.h"
#include "srecord/srecord_validator.h"

namespace {

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kNoParity = 0;
constexpr uint32_t kEightDataBits = 8;
constexpr uint32_t kOneStopBit = 0;
constexpr int kPadBytes = 3;
constexpr unsigned char kPadByte = 0xFF;
// Boot-sector overwrite mode ignores ESC until this much of the file has gone:
// stopping half way through the boot sector would leave nothing to boot from.
constexpr int32_t kBootSectorBytes = 4096;
// Wake-up tries when no key press can ever end them (input closed).
constexpr int kWakeTriesWithoutKeyboard = 20;

enum class Verdict { kSuccess, kCancelled, kError };

int Fail() {
  ReportFailure();
  return 1;
}

// A bad file never reaches the instrument: the whole file is checked with the
// same packet assembly that the transfer will use, and its fingerprint taken,
// so that the transfer can tell whether it still reads the file it checked.
bool CheckInputFile(const FlashState& state, FileFingerprint& checked) {
  const char* const name = state.fileName.c_str();
  if (state.inputKind == FileKind::kDirectory) {
    std::printf("*** - Error, \"%s\" is a directory", name);
    return false;
  }
  if (state.inputKind != FileKind::kRegular) {
    std::printf("*** - Error, \"%s\" is not a regular file", name);
    return false;
  }
  if (state.fileSize < 0) {
    std::printf("*** - Error, \"%s\" is too large (2 GiB or more)", name);
    return false;
  }
  std::FILE* const file = state.inputHandle.get();
  FileIdentity before;
  const bool known = IdentityOfOpenFile(file, before);
  const ValidationResult result = ValidateFile(file, state.padRecords);
  if (!result.ok) {
    std::printf("%s", ValidationMessage(state.fileName, result).c_str());
    return false;
  }
  if (!known || !TakeFingerprint(file, checked) || checked.identity != before) {
    std::printf("*** - Error, \"%s\" changed while it was checked", name);
    return false;
  }
  return true;
}

// The error text of a transfer that found the file changed since the check.
void NoteFileChanged(FlashState& state) {
  std::snprintf(state.responseLine, sizeof state.responseLine, "\"%s\" changed since it was checked",
                state.fileName.c_str());
}

bool OpenPort(const FlashState& state, CSerial& port) {
  if (!state.portPath.empty()) {
    return port.OpenDevice(state.portPath, kBaudRate, kNoParity, kEightDataBits, kOneStopBit);
  }
  // The 16-bit port number reaches the port object sign-extended.
  const uint32_t number = static_cast<uint32_t>(static_cast<int32_t>(state.portNumber));
  return port.Open(number, kBaudRate, kNoParity, kEightDataBits, kOneStopBit);
}

// Wakes the instrument, one "Waking up device" line per try, until it answers
// or a key is pressed. Returns false when no key can end the tries and they
// have all failed.
bool WakeWithRetries(FlashState& state, CSerial& port) {
  Console& console = TheConsole();
  int tries = 1;
  bool awake = WakeDevice(state, port);
  while (!awake && !console.KeyWaiting()) {
    std::printf("FAILED\n");
    if (!console.KeysCanArrive() && tries >= kWakeTriesWithoutKeyboard) return false;
    console.Pause1ms();
    awake = WakeDevice(state, port);
    ++tries;
  }
  return true;
}

bool ConfirmBootOverwrite() {
  std::printf("Are you sure you want to allow boot sector overwrite (Y/N)? ");
  const int key = TheConsole().ReadKey();
  std::printf("\n");
  return key == 'Y' || key == 'y';
}

void DumpPacket(const unsigned char* packet, int size) {
  std::printf("SRec %d: ", size);
  for (int i = 0; i < size; ++i) std::printf("%02x,", packet[i]);
  std::printf("\n");
}

void PollKeyboard(FlashState& state) {
  Console& console = TheConsole();
  if (!console.KeyWaiting()) return;
  if (console.ReadKey() == kKeyEscape) state.cancelled = true;
  if (state.bootOverwrite && state.bytesRead < kBootSectorBytes) state.cancelled = false;
}

// The transfer loop: each data packet is written, the next one assembled and
// the progress shown before the instrument's answer is read, so at most one
// packet is ever unanswered. Every record is checked again as it is
// assembled; one that fails now can only come from a file that changed since
// the check, which ends the transfer with an error. Returns false on a bad
// record read from an unchanged file.
bool TransferDataPackets(FlashState& state, CSerial& port, const FileFingerprint& checked,
                         bool& transferError) {
  RecordChecker checker;
  state.packetsSent = 0;
  transferError = false;
  for (;;) {
    int size = PacketWireSize(state.currentPacket);
    ++state.packetsSent;
    if (state.padRecords) {
      if (size + kPadBytes > kBufferSize) return false;
      for (int i = 0; i < kPadBytes; ++i) state.currentPacket[size + i] = kPadByte;
      size += kPadBytes;
    }
    if (state.debugRecords) DumpPacket(state.currentPacket, size);
    port.Write(state.currentPacket, static_cast<uint32_t>(size));
    if (AssembleNextPacket(state, state.nextPacket, &checker) != AssembleStatus::kPacket) {
      if (FileUnchanged(state.fileName, state.inputFile, checked)) return false;
      NoteFileChanged(state);
      transferError = true;
      return true;
    }
    ShowProgress(state.packetsSent, state.bytesRead, state.fileSize);
    PollKeyboard(state);
    if (!ReadResponseLine(state, port)) transferError = true;
    const int nextSize = PacketWireSize(state.nextPacket);
    for (int i = 0; i < nextSize; ++i) state.currentPacket[i] = state.nextPacket[i];
    if (IsTerminator(state.currentPacket) || state.cancelled || transferError) return true;
  }
}

// Sends the terminator packet unless the instrument already refused a packet
// (its own error text must reach the screen, and a refused image must not be
// finalised) or the file is no longer the one checked: the instrument has
// then been sent something else than the checked image.
void SendTerminator(FlashState& state, CSerial& port, const FileFingerprint& checked,
                    bool& transferError) {
  if (!IsTerminator(state.currentPacket) || transferError) return;
  if (!FileUnchanged(state.fileName, state.inputFile, checked)) {
    NoteFileChanged(state);
    transferError = true;
    return;
  }
  port.Write(state.currentPacket, static_cast<uint32_t>(PacketWireSize(state.currentPacket)));
  if (ReadResponseLine(state, port)) {
    std::printf(" 100%%");
  } else {
    transferError = true;
  }
}

Verdict PrintVerdict(const FlashState& state, bool transferError) {
  if (state.cancelled) {
    std::printf("Flash programming ... CANCELLED BY USER.\n");
    ReportFailure();
    return Verdict::kCancelled;
  }
  if (transferError) {
    std::printf("Flash programming error message:  %s\n", state.responseLine);
    ReportFailure();
    return Verdict::kError;
  }
  std::printf("Flash programming ... SUCCESSFUL\n");
  return Verdict::kSuccess;
}

// Everything from the port open to "DONE". Returns the exit status.
int FlashOverPort(FlashState& state, CSerial& port, const FileFingerprint& checked) {
  if (!OpenPort(state, port)) {
    std::printf("*** - Error, cannot open port.\n");
    return Fail();
  }
  if (!WakeWithRetries(state, port)) {
    std::printf("*** - Error, no answer from the instrument at %s.\n", PortLabel(state).c_str());
    return Fail();
  }
  if (TheConsole().KeyWaiting()) {
    std::printf("Flash programming ... CANCELLED BY USER");
    return Fail();
  }
  std::printf("AWAKE\n");
  if (state.bootOverwrite && !ConfirmBootOverwrite()) {
    std::printf("Flash programming ... CANCELLED BY USER.\n");
    return Fail();
  }
  SendCommand(state, port, "");
  SendCommand(state, port, "@N");
  SendCommand(state, port, "");
  if (!port.SetBaudRate(kBaudRate)) return Fail();
  std::printf("Setting Baud Rate to %s: %ld,N,8,1\n", PortLabel(state).c_str(),
              static_cast<long>(kBaudRate));

  // The file checked is read again from its start: it stayed open.
  state.inputFile = state.inputHandle.get();
  std::rewind(state.inputFile);
  state.recordsRead = 0;
  RecordChecker checker;
  const bool assembled =
      AssembleNextPacket(state, state.currentPacket, &checker) == AssembleStatus::kPacket;
  if (!FileUnchanged(state.fileName, state.inputFile, checked)) {
    std::printf("*** - Error, \"%s\" changed since it was checked", state.fileName.c_str());
    return Fail();
  }
  if (!assembled) {
    std::printf("*** - Error, \"%s\" is not a Motorola Hex File", state.fileName.c_str());
    return Fail();
  }
  SendStartCommand(state, port);
  std::printf("Flash programming \"%s\" started ...\n", state.fileName.c_str());
  std::printf("Percent Complete ... ");

  bool transferError = false;
  if (!TransferDataPackets(state, port, checked, transferError)) {
    std::printf("*** - Error, Bad S-Record Read\n");
    return Fail();
  }
  SendTerminator(state, port, checked, transferError);
  std::printf("\nS-Records sent ... %ld\n", static_cast<long>(state.recordsRead));
  const Verdict verdict = PrintVerdict(state, transferError);
  DrainKeyboard();
  state.inputFile = nullptr;
  state.inputHandle.reset();
  std::printf("DONE\n");
  return verdict == Verdict::kSuccess ? 0 : 1;
}

}  // namespace

int RunFlash(FlashState& state, CSerial& port, int argc, char** argv) {
  InitFlashState(state);
  DrainKeyboard();
  const int portIndex = ParseCommandLine(state, argc, argv);
  if (portIndex == 0) return 1;
  PrintBanner();
  FileFingerprint checked;
  if (!CheckInputFile(state, checked)) return Fail();
  std::printf("Press <ESC> to cancel\n");
  TakePortNumber(state, argc, argv, portIndex);
  return FlashOverPort(state, port, checked);
}
