// The console on POSIX systems.
//
// Keys come from the controlling terminal (/dev/tty), as a Windows console is
// read whatever standard input is; the terminal is switched to non-canonical
// mode without echo for the run (signals kept, so Ctrl-C still works) and put
// back at every exit. Without a terminal, standard input supplies the keys as
// bytes, and its end means that no key will ever come.
//
// A lone ESC is the ESC key. ESC followed at once by "[" or "O" is an escape
// sequence (arrow and function keys) and counts as one key that is not ESC,
// as on Windows, where those keys arrive as a two-byte code.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "console/clock.h"
#include "console/console.h"

namespace {


int g_ttyFd = -1;  // the terminal, or -1
struct termios g_savedTermios;
struct termios g_runTermios;  // the run's settings: no line editing, no echo
volatile sig_atomic_t g_termiosSaved = 0;

// Only the foreground job may set its terminal: a job in the background that
// tries is stopped (SIGTTOU), and the terminal is then the shell's anyway.
bool InForeground() { return tcgetpgrp(g_ttyFd) == getpgrp(); }

void RestoreTerminal() {
  if (g_termiosSaved != 0 && g_ttyFd >= 0 && InForeground()) {
    tcsetattr(g_ttyFd, TCSANOW, &g_savedTermios);
  }
}

void ApplyRunSettings() {
  if (g_termiosSaved != 0 && g_ttyFd >= 0 && InForeground()) {
    tcsetattr(g_ttyFd, TCSANOW, &g_runTermios);
  }
}

extern "C" void RestoreTerminalAtExit() { RestoreTerminal(); }

extern "C" void RestoreTerminalOnSignal(int signalNumber) {
  RestoreTerminal();
  _exit(128 + signalNumber);
}

// Ctrl-C, SIGTERM and a hang-up (the terminal closed, an ssh link lost) are
// recorded, and the run ends through its verdict and its flash record at its
// next check. Should it not end, the third one restores the terminal and ends
// the process at once.
extern "C" void RecordInterruptSignal(int signalNumber) {
  if (RecordInterrupt(signalNumber) >= 3) RestoreTerminalOnSignal(signalNumber);
}

void InstallInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = RecordInterruptSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored by whoever started the program (a background job,
    // nohup) stays ignored.
    struct sigaction before = {};
    if (sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

// Job control, as full-screen terminal programs do it: the terminal is put
// back before the loader stops (Ctrl-Z, SIGTSTP) or dumps core (Ctrl-\,
// SIGQUIT), and set up again when it goes on (SIGCONT), whatever the shell
// did with it meanwhile.
void SetHandler(int signalNumber, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

// The terminal put back, then the signal's own action (stop, or end with a
// core dump), as if it had not been caught.
void RestoreThenTakeDefault(int signalNumber) {
  RestoreTerminal();
  SetHandler(signalNumber, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, signalNumber);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(signalNumber);
}

extern "C" void StopWithTerminalRestored(int) {
  const int savedErrno = errno;
  RestoreThenTakeDefault(SIGTSTP);
  // Going on, or never stopped (a stop is not taken by a group that no shell
  // controls): the run's settings again.
  SetHandler(SIGTSTP, StopWithTerminalRestored);
  ApplyRunSettings();
  errno = savedErrno;
}

extern "C" void QuitWithTerminalRestored(int) { RestoreThenTakeDefault(SIGQUIT); }

extern "C" void ContinueWithRunSettings(int) {
  const int savedErrno = errno;
  ApplyRunSettings();
  errno = savedErrno;
}

void InstallJobControlHandlers() {
  SetHandler(SIGTSTP, StopWithTerminalRestored);
  SetHandler(SIGCONT, ContinueWithRunSettings);
  SetHandler(SIGQUIT, QuitWithTerminalRestored);
}

void SleepMs(long ms) {
  struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

// Every standard descriptor that is closed is opened on /dev/null; false
// when that cannot be done.
bool OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number: this one, as those below it are open.
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

// A write to a pipe without a reader then fails with EPIPE instead.
void IgnoreBrokenPipes() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

class PosixConsole final : public Console {
 public:
  PosixConsole() {
    InstallInterruptHandlers();
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    // A job started in the background (with &) leaves the terminal alone: it
    // sets no modes, reads no keys and writes nothing to it, or SIGTTOU and
    // SIGTTIN would stop it. Its keys come from standard input when that is
    // no terminal, as without one.
    if (tty >= 0 && isatty(tty) != 0 && tcgetpgrp(tty) != getpgrp()) {
      close(tty);
      if (isatty(STDIN_FILENO) == 0) keyFd_ = STDIN_FILENO;
      return;
    }
    if (tty >= 0 && isatty(tty) != 0 && tcgetattr(tty, &g_savedTermios) == 0) {
      g_ttyFd = tty;
      keyFd_ = tty;
      g_runTermios = g_savedTermios;
      g_runTermios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      // Ctrl-C must not throw away what the terminal has not shown yet (the
      // last spinner step before the report of the interrupt).
      g_runTermios.c_lflag |= NOFLSH;
      g_runTermios.c_cc[VMIN] = 0;
      g_runTermios.c_cc[VTIME] = 0;
      g_termiosSaved = 1;
      std::atexit(RestoreTerminalAtExit);
      InstallJobControlHandlers();
      tcsetattr(tty, TCSANOW, &g_runTermios);
    } else {
      if (tty >= 0) close(tty);
      keyFd_ = STDIN_FILENO;
    }
  }

  bool KeyWaiting() override {
    if (pending_.empty()) Fill(0);
    return !pending_.empty();
  }

  bool RedrawsLines() override {
    // Only the program's own terminal, while it is in the foreground there,
    // and one that knows the sequences.
    const char* term = std::getenv("TERM");
    return g_ttyFd >= 0 && isatty(STDOUT_FILENO) != 0 && tcgetpgrp(STDOUT_FILENO) == getpgrp() &&
           term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
  }

  int ScreenColumns() override {
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
  }

  int ReadKey() override {
    // Waits for a key as the Windows console does; only a key press, the
    // end of input or a pending interrupt ends the wait.
    return ReadStreamKey([this](int waitMs, bool take) { return NextByte(waitMs, take); });
  }

  void PutChar(char c) override {
    if (g_ttyFd < 0) return;
    std::fflush(stdout);
    while (write(g_ttyFd, &c, 1) < 0 && errno == EINTR) {
    }
  }

  void Beep(unsigned frequencyHz, unsigned durationMs) override {
    (void)frequencyHz;  // a terminal bell has no pitch
    std::fflush(stdout);
    if (g_ttyFd >= 0) {
      const char bell = '\a';
      while (write(g_ttyFd, &bell, 1) < 0 && errno == EINTR) {
      }
    }
    SleepMs(static_cast<long>(durationMs));
  }

  void Pause1ms() override { SleepMs(1); }
  int64_t ClockMs() override { return MonotonicMs(); }

  bool KeysCanArrive() override {
    if (pending_.empty()) Fill(0);
    return !pending_.empty() || (!ended_ && keyFd_ >= 0);
  }

 private:
  // Reads whatever has arrived, waiting at most `waitMs` for the first byte.
  // Keys wait while the job is in the background (Ctrl-Z, bg): a read of the
  // terminal there would stop it.
  void Fill(int waitMs) {
    if (ended_ || keyFd_ < 0) return;
    if (keyFd_ == g_ttyFd && !InForeground()) return;
    struct pollfd pfd = {keyFd_, POLLIN, 0};
    int ready;
    while ((ready = poll(&pfd, 1, waitMs)) < 0 && errno == EINTR && !InterruptPending()) {
    }
    if (ready <= 0) return;
    if ((pfd.revents & POLLNVAL) != 0) {
      ended_ = true;
      return;
    }
    unsigned char bytes[64];
    ssize_t got;
    while ((got = read(keyFd_, bytes, sizeof bytes)) < 0 && errno == EINTR) {
    }
    if (got <= 0) {
      // End of input (or a terminal that went away): no key will ever come.
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
      return;
    }
    pending_.insert(pending_.end(), bytes, bytes + got);
  }

  // The next key byte, waiting at most `waitMs` for it (-1: until one comes
  // or the input ends); -1 when none came. Consumed only when `take`.
  int NextByte(int waitMs, bool take) {
    // An endless wait is taken in slices, so that an interrupt that came
    // just before a slice began ends it all the same.
    constexpr int kInterruptCheckMs = 100;
    do {
      if (pending_.empty()) Fill(waitMs < 0 ? kInterruptCheckMs : waitMs);
    } while (waitMs < 0 && pending_.empty() && !ended_ && keyFd_ >= 0 && !InterruptPending());
    if (pending_.empty()) return -1;
    const int byte = pending_.front();
    if (take) pending_.pop_front();
    return byte;
  }

  int keyFd_ = -1;
  bool ended_ = false;
  std::deque<unsigned char> pending_;
};

}  // namespace

void PrepareProcess() {
  // Without its standard descriptors safe the run could send its own text to
  // the instrument: it does not start.
  if (!OpenClosedStandardDescriptors()) _exit(1);
  IgnoreBrokenPipes();
}

Console& PlatformConsole() {
  static PosixConsole console;
  return console;
}
