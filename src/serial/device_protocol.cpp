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

bool ReceiveChar(SerialLink& link, CSerial& port) {
  unsigned char byte = 0;
  if (port.Read(&byte, 1) == 0) {
    link.lastChar = 0;
    return false;
  }
  link.lastChar = byte;
  if (link.verbose) {
    std::fputs(ScreenText(std::string(1, static_cast<char>(byte))).c_str(), stdout);
  }
  return true;
}

bool WaitForPrompt(SerialLink& link, CSerial& port, int16_t limit) {
  int16_t emptyPolls = 0;
  for (;;) {
    if (!ReceiveChar(link, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (link.lastChar == kPrompt) return true;
    if (port.Lost()) return false;
    if (emptyPolls >= limit) return false;
    if (TheConsole().KeyWaiting()) return false;
  }
}

bool SendCommand(SerialLink& link, CSerial& port, const char* text) {
  char line[kMaxCommandLength + 2] = {};
  const size_t length = strnlen(text, kMaxCommandLength);
  std::memcpy(line, text, length);
  line[length] = '\r';
  port.Write(line, static_cast<uint32_t>(length + 1));

  // The instrument echoes the line; whatever comes before the echoed '\r',
  // a stray '>' included, belongs to the echo.
  int16_t emptyPolls = 0;
  while (emptyPolls < kEchoPolls && !port.Lost()) {
    if (!ReceiveChar(link, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (link.lastChar == '\r') break;
  }
  if (WaitForPrompt(link, port, kCommandPromptPolls)) return true;
  // A lost port is the caller's to report; a beep would only delay that.
  if (!port.Lost()) TheConsole().Beep(400, 1000);
  return false;
}

bool WakeDevice(SerialLink& link, CSerial& port) {
  std::printf("Waking up device at %s:%s ... ", link.portLabel.c_str(), kLineSettingsText);
  std::fflush(stdout);
  port.Purge();
  port.WriteString(kWakeUp);
  return WaitForPrompt(link, port, kWakePromptPolls);
}

void SendStartCommand(SerialLink& link, CSerial& port, bool bootOverwrite) {
  port.WriteString(bootOverwrite ? "%%\r" : "$\r");
  int32_t idlePolls = 0;
  for (;;) {
    if (ReceiveChar(link, port)) {
      idlePolls = 0;
    } else {
      ++idlePolls;
    }
    PollPause();
    if (link.lastChar == '\n') return;
    if (idlePolls >= kStartAnswerIdlePolls) return;
    if (port.Lost()) return;
    if (TheConsole().KeyWaiting()) return;
  }
}

bool ReadResponseLine(SerialLink& link, CSerial& port) {
  link.lastChar = 0;
  link.responseLine[0] = '\0';
  // A line longer than the buffer is cut: its first 160 characters are kept
  // and the rest is read up to the line feed and dropped, so that it cannot
  // pass for the answer to the next packet.
  constexpr int kCapacity = kResponseLineSize - 1;
  int stored = 0;
  // The polls do not pause, so that an answer is taken the moment it comes;
  // an empty one gives the processor away, so that loaders flashing several
  // instruments at once (and the instruments' own programs) do not starve.
  Console& console = TheConsole();
  for (int32_t poll = 0; poll < kResponsePolls && !port.Lost(); ++poll) {
    if (!ReceiveChar(link, port)) {
      console.GiveWay();
      continue;
    }
    if (stored < kCapacity) link.responseLine[stored++] = static_cast<char>(link.lastChar);
    if (link.lastChar == '\n') {
      link.responseLine[stored] = '\0';
      return link.responseLine[0] == '\n';
    }
  }
  link.responseLine[stored] = '\0';
  if (link.responseLine[0] == '\0') std::strcpy(link.responseLine, kTimeoutText);
  return false;
}
