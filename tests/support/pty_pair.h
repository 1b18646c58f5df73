// A pseudo-terminal pair for tests on POSIX systems: the slave plays the
// serial port (opened by its path), the master the far end of the line.
// Every wait is bounded by a poll time-out, so no test hangs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>

class PtyPair {
 public:
  static constexpr int kWaitMs = 5000;  // generous: the machine may be busy

  ~PtyPair() { Close(); }

  // The slave descriptor stays open until Close, so the terminal lives while
  // the port under test is closed and reopened.
  bool Open() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return false;
    slavePath_ = name;
    return fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) == 0;
  }
  void CloseMaster() { CloseFd(master_); }
  void Close() {
    CloseFd(master_);
    CloseFd(slave_);
  }
  const std::string& SlavePath() const { return slavePath_; }
  int SlaveFd() const { return slave_; }

  // Writes a few bytes towards the port; an empty terminal takes them at once.
  bool SendFromPeer(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // What the port sent, until `count` bytes or a wait of kWaitMs without any.
  std::string ReceiveAtPeer(size_t count) {
    std::string got(count, '\0');
    size_t done = 0;
    while (done < count && WaitFor(master_, POLLIN)) {
      const ssize_t n = read(master_, &got[done], count - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        break;
      }
    }
    got.resize(done);
    return got;
  }

  bool WaitForPortInput() { return WaitFor(slave_, POLLIN); }

 private:
  static bool WaitFor(int fd, short events) {
    pollfd entry{fd, events, 0};
    int ready = 0;
    do {
      ready = poll(&entry, 1, kWaitMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & events) != 0;
  }
  static void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};
