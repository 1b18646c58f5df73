// What the instrument sends, queued with the time at which each byte may go.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

using SimClock = std::chrono::steady_clock;

// Where the instrument's protocol logic sends its bytes.
class ReplySink {
 public:
  virtual ~ReplySink() = default;
  // Queues `bytes` to go out `delayMs` after now, and after everything queued
  // before them.
  virtual void Send(const std::string& bytes, int delayMs) = 0;
  // Asks for the line to be closed (the instrument hangs up).
  virtual void HangUp() = 0;
};

class ReplyQueue : public ReplySink {
 public:
  // With `lineRate`, bytes leave no faster than 115200 baud, 10 bits a byte.
  explicit ReplyQueue(bool lineRate) : lineRate_(lineRate) {}

  void Send(const std::string& bytes, int delayMs) override;
  void HangUp() override { hangUpRequested_ = true; }

  bool HangUpRequested() const { return hangUpRequested_; }
  // Drops everything queued (the other end has gone).
  void Discard() { bytes_.clear(); }
  // When the next byte may be written; nothing when the queue is empty.
  std::optional<SimClock::time_point> NextDue() const;
  // Writes the bytes that are due to the non-blocking `fd`. Returns false when
  // the descriptor would not take them all (wait for POLLOUT, then call again).
  bool WriteDue(int fd, SimClock::time_point now);

 private:
  struct QueuedByte {
    SimClock::time_point due;
    uint8_t value;
  };
  SimClock::time_point PaceStart() const;
  size_t BytesAllowed(SimClock::time_point now) const;

  bool lineRate_;
  bool hangUpRequested_ = false;
  std::deque<QueuedByte> bytes_;
  SimClock::time_point nextSlot_{};  // line rate: earliest time of the next byte
};
