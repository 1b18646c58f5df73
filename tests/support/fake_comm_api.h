// A scriptable serial device behind CommApi for the unit tests: chosen queue
// maxima and settings, any step made to fail, input bytes that arrive after a
// number of polls, and a record of what the program did with the device.
// A poll is one status query (ClearCommError): every CSerial::Read, Write,
// WriteString and Purge makes exactly one first.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "serial/comm_api.h"

// The device operations, one per CommApi call, for failures and call counts.
enum class FakeCommStep {
  kOpen,
  kProperties,
  kSetup,
  kGetState,
  kSetState,
  kTimeouts,
  kStatus,
  kRead,
  kWrite,
  kWait,
  kCreateEvent,
  kClose
};

class FakeCommApi final : public CommApi {
 public:
  // How ReadFile and WriteFile finish: at once with every byte; in the
  // background, GetOverlappedResult giving every byte; or (writes) at once
  // with one byte fewer than asked.
  enum class Completion { kNow, kPending, kShort };

  FakeCommApi();
  // ---- script
  void SetQueueMaxima(uint32_t maxRx, uint32_t maxTx) { maxima_ = {maxRx, maxTx}; }
  // A failing step reports failure (and does nothing) until set back;
  // GetLastError then gives `error`.
  void SetFailing(FakeCommStep step, bool failing = true,
                  uint32_t error = kErrorInvalidParameter);
  // The settings GetCommState reports until the program sets others.
  void SetDeviceDcb(const CommDcb& dcb) { dcb_ = dcb; }
  // `bytes` become waiting once `afterPolls` more polls have gone by without
  // them (0: at once). Chunks arrive in the order queued.
  void QueueInput(const std::string& bytes, uint32_t afterPolls = 0);
  void SetOutQueue(uint32_t bytes) { outQueue_ = bytes; }  // cbOutQue
  void SetCompletion(Completion completion) { completion_ = completion; }
  // Called with the bytes of every write the device took; may queue an answer.
  void SetWriteHandler(std::function<void(FakeCommApi&, const std::string&)> handler) {
    writeHandler_ = std::move(handler);
  }

  // ---- observations
  const std::string& Written() const { return written_; }  // every byte taken
  void ClearWritten() { written_.clear(); }
  size_t InputWaiting() const { return input_.size(); }  // arrived, not yet read
  // Takes every byte not read yet, arrived or still to arrive.
  std::string TakeInput();
  int Calls(FakeCommStep step) const;
  const std::vector<std::string>& OpenedNames() const { return openedNames_; }
  bool PortOpen() const { return openPort_ != kNoCommHandle; }
  size_t LiveEvents() const { return liveEvents_.size(); }
  // What the program last gave SetCommState / SetCommTimeouts / SetupComm.
  const CommDcb& LastDcb() const { return dcb_; }
  const CommTimeouts& LastTimeouts() const { return timeouts_; }
  const std::pair<uint32_t, uint32_t>& LastSetup() const { return setup_; }

  // ---- CommApi
  CommHandle CreateFileA(const std::string& deviceName) override;
  bool GetCommProperties(CommHandle port, CommProperties& properties) override;
  bool SetupComm(CommHandle port, uint32_t rxQueueSize, uint32_t txQueueSize) override;
  bool GetCommState(CommHandle port, CommDcb& dcb) override;
  bool SetCommState(CommHandle port, const CommDcb& dcb) override;
  bool SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) override;
  bool ClearCommError(CommHandle port, CommStatus& status) override;
  CommIoResult ReadFile(CommHandle port, void* buffer, uint32_t count, uint32_t& transferred,
                        CommIo& io) override;
  CommIoResult WriteFile(CommHandle port, const void* buffer, uint32_t count, uint32_t& transferred,
                         CommIo& io) override;
  bool GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) override;
  CommHandle CreateEventA() override;
  bool CloseHandle(CommHandle handle) override;
  uint32_t GetLastError() override { return lastError_; }

 private:
  // Counts the call; true (with the error code taken) when it is to fail.
  bool Fails(FakeCommStep step);
  // Counts the call; true when the step goes ahead on the open port.
  bool Begin(FakeCommStep step, CommHandle port);
  CommIoResult Finish(uint32_t taken, uint32_t& transferred, CommIo& io);

  CommProperties maxima_;
  std::map<FakeCommStep, uint32_t> failing_;  // step, its error code
  uint32_t lastError_ = 0;
  std::map<FakeCommStep, int> calls_;
  CommDcb dcb_;
  CommTimeouts timeouts_;
  std::pair<uint32_t, uint32_t> setup_;
  std::deque<char> input_;
  std::deque<std::pair<uint32_t, std::string>> scheduled_;  // due poll, bytes
  uint32_t polls_ = 0;
  uint32_t outQueue_ = 0;
  Completion completion_ = Completion::kNow;
  std::function<void(FakeCommApi&, const std::string&)> writeHandler_;
  std::map<const CommIo*, uint32_t> pending_;
  std::string written_;
  std::vector<std::string> openedNames_;
  CommHandle openPort_ = kNoCommHandle;
  CommHandle nextHandle_ = 0x100;
  std::set<CommHandle> liveEvents_;
};
