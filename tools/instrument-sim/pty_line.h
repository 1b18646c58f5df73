// The instrument's end of the serial line: the master side of a new
// pseudo-terminal. The loader opens the slave side as its serial port.
//
// The simulator holds the slave open itself for its whole life, so the line
// keeps its mode and the master never reports a hang-up between loader runs.
// Opens and closes of the slave by other processes are watched with inotify;
// when the last of them has closed it, the line is released: the exclusive
// mode (TIOCEXCL) that a loader set is cleared, which a later open by
// another user would otherwise meet as EBUSY. The simulator never locks the
// slave (flock), so a loader's exclusive lock succeeds.
#pragma once

#include <string>
#include <vector>

class PtyLine {
 public:
  PtyLine() = default;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;
  ~PtyLine() { Close(); }

  // Creates the pseudo-terminal, sets its line to raw 8N1 at 115200 (the
  // loader sets its own mode as well), makes the master non-blocking and
  // starts watching the slave. False with `error` on failure.
  bool Open(std::string& error);
  // Closes both sides: a loader that has the slave open sees a hang-up.
  void Close();

  int MasterFd() const { return master_; }
  int WatchFd() const { return watch_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Takes the pending open and close events of other processes, in order:
  // +1 for an open, -1 for a close.
  std::vector<int> TakeOpenCloseEvents();
  // After the last other opener has gone: clears the exclusive mode and
  // drops what was sent to the line and not read.
  void Release();

 private:
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  std::string slavePath_;
};
