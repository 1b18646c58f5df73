#include "conversation/conversation.h"

#include <cstring>
#include <string>

#include "serial/cserial.h"

namespace {

const char kWakeUp[] = "===\n";
const char kPrompt = '>';

// The longest single sleep on the port: the answer wait looks at its clock
// at least this often, whatever wakes it or fails to.
constexpr int64_t kLongestSleepMs = 100;

// Most keys one test reads: input that never runs dry must not hold a wait.
constexpr int kMostKeysPerTest = 16;

// The end of a wait on the conversation's clock.
class Deadline {
 public:
  Deadline(ConversationClock& clock, int64_t ms) : clock_(clock) { Restart(ms); }
  void Restart(int64_t ms) { end_ = clock_.NowMs() + ms; }
  int64_t LeftMs() const { return end_ - clock_.NowMs(); }
  bool Passed() const { return LeftMs() <= 0; }

 private:
  ConversationClock& clock_;
  int64_t end_ = 0;
};

// How long a wait of `pauses` pauses of 1 ms may take by the clock.
int64_t NominalMs(int32_t pauses) { return int64_t{pauses} + kWaitMarginMs; }

}  // namespace

LinkEvents& Conversation::Events() {
  static LinkEvents nobody;
  return link_.events != nullptr ? *link_.events : nobody;
}

// Sleeps on the port until a character comes, at most `leftMs` and never
// longer than one slice. A port that cannot be slept on is polled at the pace
// of the other waits instead.
void Conversation::SleepOnPort(int64_t leftMs) {
  const int64_t sleepMs = leftMs < kLongestSleepMs ? leftMs : kLongestSleepMs;
  if (!port_.WaitForInput(static_cast<uint32_t>(sleepMs))) clock_.Pause1ms();
}

// True when the user asked the wait to end (see WaitKeys).
bool Conversation::KeyEndsWait(WaitKeys keys) {
  if (keys == WaitKeys::kNone) return false;
  if (keys == WaitKeys::kAny) return clock_.KeyWaiting();
  for (int read = 0; read < kMostKeysPerTest && !link_.escapeRead && clock_.KeyWaiting(); ++read) {
    link_.escapeRead = clock_.ReadKey() == kCancelKey;
  }
  return link_.escapeRead;
}

bool Conversation::ReceiveChar() {
  unsigned char byte = 0;
  if (port_.Read(&byte, 1) == 0) {
    lastChar_ = 0;
    return false;
  }
  lastChar_ = byte;
  Events().Received(byte);
  return true;
}

bool Conversation::WaitForPrompt(int16_t limit, WaitKeys keys) {
  int16_t emptyPolls = 0;
  const Deadline deadline(clock_, NominalMs(limit));
  for (;;) {
    if (!ReceiveChar()) {
      clock_.Pause1ms();
      ++emptyPolls;
    }
    if (lastChar_ == kPrompt) return true;
    if (port_.Lost()) return false;
    if (emptyPolls >= limit || deadline.Passed()) return false;
    if (KeyEndsWait(keys) || clock_.Interrupted()) return false;
  }
}

bool Conversation::SendCommand(const char* text) {
  char line[kMaxCommandLength + 2] = {};
  const size_t length = strnlen(text, kMaxCommandLength);
  std::memcpy(line, text, length);
  line[length] = '\r';
  // A refused line has lost the port: the caller reports that.
  if (port_.Write(line, static_cast<uint32_t>(length + 1)) == 0) return false;

  // The instrument echoes the line; whatever comes before the echoed '\r',
  // a stray '>' included, belongs to the echo.
  int16_t emptyPolls = 0;
  const Deadline deadline(clock_, NominalMs(kEchoPolls));
  while (emptyPolls < kEchoPolls && !deadline.Passed() && !port_.Lost() && !clock_.Interrupted()) {
    if (!ReceiveChar()) {
      clock_.Pause1ms();
      ++emptyPolls;
    }
    if (lastChar_ == '\r') break;
  }
  if (WaitForPrompt(kCommandPromptPolls, WaitKeys::kEscape)) return true;
  // A lost port, an interrupt or ESC is the caller's to report; a beep would
  // only delay that.
  if (!port_.Lost() && !clock_.Interrupted() && !link_.escapeRead) Events().NoPrompt();
  return false;
}

bool Conversation::WakeDevice() {
  Events().WakingUp(link_.portLabel);
  port_.Purge();
  if (port_.WriteString(kWakeUp) == 0) return false;
  return WaitForPrompt(kWakePromptPolls);
}

void Conversation::SendStartCommand(bool bootOverwrite) {
  if (port_.WriteString(bootOverwrite ? "%%\r" : "$\r") == 0) return;
  int32_t idlePolls = 0;
  Deadline silence(clock_, NominalMs(kStartAnswerIdlePolls));
  for (;;) {
    if (ReceiveChar()) {
      idlePolls = 0;
      silence.Restart(NominalMs(kStartAnswerIdlePolls));
    } else {
      ++idlePolls;
    }
    clock_.Pause1ms();
    if (lastChar_ == '\n') return;
    if (idlePolls >= kStartAnswerIdlePolls || silence.Passed()) return;
    if (port_.Lost()) return;
    if (KeyEndsWait(bootOverwrite ? WaitKeys::kNone : WaitKeys::kEscape) || clock_.Interrupted()) {
      return;
    }
  }
}

PacketAnswer Conversation::ReadResponseLine() {
  lastChar_ = 0;
  // A line longer than the buffer is cut: its first 160 characters are kept
  // and the rest is read up to the line feed and dropped, so that it cannot
  // pass for the answer to the next packet.
  constexpr int kCapacity = kResponseLineSize - 1;
  char line[kResponseLineSize] = {};
  int stored = 0;
  // After an empty poll the loader sleeps on the port until the next
  // character comes, so that an answer is taken the moment it arrives, and
  // waiting costs no processor time however many loaders run at once. An
  // interrupt ends the sleep early (the sleep is sliced) and the wait with it.
  const Deadline deadline(clock_, kResponseTimeoutMs);
  for (int32_t poll = 0; poll < kResponsePolls && !port_.Lost() && !clock_.Interrupted(); ++poll) {
    if (!ReceiveChar()) {
      const int64_t leftMs = deadline.LeftMs();
      if (leftMs <= 0) break;
      SleepOnPort(leftMs);
      continue;
    }
    if (stored < kCapacity) line[stored++] = static_cast<char>(lastChar_);
    if (lastChar_ == '\n') {
      line[stored] = '\0';
      if (line[0] == '\n') return {PacketAnswer::Kind::kAccepted, ""};
      return {PacketAnswer::Kind::kErrorText, line};
    }
  }
  line[stored] = '\0';
  // A line that began with a zero byte kept nothing: no answer came.
  if (line[0] == '\0') return {PacketAnswer::Kind::kNone, ""};
  return {PacketAnswer::Kind::kErrorText, line};
}

bool Conversation::ReadUnsolicited(std::string& bytes) {
  constexpr int kMostRead = 4096;  // a flood must not hold the run
  bytes.clear();
  for (int read = 0; read < kMostRead && ReceiveChar(); ++read) {
    if (bytes.size() < kResponseLineSize - 1) bytes += static_cast<char>(lastChar_);
  }
  return !bytes.empty();
}
