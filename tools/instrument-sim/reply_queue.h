// What the instrument sends, queued with the time at which each byte may go,
// and when the bytes it receives have arrived.
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
  // With `lineRate`, bytes leave and arrive no faster than 115200 baud, 10
  // bits a byte, in each direction.
  explicit ReplyQueue(bool lineRate) : lineRate_(lineRate) {}

  // Notes a byte from the loader, read at `readAt`, before the instrument
  // takes it. At line rate it has not arrived before one byte time after the
  // later of `readAt` and the previous byte's arrival; what the instrument
  // sends or does in answer is timed from then. Otherwise it arrives as read.
  void Received(SimClock::time_point readAt);

  void Send(const std::string& bytes, int delayMs) override;
  void HangUp() override { hangUpAt_ = ActionTime(); }

  bool HangUpRequested() const { return hangUpAt_.has_value(); }
  // When the line is to be closed; nothing when no hang-up was asked for.
  std::optional<SimClock::time_point> HangUpAt() const { return hangUpAt_; }
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
  SimClock::time_point ActionTime() const;
  SimClock::time_point PaceStart() const;
  size_t BytesAllowed(SimClock::time_point now) const;

  bool lineRate_;
  std::optional<SimClock::time_point> hangUpAt_;
  std::deque<QueuedByte> bytes_;
  SimClock::time_point nextSlot_{};  // line rate: earliest time of the next byte sent
  SimClock::time_point arrival_{};   // line rate: arrival of the last byte received
};
