#include "run/port_messages.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool IsOwnTerminal(const std::string& path) {
  struct stat port {};
  if (stat(path.c_str(), &port) != 0 || !S_ISCHR(port.st_mode)) return false;
  // The controlling terminal by its real device: /dev/tty itself is another
  // device number, and no standard descriptor need be on the terminal.
  const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (tty >= 0) {
    unsigned int device = 0;
    const bool same = ioctl(tty, TIOCGDEV, &device) == 0 && device == port.st_rdev;
    close(tty);
    if (same) return true;
  }
  struct stat own {};
  if (stat("/dev/tty", &own) == 0 && own.st_rdev == port.st_rdev) return true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (isatty(fd) != 0 && fstat(fd, &own) == 0 && own.st_rdev == port.st_rdev) return true;
  }
  return false;
}

std::string PortDeviceShown(const std::string& label, const std::string& path) {
  return path == label ? label : label + " (" + path + ")";
}

std::string SystemCodeText(uint32_t code) { return "errno " + std::to_string(code); }

// A vanished terminal says no more than that it has gone; one that stopped
// taking bytes ended a write by its time limit.
std::string LostReasonWords(const SerialError& error) {
  if (error.fault != SerialFault::kGone) return "error";
  return error.code == ETIMEDOUT ? "the device stopped responding" : "device removed";
}

std::string PermissionAdvice() {
  return "permission denied. Join the dialout group with sudo usermod -aG dialout $USER, then log "
         "in again.";
}
