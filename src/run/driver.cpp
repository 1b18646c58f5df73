#include "run/driver.h"

#include <cstdio>
#include <string>

#include "run/command_line.h"
#include "run/console.h"
#include "run/port_messages.h"
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

// A port lost before the transfer: the instrument can no longer be reached,
// so the run ends instead of trying again.
int PortLost(const FlashState& state, const CSerial& port) {
  std::printf("*** - Error, %s.\n", LostPortText(PortLabel(state), port.LostError()).c_str());
  return Fail();
}

// A bad file never reaches the instrument: the whole file is checked with the
// same packet assembly that the transfer will use.
bool CheckInputFile(const FlashState& state) {
  if (state.fileSize < 0) {
    std::printf("*** - Error, \"%s\" is too large (2 GiB or more)", state.fileName.c_str());
    return false;
  }
  const ValidationResult result = ValidateFile(state.fileName, state.padRecords);
  if (result.ok) return true;
  std::printf("%s", ValidationMessage(state.fileName, result).c_str());
  return false;
}

bool OpenPort(const FlashState& state, CSerial& port) {
  if (!state.portPath.empty()) {
    return port.OpenDevice(state.portPath, kBaudRate, kNoParity, kEightDataBits, kOneStopBit);
  }
  // The 16-bit port number reaches the port object sign-extended.
  const uint32_t number = static_cast<uint32_t>(static_cast<int32_t>(state.portNumber));
  return port.Open(number, kBaudRate, kNoParity, kEightDataBits, kOneStopBit);
}

// Wakes the instrument, one "Waking up device" line per try, until it answers,
// a key is pressed or the port is lost. Returns false when no key can end the
// tries and they have all failed.
bool WakeWithRetries(FlashState& state, CSerial& port) {
  Console& console = TheConsole();
  int tries = 1;
  bool awake = WakeDevice(state, port);
  while (!awake && !port.Lost() && !console.KeyWaiting()) {
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
// packet is ever unanswered. Returns false on a bad record.
bool TransferDataPackets(FlashState& state, CSerial& port, bool& transferError) {
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
    if (AssemblePacket(state, state.nextPacket) == 0) return false;
    ShowProgress(state.packetsSent, state.bytesRead, state.fileSize);
    PollKeyboard(state);
    if (!ReadResponseLine(state, port)) transferError = true;
    const int nextSize = PacketWireSize(state.nextPacket);
    for (int i = 0; i < nextSize; ++i) state.currentPacket[i] = state.nextPacket[i];
    if (IsTerminator(state.currentPacket) || state.cancelled || transferError) return true;
  }
}

// Sends the terminator packet unless the instrument already refused a packet:
// its own error text must reach the screen, and a refused image must not be
// finalised.
void SendTerminator(FlashState& state, CSerial& port, bool& transferError) {
  if (!IsTerminator(state.currentPacket) || transferError) return;
  port.Write(state.currentPacket, static_cast<uint32_t>(PacketWireSize(state.currentPacket)));
  if (ReadResponseLine(state, port)) {
    std::printf(" 100%%");
  } else {
    transferError = true;
  }
}

Verdict PrintVerdict(const FlashState& state, const CSerial& port, bool transferError) {
  if (state.cancelled) {
    std::printf("Flash programming ... CANCELLED BY USER.\n");
    ReportFailure();
    return Verdict::kCancelled;
  }
  if (transferError) {
    const std::string text =
        port.Lost() ? LostPortText(PortLabel(state), port.LostError()) : state.responseLine;
    std::printf("Flash programming error message:  %s\n", text.c_str());
    ReportFailure();
    return Verdict::kError;
  }
  std::printf("Flash programming ... SUCCESSFUL\n");
  return Verdict::kSuccess;
}

// Everything from the port open to "DONE". Returns the exit status.
int FlashOverPort(FlashState& state, CSerial& port) {
  if (!OpenPort(state, port)) {
    std::printf("*** - Error, cannot open port.\n%s\n",
                PortOpenProblem(PortLabel(state), port.PortName(), port.LastError()).c_str());
    return Fail();
  }
  if (!WakeWithRetries(state, port)) {
    std::printf("*** - Error, no answer from the instrument at %s.\n", PortLabel(state).c_str());
    return Fail();
  }
  if (port.Lost()) {
    std::printf("FAILED\n");
    return PortLost(state, port);
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
  if (port.Lost()) return PortLost(state, port);
  if (!port.SetBaudRate(kBaudRate)) return port.Lost() ? PortLost(state, port) : Fail();
  std::printf("Setting Baud Rate to %s: %ld,N,8,1\n", PortLabel(state).c_str(),
              static_cast<long>(kBaudRate));

  state.inputFile = std::fopen(state.fileName.c_str(), "rb");
  if (state.inputFile == nullptr) {
    std::printf("*** - Error, cannot open \"%s\" again", state.fileName.c_str());
    return Fail();
  }
  state.recordsRead = 0;
  if (AssemblePacket(state, state.currentPacket) == 0) {
    std::printf("*** - Error, \"%s\" is not a Motorola Hex File", state.fileName.c_str());
    ReportFailure();
    std::fclose(state.inputFile);
    state.inputFile = nullptr;
    return 1;
  }
  SendStartCommand(state, port);
  if (port.Lost()) return PortLost(state, port);
  std::printf("Flash programming \"%s\" started ...\n", state.fileName.c_str());
  std::printf("Percent Complete ... ");

  bool transferError = false;
  if (!TransferDataPackets(state, port, transferError)) {
    std::printf("*** - Error, Bad S-Record Read\n");
    std::fclose(state.inputFile);
    state.inputFile = nullptr;
    return Fail();
  }
  SendTerminator(state, port, transferError);
  std::printf("\nS-Records sent ... %ld\n", static_cast<long>(state.recordsRead));
  const Verdict verdict = PrintVerdict(state, port, transferError);
  DrainKeyboard();
  std::fclose(state.inputFile);
  state.inputFile = nullptr;
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
  if (!CheckInputFile(state)) return Fail();
  std::printf("Press <ESC> to cancel\n");
  TakePortNumber(state, argc, argv, portIndex);
  return FlashOverPort(state, port);
}
