// The console on Windows.
//
// With a console on standard input, keys are the console's key-down input
// records, read under the program's own input mode: processed input (Ctrl-C
// comes as a control event, never as a key), no line input, no echo and no
// virtual-terminal input (an arrow comes as its virtual key, not as ESC [ A).
// A key with a character is that character (UTF-16), so that a letter of
// any code page is one key; one without (arrows, function keys) is
// kSequenceKey, never ESC. The spinner goes straight to the console with
// _putch. For the run the console shows UTF-8 and the system timer ticks
// every millisecond; the input mode, the output code page and the timer are
// given back at every exit.
//
// Without a console (standard input redirected from a file or a pipe, as in
// scripted runs, or a Unix terminal under wine), the bytes of standard input
// are the keys and its end means that no key will ever come. As from a
// terminal, ESC followed at once by "[" or "O" is an escape sequence (an arrow
// or function key) and reads as one key that is not ESC. Pipes cannot be
// asked how much they hold on every system (wine answers
// ERROR_NOT_SUPPORTED), so a reader thread takes the bytes as they arrive and
// the console only looks at what it has queued.
#include <windows.h>
#include <mmsystem.h>

#include <conio.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "console/clock.h"
#include "console/console.h"

namespace {

// How long a wait for a key goes without looking for an interrupt.
constexpr DWORD kInterruptCheckMs = 100;

// What the program changed and gives back at exit (RestoreConsole).
HANDLE g_consoleInput = nullptr;    // the console's input when keys come from it
DWORD g_foundInputMode = 0;         // its mode as found
std::atomic<bool> g_inputModeSet{false};
HANDLE g_consoleOutput = nullptr;   // the console's output, when its mode was changed
DWORD g_foundOutputMode = 0;
std::atomic<bool> g_outputModeSet{false};
UINT g_foundOutputCodePage = 0;     // 0: not changed
bool g_timerPeriodSet = false;

void RestoreConsole() {
  if (g_inputModeSet.exchange(false)) SetConsoleMode(g_consoleInput, g_foundInputMode);
  if (g_outputModeSet.exchange(false)) SetConsoleMode(g_consoleOutput, g_foundOutputMode);
  if (g_foundOutputCodePage != 0) SetConsoleOutputCP(g_foundOutputCodePage);
  g_foundOutputCodePage = 0;
  if (g_timerPeriodSet) timeEndPeriod(1);
  g_timerPeriodSet = false;
}

// Ctrl-C and Ctrl-Break are recorded as SIGINT, for the run to end through
// its verdict; should it not end, the third one is left to the system, which
// ends the process without the exit handlers: the console is restored here
// first. Runs on a thread of its own.
BOOL WINAPI RecordConsoleInterrupt(DWORD event) {
  if (event == CTRL_CLOSE_EVENT) RestoreConsole();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (RecordInterrupt(SIGINT) < 3) return TRUE;
  RestoreConsole();
  return FALSE;
}

// The key of a console input record; -1 for a record that is no key press
// (a key's release, a modifier alone, the mouse, a window change).
int KeyOf(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT) return -1;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  const int character = key.uChar.UnicodeChar;
  // A character typed as Alt and digits comes with the release of Alt.
  if (!key.bKeyDown) return key.wVirtualKeyCode == VK_MENU && character != 0 ? character : -1;
  if (character != 0) return character;
  switch (key.wVirtualKeyCode) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL: case VK_NUMLOCK:
    case VK_SCROLL: case VK_LWIN: case VK_RWIN:
      return -1;
    default:
      return kSequenceKey;
  }
}

// True when a key press is waiting in the console's input; records ahead of
// it that are no key press are dropped.
bool ConsoleKeyWaiting() {
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputW(g_consoleInput, &record, 1, &count) || count == 0) return false;
    if (KeyOf(record) >= 0) return true;
    ReadConsoleInputW(g_consoleInput, &record, 1, &count);
  }
}

// The next key press, waiting for it in slices so that an interrupt ends
// the wait; -1 on an interrupt or a console that cannot be read.
int ReadConsoleKey() {
  for (;;) {
    if (InterruptPending()) return -1;
    const DWORD waited = WaitForSingleObject(g_consoleInput, kInterruptCheckMs);
    if (waited == WAIT_TIMEOUT) continue;
    INPUT_RECORD record;
    DWORD count = 0;
    if (waited != WAIT_OBJECT_0 || !ReadConsoleInputW(g_consoleInput, &record, 1, &count)) {
      return -1;
    }
    const int key = count == 1 ? KeyOf(record) : -1;
    if (key >= 0) return InterruptPending() ? -1 : key;
  }
}

// Keys from the bytes of a standard input that is not a console.
class StreamKeys {
 public:
  explicit StreamKeys(HANDLE input) : input_(input) {
    InitializeCriticalSection(&lock_);
    arrived_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (input_ == nullptr || input_ == INVALID_HANDLE_VALUE || arrived_ == nullptr) {
      ended_ = true;
      return;
    }
    const HANDLE reader = CreateThread(nullptr, 0, &StreamKeys::ReaderMain, this, 0, nullptr);
    if (reader == nullptr) {
      ended_ = true;
      return;
    }
    // The thread runs until the end of input; at process exit it is simply
    // ended with the process, blocked in its read.
    CloseHandle(reader);
  }
  StreamKeys(const StreamKeys&) = delete;
  StreamKeys& operator=(const StreamKeys&) = delete;

