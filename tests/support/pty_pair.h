// A pseudo-terminal pair for tests on POSIX systems: the slave plays the
// serial port (opened by its path), the master plays the far end of the line.
// Every wait on the master is bounded by a poll time-out, so no test hangs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>

class PtyPair {
 public:
  // Generous bound for one wait: the machine may be busy.
  static constexpr int kWaitMs = 5000;

  PtyPair() = default;
  ~PtyPair() { Close(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Opens the pair. The slave descriptor stays open until Close so that the
  // terminal lives while the port under test is closed and reopened.
  bool Open() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      return false;
    }
    slavePath_ = name;
    const int flags = fcntl(master_, F_GETFL);
    return flags >= 0 && fcntl(master_, F_SETFL, flags | O_NONBLOCK) == 0;
  }

  void CloseMaster() { CloseFd(master_); }
  void Close() {
    CloseFd(master_);
    CloseFd(slave_);
  }

  const std::string& SlavePath() const { return slavePath_; }
  int SlaveFd() const { return slave_; }

  // Writes every byte to the far end's output (what the port receives).
  bool SendFromPeer(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
      } else if (put < 0 && errno == EINTR) {
        continue;
      } else if (put < 0 && errno == EAGAIN) {
        if (!WaitFor(master_, POLLOUT)) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // Reads what the port sent until `count` bytes have come or a wait of
  // kWaitMs passes without any.
  std::string ReceiveAtPeer(size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
      if (!WaitFor(master_, POLLIN)) break;
      const size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
      const ssize_t n = read(master_, buffer, want);
      if (n > 0) {
        got.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      } else {
        break;
      }
    }
    return got;
  }

  // Waits (bounded) until the port has input waiting.
  bool WaitForPortInput() { return WaitFor(slave_, POLLIN); }

 private:
  static bool WaitFor(int fd, short events) {
    pollfd entry{fd, events, 0};
    for (;;) {
      const int ready = poll(&entry, 1, kWaitMs);
      if (ready > 0) return (entry.revents & events) != 0;
      if (ready == 0 || errno != EINTR) return false;
    }
  }
  static void CloseFd(int& fd) {
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};
