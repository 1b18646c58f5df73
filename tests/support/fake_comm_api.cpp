#include "support/fake_comm_api.h"

#include <algorithm>

// A port as a driver might leave it: 9600 baud 7E2, XON/XOFF and hardware
// flow control on, limits of its own, an end-of-file character.
FakeCommApi::FakeCommApi()
    : dcb_{9600,
           kDcbBinary | kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbDtrControlHandshake |
               kDcbRtsControlHandshake,
           0,
           2048,
           512,
           7,
           2,
           2,
           0x11,
           0x13,
           0,
           0x1A,
           0,
           0} {}

void FakeCommApi::SetFailing(FakeCommStep step, bool failing, uint32_t error) {
  failing ? void(failing_[step] = error) : void(failing_.erase(step));
}

void FakeCommApi::QueueInput(const std::string& bytes, uint32_t afterPolls) {
  if (afterPolls == 0 && scheduled_.empty()) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
  } else {
    scheduled_.emplace_back(polls_ + afterPolls + 1, bytes);
  }
}

std::string FakeCommApi::TakeInput() {
  std::string bytes(input_.begin(), input_.end());
  for (const auto& chunk : scheduled_) bytes += chunk.second;
  input_.clear();
  scheduled_.clear();
  return bytes;
}

int FakeCommApi::Calls(FakeCommStep step) const {
  const auto found = calls_.find(step);
  return found == calls_.end() ? 0 : found->second;
}

bool FakeCommApi::Fails(FakeCommStep step) {
  ++calls_[step];
  const auto failing = failing_.find(step);
  if (failing == failing_.end()) return false;
  lastError_ = failing->second;
  return true;
}

bool FakeCommApi::Begin(FakeCommStep step, CommHandle port) {
  if (Fails(step)) return false;
  if (port != kNoCommHandle && port == openPort_) return true;
  lastError_ = kErrorInvalidHandle;
  return false;
}

CommHandle FakeCommApi::CreateFileA(const std::string& deviceName) {
  openedNames_.push_back(deviceName);
  if (Fails(FakeCommStep::kOpen)) return kInvalidCommHandle;
  // Not shared: a second opener is refused while the port is open, as
  // Windows refuses a port in use.
  if (openPort_ != kNoCommHandle) {
    lastError_ = kErrorAccessDenied;
    return kInvalidCommHandle;
  }
  return openPort_ = nextHandle_++;
}

bool FakeCommApi::GetCommProperties(CommHandle port, CommProperties& properties) {
  if (!Begin(FakeCommStep::kProperties, port)) return false;
  properties = maxima_;
  return true;
}

bool FakeCommApi::SetupComm(CommHandle port, uint32_t rxQueueSize, uint32_t txQueueSize) {
  if (!Begin(FakeCommStep::kSetup, port)) return false;
  setup_ = {rxQueueSize, txQueueSize};
  return true;
}

bool FakeCommApi::GetCommState(CommHandle port, CommDcb& dcb) {
  if (!Begin(FakeCommStep::kGetState, port)) return false;
  dcb = dcb_;
  return true;
}

bool FakeCommApi::SetCommState(CommHandle port, const CommDcb& dcb) {
  if (!Begin(FakeCommStep::kSetState, port)) return false;
  dcb_ = dcb;
  return true;
}

bool FakeCommApi::SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) {
  if (!Begin(FakeCommStep::kTimeouts, port)) return false;
  timeouts_ = timeouts;
  return true;
}

bool FakeCommApi::ClearCommError(CommHandle port, CommStatus& status) {
  if (!Begin(FakeCommStep::kStatus, port)) return false;
  ++polls_;
  while (!scheduled_.empty() && scheduled_.front().first <= polls_) {
    const std::string& bytes = scheduled_.front().second;
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    scheduled_.pop_front();
  }
  status.cbInQue = static_cast<uint32_t>(input_.size());
  status.cbOutQue = outQueue_;
  return true;
}

CommIoResult FakeCommApi::Finish(uint32_t taken, uint32_t& transferred, CommIo& io) {
  if (completion_ == Completion::kPending) {
    pending_[&io] = taken;
    return CommIoResult::kPending;
  }
  transferred = taken;
  return CommIoResult::kDone;
}

CommIoResult FakeCommApi::ReadFile(CommHandle port, void* buffer, uint32_t count,
                                   uint32_t& transferred, CommIo& io) {
  if (!Begin(FakeCommStep::kRead, port)) return CommIoResult::kFailed;
  const uint32_t taken = std::min<uint32_t>(count, static_cast<uint32_t>(input_.size()));
  std::copy_n(input_.begin(), taken, static_cast<char*>(buffer));
  input_.erase(input_.begin(), input_.begin() + taken);
  return Finish(taken, transferred, io);
}

CommIoResult FakeCommApi::WriteFile(CommHandle port, const void* buffer, uint32_t count,
                                    uint32_t& transferred, CommIo& io) {
  if (!Begin(FakeCommStep::kWrite, port)) return CommIoResult::kFailed;
  const uint32_t taken = completion_ == Completion::kShort && count > 0 ? count - 1 : count;
  const std::string bytes(static_cast<const char*>(buffer), taken);
  written_ += bytes;
  if (writeHandler_) writeHandler_(*this, bytes);
  return Finish(taken, transferred, io);
}

bool FakeCommApi::GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) {
  if (!Begin(FakeCommStep::kWait, port)) return false;
  const auto found = pending_.find(&io);
  if (found == pending_.end()) return false;  // nothing was started with this record
  transferred = found->second;
  pending_.erase(found);
  return true;
}

CommHandle FakeCommApi::CreateEventA() {
  ++calls_[FakeCommStep::kCreateEvent];
  if (failing_.count(FakeCommStep::kCreateEvent) != 0) return kNoCommHandle;
  return *liveEvents_.insert(nextHandle_++).first;
}

bool FakeCommApi::CloseHandle(CommHandle handle) {
  ++calls_[FakeCommStep::kClose];
  bool known = liveEvents_.erase(handle) != 0;
  if (handle != kNoCommHandle && handle == openPort_) {
    openPort_ = kNoCommHandle;
    known = true;
  }
  // A failing release still gives the handle up, as CloseHandle does.
  return known && failing_.count(FakeCommStep::kClose) == 0;
}
