// The console seam: the few console operations the loader needs. One
// realisation per platform (console_posix.cpp, console_win32.cpp); tests
// install a scripted fake with SetConsole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class Console {
 public:
  virtual ~Console() = default;
  // True when a key press is waiting; the key is not consumed.
  virtual bool KeyWaiting() = 0;
  // Reads one key without echo, waiting for it if none is waiting yet. Returns
  // the key's code, or -1 when no key can ever come (input closed) or an
  // interrupt is pending. Callers that must not wait test KeyWaiting first.
  virtual int ReadKey() = 0;
  // Writes one character straight to the terminal, bypassing standard output.
  virtual void PutChar(char c) = 0;
  // Sounds the speaker; returns when the sound has ended.
  virtual void Beep(unsigned frequencyHz, unsigned durationMs) = 0;
  // Pauses for 1 ms.
  virtual void Pause1ms() = 0;
  // Milliseconds on a clock that only ever moves forward (not the time of
  // day) from an arbitrary start: what bounds the waits in time. The
  // platform console gives MonotonicMs (console/clock.h).
  virtual int64_t ClockMs() = 0;
  // False once no key press can ever arrive (input closed, no terminal), so
  // that a wait which only a key could end gets a bound instead.
  virtual bool KeysCanArrive() = 0;
  // True when standard output is a terminal of the program's own that moves
  // its cursor on the ANSI sequences ESC [ n A (up), ESC [ K (clear to the
  // end of the line), so that lines already shown can be written again.
  virtual bool RedrawsLines() { return false; }
  // The width of that terminal in characters.
  virtual int ScreenColumns() { return 80; }
};

constexpr int kKeyEscape = 0x1B;
// Key code of a whole escape sequence (an arrow or function key) read from a
// byte stream: outside the byte range, so never ESC.
constexpr int kSequenceKey = 0x100;
// How long the bytes of one escape sequence may take to follow its ESC.
constexpr int kEscapeSequenceWaitMs = 100;

// Reads one key from a stream of key bytes as a terminal sends them.
// nextByte(waitMs, take) gives the next byte, waiting at most waitMs for it
// (-1: until one comes or the input ends), or -1 when none came; the byte is
// consumed only when `take`. ESC followed at once by "[" or "O" starts a
// sequence that reads as one kSequenceKey. Any other ESC is ESC, and the byte
// after it is the next key: ESC ESC or ESC Enter typed quickly must not lose
// the cancel. Returns -1 when the input has ended.
int ReadStreamKey(const std::function<int(int waitMs, bool take)>& nextByte);

// Which line-end characters ScreenText keeps as they are: LF, TAB and CR
// (kKept), LF, TAB and a CR right before an LF (kCrLfKept), or none (kShown).
enum class LineEnds { kKept, kCrLfKept, kShown };
// `text` as it may go to the screen: control characters other than the line
// ends kept shown as ^ and a character (ESC as ^[, CR as ^M, DEL as ^?,
// 0x80-0x9F as M-^@ to M-^_), so that bytes from a noisy line or a wrong
// device cannot act on the terminal. Every other byte is kept.
std::string ScreenText(const std::string& text, LineEnds kept = LineEnds::kKept);

// Called first in main, before anything is opened. Descriptors 0, 1 and 2 are
// made sure to be open (on the null device where they were closed), so that
// the port or the file never takes their numbers and the run's text never
// goes down the serial line. Output that can no longer be written (a pipe
// whose reader has gone) never ends the process: a flash must not stop half
// way because nobody reads its progress.
void PrepareProcess();

// Ctrl-C (SIGINT) and termination requests (SIGTERM). The platform console
// records them instead of letting them end the process, so that the run ends
// through its verdict: every wait of the run ends once one is pending.
//
// Records one interrupt by `signalNumber` and returns how many have come;
// async-signal-safe, and safe from a handler thread.
int RecordInterrupt(int signalNumber);
// True when an interrupt must end the run now: one has come while they are
// not held, or a second one has come.
bool InterruptPending();
// While held (the boot sector of "-b" on its way), the first interrupt waits
// until the hold ends; a second one is pending at once. Each thread holds for
// itself: the first interrupt waits while any thread holds it.
void HoldInterrupts(bool hold);
// 128 plus the signal number of the first interrupt (130 for Ctrl-C).
int InterruptExitStatus();

// The console the program talks to: the platform's unless a test installed another.
Console& TheConsole();
// Installs `console` (nullptr restores the platform console). For tests.
void SetConsole(Console* console);
// The platform's console; prepares the terminal on first use and restores it
// at every exit of the process.
Console& PlatformConsole();
