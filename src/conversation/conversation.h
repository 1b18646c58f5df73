// The loader's side of the conversation with the instrument: wake-up, prompt-
// driven command lines, the start command and the answer line to a packet.
//
// Every wait polls the port for one character that has already arrived and is
// bounded by a count of polls and by the clock it is given, so that a loaded
// machine cannot stretch it; the prompt waits and the start-answer wait also
// end when a key is waiting (the key is left for the caller). Every wait ends
// at its next poll once the port is lost (CSerial::Lost) or the clock reports
// an interrupt: the caller tells those apart from a silent instrument by
// asking the port and its own console.
#pragma once

#include <cstdint>
#include <string>

class CSerial;

// Room for an answer line: 160 characters and the terminating zero.
constexpr int kResponseLineSize = 161;

// What the conversation needs of the world around it: a clock that only moves
// forward, a pause between two polls, the keys that may end a wait, and
// whether an interrupt asks every wait to end. The run hands in the console's.
class ConversationClock {
 public:
  virtual ~ConversationClock() = default;
  virtual int64_t NowMs() = 0;
  virtual void Pause1ms() = 0;
  // True when a key press is waiting; the key is not consumed.
  virtual bool KeyWaiting() = 0;
  // Reads a key that KeyWaiting reported.
  virtual int ReadKey() = 0;
  virtual bool Interrupted() = 0;
};

// The key that cancels the set-up and the start command.
constexpr int kCancelKey = 0x1B;

// What the conversation tells whoever shows it: the conversation prints
// nothing itself. The run chooses the listener; each event does nothing by
// default.
class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  // A wake-up of the instrument on the port `portLabel` begins.
  virtual void WakingUp(const std::string& /*portLabel*/) {}
  // A character came from the instrument.
  virtual void Received(unsigned char /*byte*/) {}
  // A command line got no prompt back, and neither a lost port nor an
  // interrupt explains it.
  virtual void NoPrompt() {}
};

// The run's side of the link: whom the conversation tells, and what a wait
// leaves for the run to act on.
struct SerialLink {
  std::string portLabel;         // the port as messages show it: COM3, or a device path
  LinkEvents* events = nullptr;  // who hears of the conversation; nullptr: no one
  bool escapeRead = false;  // a set-up wait read ESC: the caller's to act on, and to clear
};

// Poll limits of the conversation.
constexpr int16_t kWakePromptPolls = 5000;
constexpr int16_t kEchoPolls = 500;
constexpr int16_t kCommandPromptPolls = 2500;
constexpr int32_t kStartAnswerIdlePolls = 2000;
constexpr int32_t kResponsePolls = 5000000;
// The waits that pause 1 ms per empty poll also end by the clock at their
// nominal time (one millisecond per pause) plus this margin.
constexpr int kWaitMarginMs = 100;
// The answer line to a packet must be complete within this time; until then
// the loader sleeps on the port.
constexpr int kResponseTimeoutMs = 6000;
// Longest command text; the line with its "\r" and a zero fits 80 bytes.
constexpr int kMaxCommandLength = 78;

// The keys that end a wait: any key, which is left waiting (the wake-up:
// any key stops its tries), or ESC alone (the set-up commands and the start
// command). There other keys are read and dropped, lest Enter held down cut
// a wait short and leave an answer to be taken for the next one, and an ESC
// read is kept in link.escapeRead.
// kNone: no key ends the wait, and keys stay waiting.
enum class WaitKeys { kAny, kEscape, kNone };

// The instrument's answer to a packet.
struct PacketAnswer {
  enum class Kind {
    kAccepted,   // a line feed alone
    kErrorText,  // a line (its first 160 characters), or what came before the wait ended
    kNone,       // nothing came before the wait ended
  };
  Kind kind = Kind::kNone;
  std::string text;  // kErrorText: the line as it came, line feed included
};

// One conversation over `port`, its waits kept by `clock`. A write the port
// refuses leaves it lost (CSerial::Write): the step that wrote gives up at
// once, and the caller finds the reason on the port.
class Conversation {
 public:
  Conversation(SerialLink& link, CSerial& port, ConversationClock& clock)
      : link_(link), port_(port), clock_(clock) {}

  // Waits for '>' through at most `limit` empty polls (at least one poll), a
  // 1 ms pause after each, and at most `limit` ms plus the margin; false at
  // the limit or when one of `keys` ended it.
  bool WaitForPrompt(int16_t limit, WaitKeys keys = WaitKeys::kAny);
  // Sends `text` and "\r", waits for the echoed '\r' (500 empty polls), then
  // for the prompt (2500; only ESC ends it early). Returns false when no
  // prompt came; tells the events NoPrompt unless the port was lost, an
  // interrupt is pending or ESC was read.
  bool SendCommand(const char* text);
  // Tells the events WakingUp, purges the input, sends "===\n" and waits for
  // the prompt (5000 empty polls).
  bool WakeDevice();
  // Sends "$\r" ("%%\r" in boot-sector overwrite mode) and waits for the
  // answer's line feed (until 2000 empty polls or 2 s and the margin without
  // a character, or ESC; in boot-sector overwrite mode, which ignores ESC
  // from the start command on, no key ends it).
  void SendStartCommand(bool bootOverwrite);
  // Reads what has already arrived although no answer is due (right before a
  // packet is written) into `bytes`: at most kResponseLineSize - 1 of them
  // are kept, and the read stops at the first empty poll or after 4096
  // bytes. True when anything had arrived: the instrument's answers and the
  // packets are then out of step, and the next answer read would belong to
  // an earlier packet.
  bool ReadUnsolicited(std::string& bytes);
  // Reads the answer line to a packet (at most 160 characters kept) within
  // kResponseTimeoutMs (and 5,000,000 polls), sleeping on the port while
  // nothing comes. A wait ended by a lost port or an interrupt gives what
  // came until then.
  PacketAnswer ReadResponseLine();

 private:
  // One poll: true when a character arrived (it is then in lastChar_, which
  // is 0 after an empty poll), and tells the events of it.
  bool ReceiveChar();
  bool KeyEndsWait(WaitKeys keys);
  void SleepOnPort(int64_t leftMs);
  LinkEvents& Events();

  SerialLink& link_;
  CSerial& port_;
  ConversationClock& clock_;
  unsigned char lastChar_ = 0;  // last character received; 0 after an empty poll
};
