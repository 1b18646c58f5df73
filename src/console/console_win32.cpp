// The console on Windows.
//
// With a console on standard input, keys come from the console's keyboard
// through the C runtime's _kbhit and _getch, and the spinner goes straight to
// the console with _putch. Keys that the console delivers as two codes (the
// 0x00 or 0xE0 prefix of arrow and function keys) are read as one key,
// outside the byte range, so that they never count as ESC.
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

#include <conio.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <deque>

#include "console/console.h"

namespace {

// Key code of an extended key: 0x100 plus the code that follows the prefix.
constexpr int kExtendedKeyBase = 0x100;

bool IsExtendedKeyPrefix(int code) { return code == 0x00 || code == 0xE0; }

// How long a wait for a key goes without looking for an interrupt.
constexpr DWORD kInterruptCheckMs = 100;

// The console's input when keys come from it, else null.
HANDLE g_consoleInput = nullptr;
// Set while a key read may wait in _getch.
std::atomic<bool> g_readingKey{false};

// A key read waits in _getch, which a Ctrl-C does not end: a key record put
// into the console's input ends it, and the reader then sees the interrupt.
// Only then: at other times the record would read as a key press.
void WakeKeyRead() {
  if (g_consoleInput == nullptr || !g_readingKey.load()) return;
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.uChar.AsciiChar = 0x03;
  DWORD written = 0;
  WriteConsoleInputA(g_consoleInput, &record, 1, &written);
}

// Ctrl-C and Ctrl-Break are recorded as SIGINT, for the run to end through
// its verdict; should it not end, the third one is left to the system, which
// ends the process. Runs on a thread of its own.
BOOL WINAPI RecordConsoleInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (RecordInterrupt(SIGINT) >= 3) return FALSE;
  WakeKeyRead();
  return TRUE;
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
    const DWORD start = GetTickCount();
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
        const DWORD spent = GetTickCount() - start;  // unsigned: wraps correctly
        if (spent >= waitMs) return -1;
        if (waitMs - spent < wait) wait = waitMs - spent;
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
    if (hasConsole_) g_consoleInput = GetStdHandle(STD_INPUT_HANDLE);
    SetConsoleCtrlHandler(RecordConsoleInterrupt, TRUE);
    if (!hasConsole_) streamKeys_ = new StreamKeys(GetStdHandle(STD_INPUT_HANDLE));
  }
  // The reader thread may still use the stream keys at process exit, so they
  // are never destroyed.
  ~Win32Console() override = default;
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;

  bool KeyWaiting() override { return hasConsole_ ? _kbhit() != 0 : streamKeys_->KeyWaiting(); }

  int ReadKey() override {
    if (!hasConsole_) return streamKeys_->ReadKey();
    // Marked before the interrupt is looked at, so that a Ctrl-C either is
    // seen here or wakes the _getch below (WakeKeyRead).
    g_readingKey.store(true);
    const int code = InterruptPending() ? -1 : _getch();
    g_readingKey.store(false);
    if (InterruptPending()) return -1;
    if (IsExtendedKeyPrefix(code)) return kExtendedKeyBase + _getch();
    return code;
  }

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
  int64_t ClockMs() override {
    // The performance counter: monotonic, and finer than the 10-16 ms of
    // the tick count.
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000 +
           count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
  }

  bool KeysCanArrive() override { return hasConsole_ || streamKeys_->KeysCanArrive(); }

 private:
  bool hasConsole_;
  StreamKeys* streamKeys_ = nullptr;
};

}  // namespace

// Windows hands out no standard numbers to later opens, and has no signal
// for a closed pipe: a failed write simply fails.
void PrepareProcess() {}

Console& PlatformConsole() {
  static Win32Console console;
  return console;
}
