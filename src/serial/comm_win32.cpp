// The serial device on Windows: a COM port opened for overlapped I/O, given
// the line settings through its DCB, read only as far as ClearCommError
// counts, written only where the transmit queue has room.
#include "serial/comm_win32.h"

#include <new>

namespace {

SerialError Fault(SerialFault fault, DWORD code) { return SerialError{fault, code}; }

// Why an open failed. Windows refuses a port that another program holds with
// access denied.
SerialError OpenError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return Fault(SerialFault::kNotFound, code);
    case ERROR_PRIVILEGE_NOT_HELD: return Fault(SerialFault::kPermission, code);
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: return Fault(SerialFault::kInUse, code);
    case ERROR_INVALID_FUNCTION: return Fault(SerialFault::kNotSerial, code);
    case ERROR_INVALID_PARAMETER: return Fault(SerialFault::kSettingsRefused, code);
    default: return Fault(SerialFault::kOther, code);
  }
}

// Why a call on the open port failed. A vanished device (a USB adapter
// pulled: access denied, bad command, aborted, not functioning, removed; a
// line hung up under wine: not ready) is gone.
SerialError DeviceError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED: case ERROR_NOT_READY: case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE: case ERROR_OPERATION_ABORTED: case ERROR_DEVICE_REMOVED:
      return Fault(SerialFault::kGone, code);
    case ERROR_INVALID_PARAMETER: return Fault(SerialFault::kSettingsRefused, code);
    case ERROR_INVALID_FUNCTION: return Fault(SerialFault::kNotSerial, code);
    default: return Fault(SerialFault::kOther, code);
  }
}

// A completion record: the OVERLAPPED of one direction and its auto-reset event.
struct Completion {
  OVERLAPPED overlapped{};
  HANDLE event = nullptr;

