#include "pty_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Raw 8N1 with no flow control, so a user's program that opens the slave
// without setting a mode still sees every byte unchanged.
bool SetRawLine(const std::string& slavePath, std::string& error) {
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    error = SystemError("open of the pty slave");
    return false;
  }
  termios settings{};
  bool ok = tcgetattr(slave, &settings) == 0;
  if (ok) {
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    ok = tcsetattr(slave, TCSANOW, &settings) == 0;
  }
  if (!ok) error = SystemError("setting the pty line mode");
  close(slave);
  return ok;
}

}  // namespace

bool PtyLine::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) {
    error = SystemError("posix_openpt");
    return false;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = SystemError("grantpt/unlockpt");
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error = SystemError("ptsname");
    return false;
  }
  slavePath_ = name;
  if (!SetRawLine(slavePath_, error)) return false;
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = SystemError("fcntl O_NONBLOCK");
    return false;
  }
  return true;
}

void PtyLine::Close() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}
