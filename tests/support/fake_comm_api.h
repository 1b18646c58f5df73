// A scriptable serial device behind CommApi for the unit tests: chosen queue
// maxima and settings, any step made to fail, input bytes that arrive on a
// script, and a record of everything the program did with the device.
//
// Typical use:
//   FakeCommApi device;
//   CSerial port(device);
//   device.QueueInput(">");                   // waiting at once
//   device.QueueInput("OK\n", 3);             // arrives after three more polls
//   device.SetWriteHandler([](FakeCommApi& d, const std::string& bytes) {
//     d.QueueInput(bytes);                    // an instrument that echoes
//   });
//   port.Open(1, 115200, 0, 8, 0);
//   ... device.Written(), device.LastDcb(), device.Calls(FakeCommStep::kStatus)
//
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
  kOpen,         // CreateFileA
  kProperties,   // GetCommProperties
  kSetup,        // SetupComm
  kGetState,     // GetCommState
  kSetState,     // SetCommState
  kTimeouts,     // SetCommTimeouts
  kStatus,       // ClearCommError
  kRead,         // ReadFile
  kWrite,        // WriteFile
  kWait,         // GetOverlappedResult
  kCreateEvent,  // CreateEventA
  kClose,        // CloseHandle
};

class FakeCommApi final : public CommApi {
 public:
  // How ReadFile and WriteFile finish.
  enum class Completion {
    kNow,      // at once, every byte
    kPending,  // in the background; GetOverlappedResult gives every byte
    kShort,    // at once, one byte fewer than asked (writes only)
  };

  FakeCommApi();

  // ---- script
  void SetQueueMaxima(uint32_t maxRx, uint32_t maxTx) { maxima_ = {maxRx, maxTx}; }
  // A failing step reports failure (and does nothing) until set back.
  void SetFailing(FakeCommStep step, bool failing = true);
  // The settings GetCommState reports until the program sets others.
  void SetDeviceDcb(const CommDcb& dcb) { deviceDcb_ = dcb; }
  // `bytes` become waiting once `afterPolls` more status queries have gone
  // by without them (0: waiting at once). Chunks arrive in the order queued.
  void QueueInput(const std::string& bytes, uint32_t afterPolls = 0);
  // `bytes` become waiting at the first status query where `arrived` is true.
  void QueueInputWhen(const std::string& bytes, std::function<bool()> arrived);
  // Bytes the device reports as still waiting to be sent (cbOutQue).
  void SetOutQueue(uint32_t bytes) { outQueue_ = bytes; }
  void SetReadCompletion(Completion completion) { readCompletion_ = completion; }
  void SetWriteCompletion(Completion completion) { writeCompletion_ = completion; }
  // Called with the bytes of every write the device took, after taking them;
  // it may queue the device's answer.
  void SetWriteHandler(std::function<void(FakeCommApi&, const std::string&)> handler) {
    writeHandler_ = std::move(handler);
  }

  // ---- observations
  const std::string& Written() const { return written_; }            // every byte taken
  const std::vector<std::string>& Writes() const { return writes_; }  // one entry per write
  void ClearWritten();
  size_t InputWaiting() const { return input_.size(); }  // arrived, not yet read
  size_t InputScheduled() const { return scheduled_.size(); }  // chunks still to arrive
  int Calls(FakeCommStep step) const;
  const std::vector<std::string>& OpenedNames() const { return openedNames_; }
  bool PortOpen() const { return openPort_ != kNoCommHandle; }
  CommHandle OpenPort() const { return openPort_; }
  size_t LiveEvents() const { return liveEvents_.size(); }
  // What the program last gave SetCommState / SetCommTimeouts / SetupComm.
  bool HasSetDcb() const { return hasSetDcb_; }
  const CommDcb& LastDcb() const { return lastDcb_; }
  bool HasSetTimeouts() const { return hasSetTimeouts_; }
  const CommTimeouts& LastTimeouts() const { return lastTimeouts_; }
  const std::vector<std::pair<uint32_t, uint32_t>>& SetupRequests() const { return setups_; }

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
  CommIoResult WriteFile(CommHandle port, const void* buffer, uint32_t count,
                         uint32_t& transferred, CommIo& io) override;
  bool GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) override;
  CommHandle CreateEventA() override;
  bool CloseHandle(CommHandle handle) override;

 private:
  struct Arrival {
    std::string bytes;
    std::function<bool()> arrived;
  };

  // Counts the call; true when the step goes ahead on an open port.
  bool Begin(FakeCommStep step, CommHandle port);
  void DeliverArrivals();

  CommProperties maxima_;
  std::set<FakeCommStep> failing_;
  std::map<FakeCommStep, int> calls_;
  CommDcb deviceDcb_;
  std::deque<char> input_;
  std::deque<Arrival> scheduled_;
  uint32_t polls_ = 0;
  uint32_t outQueue_ = 0;
  Completion readCompletion_ = Completion::kNow;
  Completion writeCompletion_ = Completion::kNow;
  std::function<void(FakeCommApi&, const std::string&)> writeHandler_;
  std::map<const CommIo*, uint32_t> pending_;

  std::string written_;
  std::vector<std::string> writes_;
  std::vector<std::string> openedNames_;
  CommHandle openPort_ = kNoCommHandle;
  CommHandle nextPort_ = 0x100;
  CommHandle nextEvent_ = 0x1000;
  std::set<CommHandle> liveEvents_;
  bool hasSetDcb_ = false;
  CommDcb lastDcb_;
  bool hasSetTimeouts_ = false;
  CommTimeouts lastTimeouts_;
  std::vector<std::pair<uint32_t, uint32_t>> setups_;
};
