#include "pty_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Raw 8N1 with no flow control, so a program that opens the slave without
// setting a mode still sees every byte unchanged.
bool SetRawLine(int slave, std::string& error) {
  termios settings{};
  if (tcgetattr(slave, &settings) != 0) {
    error = SystemError("tcgetattr on the pty slave");
    return false;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  if (tcsetattr(slave, TCSANOW, &settings) != 0) {
    error = SystemError("tcsetattr on the pty slave");
    return false;
  }
  return true;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
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
  slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    error = SystemError("open of the pty slave");
    return false;
  }
  if (!SetRawLine(slave_, error)) return false;
  if (!SetNonBlocking(master_)) {
    error = SystemError("fcntl O_NONBLOCK");
    return false;
  }
  // The watch starts after the simulator's own open, so it sees only others'.
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ < 0 || inotify_add_watch(watch_, slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    error = SystemError("inotify on the pty slave");
    return false;
  }
  return true;
}

std::vector<int> PtyLine::TakeOpenCloseEvents() {
  std::vector<int> events;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(watch_, buffer, sizeof buffer);
    if (n <= 0) return events;
    for (ssize_t at = 0; at < n;) {
      inotify_event header;
      std::memcpy(&header, buffer + at, sizeof header);
      if ((header.mask & IN_OPEN) != 0) events.push_back(+1);
      if ((header.mask & IN_CLOSE) != 0) events.push_back(-1);
      at += static_cast<ssize_t>(sizeof header + header.len);
    }
  }
}

void PtyLine::Release() {
  ioctl(slave_, TIOCNXCL);
  tcflush(slave_, TCIFLUSH);
}

void PtyLine::Close() {
  for (int* fd : {&watch_, &slave_, &master_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
