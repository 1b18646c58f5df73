#include "support/fake_comm_api.h"

#include <algorithm>

FakeCommApi::FakeCommApi() {
  // A port as a driver might leave it: 9600 baud, XON/XOFF and CTS flow
  // control on, an end-of-file character, limits of its own.
  deviceDcb_.BaudRate = 9600;
  deviceDcb_.flags = kDcbBinary | kDcbOutxCtsFlow | kDcbOutX | kDcbInX |
                     kDcbDtrControlHandshake | kDcbRtsControlHandshake;
  deviceDcb_.XonLim = 2048;
  deviceDcb_.XoffLim = 512;
  deviceDcb_.ByteSize = 7;
  deviceDcb_.Parity = 2;
  deviceDcb_.StopBits = 2;
  deviceDcb_.XonChar = 0x11;
  deviceDcb_.XoffChar = 0x13;
  deviceDcb_.EofChar = 0x1A;
}

void FakeCommApi::SetFailing(FakeCommStep step, bool failing) {
  if (failing) {
    failing_.insert(step);
  } else {
    failing_.erase(step);
  }
}

void FakeCommApi::QueueInput(const std::string& bytes, uint32_t afterPolls) {
  if (afterPolls == 0 && scheduled_.empty()) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    return;
  }
  const uint32_t due = polls_ + afterPolls + 1;
  QueueInputWhen(bytes, [this, due] { return polls_ >= due; });
}

void FakeCommApi::QueueInputWhen(const std::string& bytes, std::function<bool()> arrived) {
  scheduled_.push_back({bytes, std::move(arrived)});
}

void FakeCommApi::ClearWritten() {
  written_.clear();
  writes_.clear();
}

int FakeCommApi::Calls(FakeCommStep step) const {
  const auto found = calls_.find(step);
  return found == calls_.end() ? 0 : found->second;
}

bool FakeCommApi::Begin(FakeCommStep step, CommHandle port) {
  ++calls_[step];
  return failing_.count(step) == 0 && port != kNoCommHandle && port == openPort_;
}

void FakeCommApi::DeliverArrivals() {
  while (!scheduled_.empty() && scheduled_.front().arrived()) {
    const std::string bytes = scheduled_.front().bytes;
    scheduled_.pop_front();
    input_.insert(input_.end(), bytes.begin(), bytes.end());
  }
}

CommHandle FakeCommApi::CreateFileA(const std::string& deviceName) {
  ++calls_[FakeCommStep::kOpen];
  openedNames_.push_back(deviceName);
  // Not shared: a second opener is refused while the port is open.
  if (failing_.count(FakeCommStep::kOpen) != 0 || openPort_ != kNoCommHandle) {
    return kInvalidCommHandle;
  }
  openPort_ = nextPort_++;
  return openPort_;
}

bool FakeCommApi::GetCommProperties(CommHandle port, CommProperties& properties) {
  if (!Begin(FakeCommStep::kProperties, port)) return false;
  properties = maxima_;
  return true;
}

bool FakeCommApi::SetupComm(CommHandle port, uint32_t rxQueueSize, uint32_t txQueueSize) {
  if (!Begin(FakeCommStep::kSetup, port)) return false;
  setups_.emplace_back(rxQueueSize, txQueueSize);
  return true;
}

bool FakeCommApi::GetCommState(CommHandle port, CommDcb& dcb) {
  if (!Begin(FakeCommStep::kGetState, port)) return false;
  dcb = deviceDcb_;
  return true;
}

bool FakeCommApi::SetCommState(CommHandle port, const CommDcb& dcb) {
  if (!Begin(FakeCommStep::kSetState, port)) return false;
  deviceDcb_ = dcb;
  lastDcb_ = dcb;
  hasSetDcb_ = true;
  return true;
}

bool FakeCommApi::SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) {
  if (!Begin(FakeCommStep::kTimeouts, port)) return false;
  lastTimeouts_ = timeouts;
  hasSetTimeouts_ = true;
  return true;
}

bool FakeCommApi::ClearCommError(CommHandle port, CommStatus& status) {
  if (!Begin(FakeCommStep::kStatus, port)) return false;
  ++polls_;
  DeliverArrivals();
  status.cbInQue = static_cast<uint32_t>(input_.size());
  status.cbOutQue = outQueue_;
  return true;
}

CommIoResult FakeCommApi::ReadFile(CommHandle port, void* buffer, uint32_t count,
                                   uint32_t& transferred, CommIo& io) {
  if (!Begin(FakeCommStep::kRead, port)) return CommIoResult::kFailed;
  const uint32_t taken = std::min<uint32_t>(count, static_cast<uint32_t>(input_.size()));
  std::copy_n(input_.begin(), taken, static_cast<char*>(buffer));
  input_.erase(input_.begin(), input_.begin() + taken);
  if (readCompletion_ == Completion::kPending) {
    pending_[&io] = taken;
    return CommIoResult::kPending;
  }
  transferred = taken;
  return CommIoResult::kDone;
}

CommIoResult FakeCommApi::WriteFile(CommHandle port, const void* buffer, uint32_t count,
                                    uint32_t& transferred, CommIo& io) {
  if (!Begin(FakeCommStep::kWrite, port)) return CommIoResult::kFailed;
  uint32_t taken = count;
  if (writeCompletion_ == Completion::kShort && taken > 0) {
    --taken;
  }
  const std::string bytes(static_cast<const char*>(buffer), taken);
  written_ += bytes;
  writes_.push_back(bytes);
  if (writeHandler_) {
    writeHandler_(*this, bytes);
  }
  if (writeCompletion_ == Completion::kPending) {
    pending_[&io] = taken;
    return CommIoResult::kPending;
  }
  transferred = taken;
  return CommIoResult::kDone;
}

bool FakeCommApi::GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) {
  if (!Begin(FakeCommStep::kWait, port)) return false;
  const auto found = pending_.find(&io);
  if (found == pending_.end()) {
    return false;  // nothing was started with this record
  }
  transferred = found->second;
  pending_.erase(found);
  return true;
}

CommHandle FakeCommApi::CreateEventA() {
  ++calls_[FakeCommStep::kCreateEvent];
  if (failing_.count(FakeCommStep::kCreateEvent) != 0) {
    return kNoCommHandle;
  }
  const CommHandle event = nextEvent_++;
  liveEvents_.insert(event);
  return event;
}

bool FakeCommApi::CloseHandle(CommHandle handle) {
  ++calls_[FakeCommStep::kClose];
  bool known = false;
  if (handle != kNoCommHandle && handle == openPort_) {
    openPort_ = kNoCommHandle;
    known = true;
  } else if (liveEvents_.erase(handle) != 0) {
    known = true;
  }
  // A failing release still gives the handle up, as CloseHandle does.
  return known && failing_.count(FakeCommStep::kClose) == 0;
}