  OVERLAPPED* Start() {
    overlapped = OVERLAPPED{};  // zero offsets: a device has no file position
    overlapped.hEvent = event;
    return &overlapped;
  }
};

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(const Win32CommCalls& calls) : w_(calls) {}
  ~Win32SerialDevice() override {
    if (port_ != nullptr) w_.CloseHandle(port_);
    // The events belong to the object, not to the port: they go with it.
    for (Completion* io : {&read_, &write_}) {
      if (io->event != nullptr) w_.CloseHandle(io->event);
    }
  }

  bool Open(const std::string& name) override {
    const HANDLE port = w_.CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return Fail(OpenError(w_.GetLastError()));
    port_ = port;
    return true;
  }

  // The queues go down to the device's maxima (never up again), then the
  // DCB the device reports gets the line, binary mode, DTR and RTS raised and
  // held, no hardware or XON/XOFF flow control in either direction and no
  // abort on a line error (its flag word AND 0xFFFF9C93 OR 0x1011), limits
  // from the queue sizes and no end-of-file character; reads return what has
  // come within 2 s, writes have no time limit. Each configuration renews the
  // events, as no I/O is pending between operations.
  bool Configure(const LineSettings& line) override {
    COMMPROP properties{};
    if (w_.GetCommProperties(port_, &properties) != FALSE) {
      if (properties.dwMaxRxQueue != 0 && properties.dwMaxRxQueue < rxQueue_) {
        rxQueue_ = properties.dwMaxRxQueue;
      }
      if (properties.dwMaxTxQueue != 0 && properties.dwMaxTxQueue < txQueue_) {
        txQueue_ = properties.dwMaxTxQueue;
      }
    }
    if ((rxQueue_ != 0 || txQueue_ != 0) && w_.SetupComm(port_, rxQueue_, txQueue_) == FALSE) {
      return FailDevice();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (w_.GetCommState(port_, &dcb) == FALSE) {
      const SerialError error = DeviceError(w_.GetLastError());
      Close();
      return Fail(error);
    }
    dcb.BaudRate = line.baudRate;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.Parity = static_cast<BYTE>(line.parity);      // NOPARITY ... SPACEPARITY
    dcb.StopBits = static_cast<BYTE>(line.stopBits);  // ONESTOPBIT ... TWOSTOPBITS
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = static_cast<WORD>(rxQueue_ / 4);
    dcb.XoffLim = static_cast<WORD>(txQueue_ / 4);
    dcb.EofChar = 0;
    if (w_.SetCommState(port_, &dcb) == FALSE || !SetTimeouts(0)) return FailDevice();
    for (Completion* io : {&read_, &write_}) {
      if (io->event != nullptr) w_.CloseHandle(io->event);
      // Without an event the direction refuses to run.
      io->event = w_.CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    return true;
  }

  bool IsOpen() const override { return port_ != nullptr; }

  bool Read(void* buffer, uint32_t count, uint32_t& got) override {
    COMSTAT status{};
    got = 0;
    if (read_.event == nullptr) return true;
    if (!Status(status)) return false;
    // Never more than has already arrived, so the read does not wait for data.
    const DWORD wanted = status.cbInQue < count ? status.cbInQue : count;
    DWORD done = 0;
    if (wanted == 0) return true;
    const BOOL finished = w_.ReadFile(port_, buffer, wanted, &done, read_.Start());
    return Transfer(finished, done, read_, got);
  }

  bool WaitForInput(uint32_t timeoutMs) override {
    if (read_.event == nullptr) return Fail(Fault(SerialFault::kOther, 0));
    if (!eventsUnusable_) {
      const EventWait outcome = WaitForCharEvent(timeoutMs);
      if (outcome != EventWait::kUnusable) return outcome == EventWait::kDone || FailDevice();
      // A device that ends the wait without an event (under wine, one
      // without modem lines, such as a pseudo-terminal) would make every
      // sleep a spin: from now on its queue is looked at once a millisecond.
      eventsUnusable_ = true;
    }
    const DWORD start = ::GetTickCount();
    for (;;) {
      COMSTAT status{};
      if (!Status(status)) return false;
      if (status.cbInQue != 0 || ::GetTickCount() - start >= timeoutMs) return true;
      ::SleepEx(1, FALSE);
    }
  }

  bool Write(const void* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& sent) override {
    COMSTAT status{};
    sent = 0;
    if (write_.event == nullptr) return true;
    if (timeoutMs != writeTimeoutMs_ && !SetTimeouts(timeoutMs)) return FailDevice();
    if (!Status(status)) return false;
    // Unsigned arithmetic, as the device reports it: the write must be strictly
    // smaller than the room, so one that would exactly fill it is refused.
    const DWORD room = txQueue_ - status.cbOutQue;
    if (room <= count) return true;
    // Without a write time-out this lasts until the device has taken every byte.
    DWORD done = 0;
    const BOOL finished = w_.WriteFile(port_, buffer, count, &done, write_.Start());
    return Transfer(finished, done, write_, sent);
  }

  bool Purge() override {
    COMSTAT status{};
    if (!Status(status)) return false;
    if (status.cbInQue == 0) return true;
    std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[status.cbInQue]);
    uint32_t got = 0;
    // Read takes at most what was waiting now; later arrivals stay queued.
    return !scratch || Read(scratch.get(), status.cbInQue, got);
  }

  bool Close() override {
    const HANDLE closing = port_;
    port_ = nullptr;
    return w_.CloseHandle(closing) != FALSE || FailDevice();
  }

  SerialError Error() const override { return error_; }

 private:
  enum class EventWait { kDone, kFailed, kUnusable };

  bool Fail(const SerialError& error) {
    error_ = error;
    return false;
  }
  bool FailDevice() { return Fail(DeviceError(w_.GetLastError())); }

  bool SetTimeouts(uint32_t writeTimeoutMs) {
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, writeTimeoutMs};
    if (w_.SetCommTimeouts(port_, &timeouts) == FALSE) return false;
    writeTimeoutMs_ = writeTimeoutMs;
    return true;
  }

  // Clears the line-error state and gives the bytes waiting each way.
  bool Status(COMSTAT& status) {
    DWORD errors = 0;
    return w_.ClearCommError(port_, &errors, &status) != FALSE || FailDevice();
  }

  // The count of a ReadFile or WriteFile that `finished` at once with `done`
  // bytes, or that continues in the background and is waited for.
  bool Transfer(BOOL finished, DWORD done, Completion& io, uint32_t& count) {
    if (finished == FALSE) {
      if (w_.GetLastError() != ERROR_IO_PENDING) return FailDevice();
      if (w_.GetOverlappedResult(port_, &io.overlapped, &done, TRUE) == FALSE) return FailDevice();
    }
    count = done;
    return true;
  }

  // An overlapped WaitCommEvent for EV_RXCHAR, waited on for at most
  // `timeoutMs`; the installed time-outs stay as they are.
  EventWait WaitForCharEvent(uint32_t timeoutMs) {
    if (w_.SetCommMask(port_, EV_RXCHAR) == FALSE) return EventWait::kFailed;
    DWORD events = 0;
    OVERLAPPED* const overlapped = read_.Start();
    if (w_.WaitCommEvent(port_, &events, overlapped) != FALSE) {
      return events != 0 ? EventWait::kDone : EventWait::kUnusable;
    }
    if (w_.GetLastError() != ERROR_IO_PENDING) return EventWait::kFailed;
    // Bytes that arrived before the wait began raise no event: with the wait
    // running, anything already queued ends it at once.
    DWORD errors = 0;
    COMSTAT status{};
    const BOOL asked = w_.ClearCommError(port_, &errors, &status);
    const DWORD askError = asked == FALSE ? w_.GetLastError() : ERROR_SUCCESS;
    if (asked != FALSE && status.cbInQue == 0) w_.WaitForSingleObject(read_.event, timeoutMs);
    // A wait that ended by itself without an event is of no use.
    const bool endedEmpty = HasOverlappedIoCompleted(overlapped) && events == 0;
    // Clearing the mask ends a wait that is still pending (older wine ends
    // it for no other mask); collecting it frees the record for the next read.
    w_.SetCommMask(port_, 0);
    DWORD done = 0;
    w_.GetOverlappedResult(port_, overlapped, &done, TRUE);
    if (asked == FALSE) {
      w_.SetLastError(askError);
      return EventWait::kFailed;
    }
    return endedEmpty ? EventWait::kUnusable : EventWait::kDone;
  }

  const Win32CommCalls w_;
  HANDLE port_ = nullptr;  // nullptr: closed
  Completion read_;        // used by Read and WaitForInput alone
  Completion write_;       // used by Write alone
  DWORD rxQueue_ = 4096;   // never grows: lowered to the device's maximum
  DWORD txQueue_ = 4096;   // also the capacity in the write room test
  DWORD writeTimeoutMs_ = 0;
  bool eventsUnusable_ = false;
  SerialError error_;
};

}  // namespace

std::unique_ptr<SerialDevice> NewWin32SerialDevice(const Win32CommCalls& calls) {
  return std::make_unique<Win32SerialDevice>(calls);
}

std::unique_ptr<SerialDevice> NewPlatformSerialDevice() {
  return NewWin32SerialDevice(Win32CommCalls{});
}
