// A scriptable serial device: failing steps, input due after a number of
// polls (every Read, Write and Purge is one), and what the program gave it.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "serial/serial_device.h"

enum class FakeSerialStep { kOpen, kConfigure, kRead, kWait, kWrite, kPurge, kClose };

class FakeSerialDevice final : public SerialDevice {
  using Step = FakeSerialStep;

 public:
  LineSettings line;                // the settings last applied
  std::vector<std::string> opened;  // every name Open was given
  std::string written;              // every byte the device took
  uint32_t polls = 0;
  bool shortWrites = false;  // each write takes one byte less than it was given
  long* sleptMs = nullptr;   // when set, every wait adds its whole time: nothing came

  // A failing step does nothing and fails with `error` until set back; a
  // failing configuration closes the device when `closes`.
  void SetFailing(Step step, bool failing = true, SerialError error = {SerialFault::kOther, 1},
                  bool closes = false) {
    failing ? void(failing_[step] = error) : void(failing_.erase(step));
    closesOnFailure_ = closes;
  }
  // `bytes` arrive once `afterPolls` more polls have gone by (0: at once), in the order queued.
  void QueueInput(const std::string& bytes, uint32_t afterPolls = 0) {
    if (afterPolls == 0 && scheduled_.empty()) input_ += bytes;
    else scheduled_.emplace_back(polls + afterPolls + 1, bytes);
  }
  // Called with the bytes of every write the device took; may queue an answer.
  void SetWriteHandler(std::function<void(FakeSerialDevice&, const std::string&)> handler) {
    writeHandler_ = std::move(handler);
  }
  // Takes every byte not read yet, arrived or still to arrive.
  std::string TakeInput() {
    for (; !scheduled_.empty(); scheduled_.pop_front()) input_ += scheduled_.front().second;
    return std::exchange(input_, std::string());
  }

  bool Open(const std::string& name) override {
    opened.push_back(name);
    return !Refuses(Step::kOpen) && (open_ = true);
  }
  bool Configure(const LineSettings& settings) override {
    if (Refuses(Step::kConfigure)) return open_ = open_ && !closesOnFailure_, false;
    return line = settings, true;
  }
  bool IsOpen() const override { return open_; }
  bool Read(void* buffer, uint32_t count, uint32_t& got) override {
    got = Poll(Step::kRead) ? std::min<uint32_t>(count, static_cast<uint32_t>(input_.size())) : 0;
    input_.copy(static_cast<char*>(buffer), got);
    input_.erase(0, got);
    return !Refuses(Step::kRead);
  }
  bool WaitForInput(uint32_t timeoutMs) override {
    if (Refuses(Step::kWait)) return false;
    if (sleptMs != nullptr) *sleptMs += timeoutMs;
    return true;
  }
  bool Write(const void* buffer, uint32_t count, uint32_t& sent) override {
    sent = Poll(Step::kWrite) ? count - shortWrites : 0;
    written.append(static_cast<const char*>(buffer), sent);
    if (sent != 0 && writeHandler_) writeHandler_(*this, written.substr(written.size() - sent));
    return !Refuses(Step::kWrite);
  }
  bool Purge() override {
    const size_t waiting = input_.size();  // arrivals during the purge stay
    return Poll(Step::kPurge) && (input_.erase(0, waiting), true);
  }
  bool Close() override { return std::exchange(open_, false) && !Refuses(Step::kClose); }
  SerialError Error() const override { return error_; }

 private:
  // True, with the error, when the step is to fail.
  bool Refuses(Step step) {
    const auto failing = failing_.find(step);
    return failing != failing_.end() && (error_ = failing->second, true);
  }
  // A poll: scheduled input arrives. False when the step is to fail.
  bool Poll(Step step) {
    if (Refuses(step)) return false;
    for (++polls; !scheduled_.empty() && scheduled_.front().first <= polls; scheduled_.pop_front()) {
      input_ += scheduled_.front().second;
    }
    return true;
  }

  std::map<Step, SerialError> failing_;
  bool closesOnFailure_ = false;
  bool open_ = false;
  SerialError error_;
  std::string input_;  // arrived, not yet read
  std::deque<std::pair<uint32_t, std::string>> scheduled_;  // due poll, bytes
  std::function<void(FakeSerialDevice&, const std::string&)> writeHandler_;
};