  bool KeyWaiting() {
    Locked guard(lock_);
    return !bytes_.empty();
  }

  int ReadKey() {
    return ReadStreamKey([this](int waitMs, bool take) {
      return NextByte(waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs), take);
    });
  }

  bool KeysCanArrive() {
    Locked guard(lock_);
    return !bytes_.empty() || !ended_;
  }

 private:
  class Locked {
   public:
    explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Locked() { LeaveCriticalSection(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    CRITICAL_SECTION& lock_;
  };

  // The next byte, waiting at most `waitMs` for it to arrive; -1 when none
  // came in time or input has ended. Consumed only when `take`.
  int NextByte(DWORD waitMs, bool take) {
    const int64_t start = MonotonicMs();
    for (;;) {
      {
        Locked guard(lock_);
        if (!bytes_.empty()) {
          const int byte = bytes_.front();
          if (take) bytes_.pop_front();
          return byte;
        }
        if (ended_) return -1;
      }
      if (InterruptPending()) return -1;
      // Endless waits are taken in slices, so that an interrupt ends them.
      DWORD wait = kInterruptCheckMs;
      if (waitMs != INFINITE) {
        const int64_t left = static_cast<int64_t>(waitMs) - (MonotonicMs() - start);
        if (left <= 0) return -1;
        if (left < wait) wait = static_cast<DWORD>(left);
      }
      WaitForSingleObject(arrived_, wait);
    }
  }

  static DWORD WINAPI ReaderMain(LPVOID self) {
    static_cast<StreamKeys*>(self)->ReadUntilEnd();
    return 0;
  }

  void ReadUntilEnd() {
    for (;;) {
      unsigned char chunk[64];
      DWORD got = 0;
      const BOOL ok = ReadFile(input_, chunk, sizeof chunk, &got, nullptr);
      bool finished = false;
      {
        Locked guard(lock_);
        if (ok == FALSE || got == 0) {
          ended_ = true;
          finished = true;
        } else {
          bytes_.insert(bytes_.end(), chunk, chunk + got);
        }
      }
      SetEvent(arrived_);
      if (finished) return;
    }
  }

  HANDLE input_;
  HANDLE arrived_ = nullptr;  // auto-reset: set after every change
  CRITICAL_SECTION lock_;
  std::deque<unsigned char> bytes_;  // guarded by lock_
  bool ended_ = false;               // guarded by lock_
};

bool StandardInputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

class Win32Console final : public Console {
 public:
  Win32Console() : hasConsole_(StandardInputIsConsole()) {
    if (hasConsole_) {
      g_consoleInput = GetStdHandle(STD_INPUT_HANDLE);
      if (GetConsoleMode(g_consoleInput, &g_foundInputMode) &&
          SetConsoleMode(g_consoleInput, ENABLE_PROCESSED_INPUT)) {
        g_inputModeSet = true;
      }
    }
    SetConsoleCtrlHandler(RecordConsoleInterrupt, TRUE);
    if (!hasConsole_) streamKeys_ = new StreamKeys(GetStdHandle(STD_INPUT_HANDLE));
  }
  // The reader thread may still use the stream keys at process exit, so they
  // are never destroyed.
  ~Win32Console() override = default;
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;

  bool KeyWaiting() override {
    return hasConsole_ ? ConsoleKeyWaiting() : streamKeys_->KeyWaiting();
  }

  int ReadKey() override { return hasConsole_ ? ReadConsoleKey() : streamKeys_->ReadKey(); }

  void PutChar(char c) override {
    // Whatever standard output still holds comes first on the screen.
    std::fflush(stdout);
    _putch(static_cast<unsigned char>(c));
  }

  void Beep(unsigned frequencyHz, unsigned durationMs) override {
    std::fflush(stdout);
    ::Beep(frequencyHz, durationMs);
  }

  void Pause1ms() override { SleepEx(1, FALSE); }
  int64_t ClockMs() override { return MonotonicMs(); }

  bool KeysCanArrive() override { return hasConsole_ || streamKeys_->KeysCanArrive(); }

  bool RedrawsLines() override {
    // A console that takes the ANSI sequences (Windows 10 and later, once
    // asked); its output mode is given back at exit.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) == FALSE) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    if (SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == FALSE) return false;
    g_consoleOutput = out;
    g_foundOutputMode = mode;
    g_outputModeSet = true;
    return true;
  }

  int ScreenColumns() override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == FALSE) return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
  }

 private:
  bool hasConsole_;
  StreamKeys* streamKeys_ = nullptr;
};

}  // namespace

// Windows hands out no standard numbers to later opens, and has no signal
// for a closed pipe: a failed write simply fails. The console is made to
// show the program's UTF-8 text (names as the user wrote them), and the
// timer to tick every millisecond, so that a 1 ms pause lasts about that and
// not a 15.6 ms tick; both are given back at exit.
void PrepareProcess() {
  const UINT codePage = GetConsoleOutputCP();  // 0 without a console
  if (codePage != 0 && codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    g_foundOutputCodePage = codePage;
  }
  g_timerPeriodSet = timeBeginPeriod(1) == TIMERR_NOERROR;
  std::atexit(RestoreConsole);
}

Console& PlatformConsole() {
  static Win32Console console;
  return console;
}
