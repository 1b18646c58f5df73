// A scriptable serial device behind CommApi: what it reports, any step made to
// fail, input that arrives after a number of polls (status queries: every
// CSerial::Read, Write, WriteString and Purge makes one first), and what the
// program gave it.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "serial/comm_api.h"

// The device operations that can be made to fail, one per CommApi call.
enum class FakeCommStep {
  kOpen, kProperties, kSetup, kGetState, kSetState, kTimeouts,
  kStatus, kRead, kWrite, kWait, kSleep, kCreateEvent, kClose
};

class FakeCommApi final : public CommApi {
  using Step = FakeCommStep;

 public:
  // How ReadFile and WriteFile finish: at once; in the background, the count
  // then given by GetOverlappedResult; or (writes) at once and one byte short.
  enum class Completion { kNow, kPending, kShort };

  // What the device reports; `dcb`, `timeouts` and `setup` then what the program last set.
  CommProperties maxima;
  CommDcb dcb;
  uint32_t outQueue = 0;  // cbOutQue
  Completion completion = Completion::kNow;
  CommTimeouts timeouts;
  std::pair<uint32_t, uint32_t> setup;
  std::vector<std::string> opened;  // every name CreateFileA was given
  std::set<CommHandle> events;      // made and not yet released
  std::string written;              // every byte the device took
  uint32_t polls = 0;
  long* sleptMs = nullptr;  // when set, every WaitForInput adds its whole time: nothing came

  // A failing step does nothing and fails, GetLastError giving `error`, until set back.
  void SetFailing(Step step, bool failing = true, uint32_t error = kErrorInvalidParameter) {
    failing ? void(failing_[step] = error) : void(failing_.erase(step));
  }
  // `bytes` arrive once `afterPolls` more polls have gone by (0: at once), in the order queued.
  void QueueInput(const std::string& bytes, uint32_t afterPolls = 0) {
    if (afterPolls == 0 && scheduled_.empty()) input_ += bytes;
    else scheduled_.emplace_back(polls + afterPolls + 1, bytes);
  }
  // Called with the bytes of every write the device took; may queue an answer.
  void SetWriteHandler(std::function<void(FakeCommApi&, const std::string&)> handler) {
    writeHandler_ = std::move(handler);
  }
  // Takes every byte not read yet, arrived or still to arrive.
  std::string TakeInput() {
    for (; !scheduled_.empty(); scheduled_.pop_front()) input_ += scheduled_.front().second;
    return std::exchange(input_, std::string());
  }
  bool PortOpen() const { return port_ != kNoCommHandle; }

  CommHandle CreateFileA(const std::string& deviceName) override {
    opened.push_back(deviceName);
    return Refuses(Step::kOpen, kNoCommHandle) ? kInvalidCommHandle : port_ = nextHandle_++;
  }
  bool GetCommProperties(CommHandle port, CommProperties& to) override {
    return Copy(Step::kProperties, port, maxima, to);
  }
  bool SetupComm(CommHandle port, uint32_t rx, uint32_t tx) override {
    return Copy(Step::kSetup, port, std::make_pair(rx, tx), setup);
  }
  bool GetCommState(CommHandle port, CommDcb& to) override {
    return Copy(Step::kGetState, port, dcb, to);
  }
  bool SetCommState(CommHandle port, const CommDcb& from) override {
    return Copy(Step::kSetState, port, from, dcb);
  }
  bool SetCommTimeouts(CommHandle port, const CommTimeouts& from) override {
    return Copy(Step::kTimeouts, port, from, timeouts);
  }
  bool ClearCommError(CommHandle port, CommStatus& status) override {
    if (Refuses(Step::kStatus, port)) return false;
    ++polls;
    for (; !scheduled_.empty() && scheduled_.front().first <= polls; scheduled_.pop_front()) {
      input_ += scheduled_.front().second;
    }
    status = CommStatus{static_cast<uint32_t>(input_.size()), outQueue};
    return true;
  }
  CommIoResult ReadFile(CommHandle port, void* buffer, uint32_t count, uint32_t& transferred,
                        CommIo&) override {
    if (Refuses(Step::kRead, port)) return CommIoResult::kFailed;
    const uint32_t taken = std::min<uint32_t>(count, static_cast<uint32_t>(input_.size()));
    input_.copy(static_cast<char*>(buffer), taken);
    input_.erase(0, taken);
    return Finish(taken, transferred);
  }
  CommIoResult WriteFile(CommHandle port, const void* buffer, uint32_t count, uint32_t& transferred,
                         CommIo&) override {
    if (Refuses(Step::kWrite, port)) return CommIoResult::kFailed;
    const uint32_t taken = completion == Completion::kShort && count > 0 ? count - 1 : count;
    const std::string bytes(static_cast<const char*>(buffer), taken);
    written += bytes;
    if (writeHandler_) writeHandler_(*this, bytes);
    return Finish(taken, transferred);
  }
  bool GetOverlappedResult(CommHandle port, CommIo&, uint32_t& transferred) override {
    return Copy(Step::kWait, port, pending_, transferred);
  }
  bool WaitForInput(CommHandle port, CommIo&, uint32_t timeoutMs) override {
    if (Refuses(Step::kSleep, port)) return false;
    if (sleptMs != nullptr) *sleptMs += timeoutMs;
    return true;
  }
  CommHandle CreateEventA() override {
    return failing_.count(Step::kCreateEvent) ? kNoCommHandle : *events.insert(nextHandle_++).first;
  }
  bool CloseHandle(CommHandle handle) override {
    const bool isPort = handle != kNoCommHandle && handle == port_;
    if (isPort) port_ = kNoCommHandle;
    // A failing release still gives the handle up, as CloseHandle does.
    return (events.erase(handle) != 0 || isPort) && failing_.count(Step::kClose) == 0;
  }
  uint32_t GetLastError() override { return lastError_; }

 private:
  // True, with the reason for GetLastError, when the step is to fail or (for
  // calls on a port) `port` is not the open port.
  bool Refuses(Step step, CommHandle port) {
    const auto failing = failing_.find(step);
    const bool notThePort = step != Step::kOpen && (port == kNoCommHandle || port != port_);
    if (failing == failing_.end() && !notThePort) return false;
    lastError_ = failing != failing_.end() ? failing->second : kErrorInvalidHandle;
    return true;
  }
  // One record handed over in the direction of the call, unless refused.
  template <typename T>
  bool Copy(Step step, CommHandle port, const T& from, T& to) {
    if (Refuses(step, port)) return false;
    to = from;
    return true;
  }
  CommIoResult Finish(uint32_t taken, uint32_t& transferred) {
    const bool pending = completion == Completion::kPending;
    (pending ? pending_ : transferred) = taken;
    return pending ? CommIoResult::kPending : CommIoResult::kDone;
  }

  std::map<Step, uint32_t> failing_;  // step, its error code
  uint32_t lastError_ = 0;
  std::string input_;  // arrived, not yet read
  std::deque<std::pair<uint32_t, std::string>> scheduled_;  // due poll, bytes
  std::function<void(FakeCommApi&, const std::string&)> writeHandler_;
  uint32_t pending_ = 0;  // the count of the transfer in the background
  CommHandle port_ = kNoCommHandle;
  CommHandle nextHandle_ = 0x100;
};
