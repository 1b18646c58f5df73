#include "serial/device_protocol.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"
#include "serial/cserial.h"

namespace {

const char kWakeUp[] = "===\n";
const char kPrompt = '>';
const char kTimeoutText[] = "Response Timeout";

void PollPause() { TheConsole().Pause1ms(); }

}  // namespace

bool ReceiveChar(FlashState& state, CSerial& port) {
  unsigned char byte = 0;
  if (port.Read(&byte, 1) == 0) {
    state.lastChar = 0;
    return false;
  }
  state.lastChar = byte;
  if (state.verbose) std::printf("%c", byte);
  return true;
}

bool WaitForPrompt(FlashState& state, CSerial& port, int16_t limit) {
  int16_t emptyPolls = 0;
  for (;;) {
    if (!ReceiveChar(state, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (state.lastChar == kPrompt) return true;
    if (port.Lost()) return false;
    if (emptyPolls >= limit) return false;
    if (TheConsole().KeyWaiting()) return false;
  }
}

bool SendCommand(FlashState& state, CSerial& port, const char* text) {
  char line[kMaxCommandLength + 2] = {};
  const size_t length = strnlen(text, kMaxCommandLength);
  std::memcpy(line, text, length);
  line[length] = '\r';
  port.Write(line, static_cast<uint32_t>(length + 1));

  // The instrument echoes the line; whatever comes before the echoed '\r',
  // a stray '>' included, belongs to the echo.
  int16_t emptyPolls = 0;
  while (emptyPolls < kEchoPolls && !port.Lost()) {
    if (!ReceiveChar(state, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (state.lastChar == '\r') break;
  }
  if (WaitForPrompt(state, port, kCommandPromptPolls)) return true;
  // A lost port is the caller's to report; a beep would only delay that.
  if (!port.Lost()) TheConsole().Beep(400, 1000);
  return false;
}

bool WakeDevice(FlashState& state, CSerial& port) {
  std::printf("Waking up device at %s:115200,N,8,1 ... ", PortLabel(state).c_str());
  std::fflush(stdout);
  port.Purge();
  port.WriteString(kWakeUp);
  return WaitForPrompt(state, port, kWakePromptPolls);
}

void SendStartCommand(FlashState& state, CSerial& port) {
  port.WriteString(state.bootOverwrite ? "%%\r" : "$\r");
  int32_t idlePolls = 0;
  for (;;) {
    if (ReceiveChar(state, port)) {
      idlePolls = 0;
    } else {
      ++idlePolls;
    }
    PollPause();
    if (state.lastChar == '\n') return;
    if (idlePolls >= kStartAnswerIdlePolls) return;
    if (port.Lost()) return;
    if (TheConsole().KeyWaiting()) return;
  }
}

bool ReadResponseLine(FlashState& state, CSerial& port) {
  state.lastChar = 0;
  state.responseLine[0] = '\0';
  // A line longer than the buffer is cut: its first 160 characters are kept
  // and the rest is read up to the line feed and dropped, so that it cannot
  // pass for the answer to the next packet.
  constexpr int kCapacity = kBufferSize - 1;
  int stored = 0;
  // The polls do not pause, so that an answer is taken the moment it comes;
  // an empty one gives the processor away, so that loaders flashing several
  // instruments at once (and the instruments' own programs) do not starve.
  Console& console = TheConsole();
  for (int32_t poll = 0; poll < kResponsePolls && !port.Lost(); ++poll) {
    if (!ReceiveChar(state, port)) {
      console.GiveWay();
      continue;
    }
    if (stored < kCapacity) state.responseLine[stored++] = static_cast<char>(state.lastChar);
    if (state.lastChar == '\n') {
      state.responseLine[stored] = '\0';
      return state.responseLine[0] == '\n';
    }
  }
  state.responseLine[stored] = '\0';
  if (state.responseLine[0] == '\0') std::strcpy(state.responseLine, kTimeoutText);
  return false;
}
