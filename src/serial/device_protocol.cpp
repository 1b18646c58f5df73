#include "serial/device_protocol.h"

#include <cstring>
#include <string>

#include "console/console.h"
#include "serial/cserial.h"

namespace {

const char kWakeUp[] = "===\n";
const char kPrompt = '>';

// The longest single sleep on the port: the answer wait looks at its clock
// at least this often, whatever wakes it or fails to.
constexpr int64_t kLongestSleepMs = 100;

// The listener of the link, or one that hears nothing.
LinkEvents& EventsOf(const SerialLink& link) {
  static LinkEvents nobody;
  return link.events != nullptr ? *link.events : nobody;
}

void PollPause() { TheConsole().Pause1ms(); }

// The end of a wait on the console's clock.
class Deadline {
 public:
  explicit Deadline(int64_t ms) { Restart(ms); }
  void Restart(int64_t ms) { end_ = TheConsole().ClockMs() + ms; }
  int64_t LeftMs() const { return end_ - TheConsole().ClockMs(); }
  bool Passed() const { return LeftMs() <= 0; }

 private:
  int64_t end_ = 0;
};

// How long a wait of `pauses` pauses of 1 ms may take by the clock.
int64_t NominalMs(int32_t pauses) { return int64_t{pauses} + kWaitMarginMs; }

// Sleeps on the port until a character comes, at most `leftMs` and never
// longer than one slice. A port that cannot be slept on is polled at the pace
// of the other waits instead.
void SleepOnPort(CSerial& port, int64_t leftMs) {
  const int64_t sleepMs = leftMs < kLongestSleepMs ? leftMs : kLongestSleepMs;
  if (!port.WaitForInput(static_cast<uint32_t>(sleepMs))) PollPause();
}

// Most keys one test reads: input that never runs dry must not hold a wait.
constexpr int kMostKeysPerTest = 16;

// True when the user asked the wait to end (see WaitKeys).
bool KeyEndsWait(SerialLink& link, WaitKeys keys) {
  Console& console = TheConsole();
  if (keys == WaitKeys::kNone) return false;
  if (keys == WaitKeys::kAny) return console.KeyWaiting();
  for (int read = 0; read < kMostKeysPerTest && !link.escapeRead && console.KeyWaiting(); ++read) {
    link.escapeRead = console.ReadKey() == kKeyEscape;
  }
  return link.escapeRead;
}

}  // namespace

bool ReceiveChar(SerialLink& link, CSerial& port) {
  unsigned char byte = 0;
  if (port.Read(&byte, 1) == 0) {
    link.lastChar = 0;
    return false;
  }
  link.lastChar = byte;
  EventsOf(link).Received(byte);
  return true;
}

bool WaitForPrompt(SerialLink& link, CSerial& port, int16_t limit, WaitKeys keys) {
  int16_t emptyPolls = 0;
  const Deadline deadline(NominalMs(limit));
  for (;;) {
    if (!ReceiveChar(link, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (link.lastChar == kPrompt) return true;
    if (port.Lost()) return false;
    if (emptyPolls >= limit || deadline.Passed()) return false;
    if (KeyEndsWait(link, keys) || InterruptPending()) return false;
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
  const Deadline deadline(NominalMs(kEchoPolls));
  while (emptyPolls < kEchoPolls && !deadline.Passed() && !port.Lost() && !InterruptPending()) {
    if (!ReceiveChar(link, port)) {
      PollPause();
      ++emptyPolls;
    }
    if (link.lastChar == '\r') break;
  }
  if (WaitForPrompt(link, port, kCommandPromptPolls, WaitKeys::kEscape)) return true;
  // A lost port, an interrupt or ESC is the caller's to report; a beep would
  // only delay that.
  if (!port.Lost() && !InterruptPending() && !link.escapeRead) EventsOf(link).NoPrompt();
  return false;
}

bool WakeDevice(SerialLink& link, CSerial& port) {
  EventsOf(link).WakingUp(link.portLabel);
  port.Purge();
  port.WriteString(kWakeUp);
  return WaitForPrompt(link, port, kWakePromptPolls);
}

void SendStartCommand(SerialLink& link, CSerial& port, bool bootOverwrite) {
  port.WriteString(bootOverwrite ? "%%\r" : "$\r");
  int32_t idlePolls = 0;
  Deadline silence(NominalMs(kStartAnswerIdlePolls));
  for (;;) {
    if (ReceiveChar(link, port)) {
      idlePolls = 0;
      silence.Restart(NominalMs(kStartAnswerIdlePolls));
    } else {
      ++idlePolls;
    }
    PollPause();
    if (link.lastChar == '\n') return;
    if (idlePolls >= kStartAnswerIdlePolls || silence.Passed()) return;
    if (port.Lost()) return;
    if (KeyEndsWait(link, bootOverwrite ? WaitKeys::kNone : WaitKeys::kEscape) ||
        InterruptPending()) {
      return;
    }
  }
}

PacketAnswer ReadResponseLine(SerialLink& link, CSerial& port) {
  link.lastChar = 0;
  link.responseLine[0] = '\0';
  // A line longer than the buffer is cut: its first 160 characters are kept
  // and the rest is read up to the line feed and dropped, so that it cannot
  // pass for the answer to the next packet.
  constexpr int kCapacity = kResponseLineSize - 1;
  int stored = 0;
  // After an empty poll the loader sleeps on the port until the next
  // character comes, so that an answer is taken the moment it arrives, and
  // waiting costs no processor time however many loaders run at once. An
  // interrupt ends the sleep early (the sleep is sliced) and the wait with it.
  const Deadline deadline(kResponseTimeoutMs);
  for (int32_t poll = 0; poll < kResponsePolls && !port.Lost() && !InterruptPending(); ++poll) {
    if (!ReceiveChar(link, port)) {
      const int64_t leftMs = deadline.LeftMs();
      if (leftMs <= 0) break;
      SleepOnPort(port, leftMs);
      continue;
    }
    if (stored < kCapacity) link.responseLine[stored++] = static_cast<char>(link.lastChar);
    if (link.lastChar == '\n') {
      link.responseLine[stored] = '\0';
      if (link.responseLine[0] == '\n') return {PacketAnswer::Kind::kAccepted, ""};
      return {PacketAnswer::Kind::kErrorText, link.responseLine};
    }
  }
  link.responseLine[stored] = '\0';
  // A line that began with a zero byte kept nothing: no answer came.
  if (link.responseLine[0] == '\0') return {PacketAnswer::Kind::kNone, ""};
  return {PacketAnswer::Kind::kErrorText, link.responseLine};
}

bool ReadUnsolicited(SerialLink& link, CSerial& port, std::string& bytes) {
  constexpr int kMostRead = 4096;  // a flood must not hold the run
  bytes.clear();
  for (int read = 0; read < kMostRead && ReceiveChar(link, port); ++read) {
    if (bytes.size() < kResponseLineSize - 1) bytes += static_cast<char>(link.lastChar);
  }
  return !bytes.empty();
}
