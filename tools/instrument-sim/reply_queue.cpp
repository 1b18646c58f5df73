#include "reply_queue.h"

#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// One start bit, 8 data bits and one stop bit at 115200 baud: 86.8 us.
constexpr std::chrono::nanoseconds kByteTime{86806};

}  // namespace

void ReplyQueue::Received(SimClock::time_point readAt) {
  if (lineRate_) arrival_ = std::max(arrival_, readAt) + kByteTime;
}

// The instrument cannot answer a byte before it has arrived; bytes sent
// unprompted (junk at line open) go from now.
SimClock::time_point ReplyQueue::ActionTime() const {
  return std::max(SimClock::now(), arrival_);
}

void ReplyQueue::Send(const std::string& bytes, int delayMs) {
  SimClock::time_point due = ActionTime() + std::chrono::milliseconds(delayMs);
  if (!bytes_.empty()) due = std::max(due, bytes_.back().due);
  for (char c : bytes) bytes_.push_back({due, static_cast<uint8_t>(c)});
}

std::optional<SimClock::time_point> ReplyQueue::NextDue() const {
  if (bytes_.empty()) return std::nullopt;
  return lineRate_ ? PaceStart() : bytes_.front().due;
}

// Without pacing every due byte may go. With it, bytes leave one byte time
// apart, counted from the later of the last slot and the first byte's due
// time; a late wake-up catches up to that pace but never runs ahead of it.
SimClock::time_point ReplyQueue::PaceStart() const {
  return std::max(nextSlot_, bytes_.front().due);
}

size_t ReplyQueue::BytesAllowed(SimClock::time_point now) const {
  if (!lineRate_) return bytes_.size();
  const SimClock::time_point start = PaceStart();
  if (now < start) return 0;
  return static_cast<size_t>((now - start) / kByteTime) + 1;
}

bool ReplyQueue::WriteDue(int fd, SimClock::time_point now) {
  if (bytes_.empty()) return true;
  const size_t allowed = BytesAllowed(now);
  std::vector<uint8_t> chunk;
  for (const QueuedByte& b : bytes_) {
    if (chunk.size() >= allowed || b.due > now) break;
    chunk.push_back(b.value);
  }
  if (chunk.empty()) return true;
  ssize_t written;
  do {
    written = write(fd, chunk.data(), chunk.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    Discard();  // the line is gone; nothing queued can reach anyone
    return true;
  }
  if (lineRate_) nextSlot_ = PaceStart() + kByteTime * written;
  bytes_.erase(bytes_.begin(), bytes_.begin() + written);
  return static_cast<size_t>(written) == chunk.size();
}
