// The console seam: the few console operations the loader needs. One
// realisation per platform (console_posix.cpp, console_win32.cpp); tests
// install a scripted fake with SetConsole.
#pragma once

class Console {
 public:
  virtual ~Console() = default;
  // True when a key press is waiting; the key is not consumed.
  virtual bool KeyWaiting() = 0;
  // Reads one key without echo, waiting for it if none is waiting yet. Returns
  // the key's code, or -1 when no key can ever come (input closed). Callers
  // that must not wait test KeyWaiting first.
  virtual int ReadKey() = 0;
  // Writes one character straight to the terminal, bypassing standard output.
  virtual void PutChar(char c) = 0;
  // Sounds the speaker; returns when the sound has ended.
  virtual void Beep(unsigned frequencyHz, unsigned durationMs) = 0;
  // Pauses for 1 ms.
  virtual void Pause1ms() = 0;
  // False once no key press can ever arrive (input closed, no terminal), so
  // that a wait which only a key could end gets a bound instead.
  virtual bool KeysCanArrive() = 0;
};

constexpr int kKeyEscape = 0x1B;

// The console the program talks to: the platform's unless a test installed another.
Console& TheConsole();
// Installs `console` (nullptr restores the platform console). For tests.
void SetConsole(Console* console);
// The platform's console; prepares the terminal on first use and restores it
// at every exit of the process.
Console& PlatformConsole();
