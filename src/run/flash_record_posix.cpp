#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "run/flash_record.h"

std::string HostName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string UserName() {
  if (const passwd* user = getpwuid(geteuid())) return user->pw_name;
  const char* name = std::getenv("USER");
  return name != nullptr ? name : std::to_string(geteuid());
}

bool AppendToLog(const std::string& path, const std::string& line, std::string& error) {
  // Non-blocking, so that a pipe nobody reads can never hold the run at its end.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    error = written < 0 ? std::strerror(errno) : "the record was cut short (disk full?)";
  }
  // Half a line would glue the next record to it and spoil the log for every
  // JSON reader: the part written is taken back.
  if (written > 0 && written != static_cast<ssize_t>(line.size())) {
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= written && ftruncate(fd, end - written) != 0) error += "; a part of it is left";
  }
  if (close(fd) != 0 && error.empty()) error = std::strerror(errno);
  return error.empty();
}
