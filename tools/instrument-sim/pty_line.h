// The instrument's end of the serial line: the master side of a new
// pseudo-terminal. The loader opens the slave side as its serial port.
//
// The simulator does not keep the slave open itself, so that the loader's
// exclusive open (TIOCEXCL, flock) stays the only one and its close is seen
// here: while no process holds the slave open, the master reports POLLHUP.
#pragma once

#include <string>

class PtyLine {
 public:
  PtyLine() = default;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;
  ~PtyLine() { Close(); }

  // Creates the pseudo-terminal, sets its line to raw 8N1 at 115200 (the
  // loader sets its own mode as well) and makes the master non-blocking.
  // False with `error` on failure.
  bool Open(std::string& error);
  void Close();

  int MasterFd() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  std::string slavePath_;
};
