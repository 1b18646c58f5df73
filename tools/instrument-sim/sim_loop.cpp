#include "sim_loop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopSignal = 0;
sigset_t waitMask;  // the signal mask during the wait: stop signals let through

void OnStopSignal(int signal) { stopSignal = signal; }

timespec ToTimespec(SimClock::duration wait) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::max(wait, SimClock::duration::zero()));
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  return ts;
}

class Loop {
 public:
  Loop(const SimOptions& options, PtyLine& line, Instrument& instrument, ReplyQueue& replies,
       std::FILE* report)
      : options_(options), line_(line), instrument_(instrument), replies_(replies),
        report_(report),
        deadline_(IdleDeadline()) {}

  void Run();

 private:
  // The time-out counts idle time only: it is pushed back by every byte from
  // the loader, so that it never ends a flash that is under way.
  SimClock::time_point IdleDeadline() const {
    return SimClock::now() + std::chrono::seconds(options_.timeoutSeconds);
  }
  bool ShouldStop(SimClock::time_point now);
  SimClock::duration WaitTime(SimClock::time_point now) const;
  void HandleOpenClose();
  void ReadAvailable();
  void LineClosed();
  void Note(const std::string& text) const;

  const SimOptions& options_;
  PtyLine& line_;
  Instrument& instrument_;
  ReplyQueue& replies_;
  std::FILE* report_;
  SimClock::time_point deadline_;
  int openers_ = 0;  // other processes that hold the slave open
  bool waitingForRoom_ = false;
  bool done_ = false;
};

void Loop::Note(const std::string& text) const {
  ReportLine(report_, text);
}

bool Loop::ShouldStop(SimClock::time_point now) {
  if (stopSignal != 0) {
    Note("stopped by signal " + std::to_string(stopSignal));
  } else if (now >= deadline_) {
    Note("time-out: no byte from the loader for " + std::to_string(options_.timeoutSeconds) +
         " s, closing the line");
  } else if (replies_.HangUpAt() && *replies_.HangUpAt() <= now) {
    line_.Close();
    Note("hung up the line");
  } else {
    return done_;
  }
  return true;
}

SimClock::duration Loop::WaitTime(SimClock::time_point now) const {
  SimClock::duration wait = deadline_ - now;
  if (const auto due = replies_.NextDue(); due && !waitingForRoom_) wait = std::min(wait, *due - now);
  if (const auto hangUp = replies_.HangUpAt()) wait = std::min(wait, *hangUp - now);
  return wait;
}

void Loop::Run() {
  for (;;) {
    const SimClock::time_point now = SimClock::now();
    if (ShouldStop(now)) return;
    pollfd fds[2] = {
        {line_.MasterFd(), static_cast<short>(POLLIN | (waitingForRoom_ ? POLLOUT : 0)), 0},
        {line_.WatchFd(), POLLIN, 0}};
    const timespec wait = ToTimespec(WaitTime(now));
    const int ready = ppoll(fds, 2, &wait, &waitMask);
    if (ready < 0 && errno != EINTR) {
      Note("poll failed, errno " + std::to_string(errno));
      return;
    }
    if (ready > 0) {
      if ((fds[0].revents & POLLIN) != 0) ReadAvailable();
      if ((fds[0].revents & POLLOUT) != 0) waitingForRoom_ = false;
      if ((fds[1].revents & POLLIN) != 0) HandleOpenClose();
    }
    if (!done_ && replies_.NextDue() && *replies_.NextDue() <= SimClock::now()) {
      waitingForRoom_ = !replies_.WriteDue(line_.MasterFd(), SimClock::now());
    }
  }
}

// Events are taken one by one, so an open and a close that arrive together
// still make a session of their own.
void Loop::HandleOpenClose() {
  for (int change : line_.TakeOpenCloseEvents()) {
    const int before = openers_;
    openers_ = std::max(0, openers_ + change);
    if (before == 0 && openers_ > 0) instrument_.LineOpened();
    if (before > 0 && openers_ == 0) LineClosed();
  }
}

void Loop::ReadAvailable() {
  uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = read(line_.MasterFd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // EAGAIN: all read
    deadline_ = IdleDeadline();
    const SimClock::time_point readAt = SimClock::now();
    for (ssize_t i = 0; i < n && !replies_.HangUpRequested(); ++i) {
      replies_.Received(readAt);
      instrument_.Receive(buffer[i]);
    }
    if (replies_.HangUpRequested()) return;
  }
}

void Loop::LineClosed() {
  ReadAvailable();  // what the loader wrote before it closed the line
  waitingForRoom_ = false;
  replies_.Discard();
  line_.Release();
  const bool sessionEnded = instrument_.SessionActive();
  instrument_.LineClosed();
  if (options_.once && sessionEnded) done_ = true;
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
    sigaddset(&blocked, signal);
  }
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waitMask, signal);
  std::signal(SIGPIPE, SIG_IGN);
}

void RunSimulator(const SimOptions& options, PtyLine& line, Instrument& instrument,
                  ReplyQueue& replies, std::FILE* report) {
  Loop(options, line, instrument, replies, report).Run();
}
