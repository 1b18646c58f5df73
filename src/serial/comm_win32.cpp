// The serial device on Windows: a COM port opened for overlapped I/O, given
// the whole line through its DCB, read only as far as ClearCommError counts,
// written only where the transmit queue has room. Every wait on the driver is
// bounded: an operation that does not end in time is cancelled and collected,
// and one that does not end even then leaves the port unusable, never the
// program waiting.
#include "serial/comm_win32.h"

#include <new>

#include "console/clock.h"
#include "console/wide_text_win32.h"
#include "serial/port_name.h"

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

// Why a call on the open port failed. A vanished device is gone: a USB
// adapter pulled gives one of several codes (access denied, bad command,
// aborted, not functioning, removed, not connected, no such device, not
// found; invalid function once the port has worked), a line hung up under
// wine "not ready"; ERROR_TIMEOUT is this file's own for a driver that has
// stopped ending operations.
SerialError DeviceError(DWORD code, bool hasWorked) {
  switch (code) {
    case ERROR_ACCESS_DENIED: case ERROR_NOT_READY: case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE: case ERROR_OPERATION_ABORTED: case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND: case ERROR_DEV_NOT_EXIST: case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED: case ERROR_TIMEOUT:
      return Fault(SerialFault::kGone, code);
    case ERROR_INVALID_PARAMETER: return Fault(SerialFault::kSettingsRefused, code);
    case ERROR_INVALID_FUNCTION:
      return Fault(hasWorked ? SerialFault::kGone : SerialFault::kNotSerial, code);
    default: return Fault(SerialFault::kOther, code);
  }
}

// A completion record: the OVERLAPPED of one direction and its manual-reset
// event (WaitCommEvent requires one; each I/O call resets it as it starts).
struct Completion {
  OVERLAPPED overlapped{};
  HANDLE event = nullptr;

  OVERLAPPED* Start() {
    overlapped = OVERLAPPED{};  // zero offsets: a device has no file position
    overlapped.hEvent = event;
    return &overlapped;
  }
};

// The DCB's line: every field the transfer depends on is set, whatever the
// previous program left. Raw 8-bit binary, DTR and RTS raised and held, no
// flow control of any kind, no character replaced or dropped (fNull would
// drop received 0x00 bytes), no abort on a line error, and distinct XON and
// XOFF characters (SetCommState refuses equal ones). Both limits count bytes
// of the receive queue.
void SetLine(DCB& dcb, const LineSettings& line, DWORD rxQueue) {
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = line.baudRate;
  dcb.fBinary = TRUE;
  dcb.fParity = line.parity != Parity::kNone;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  dcb.wReserved = 0;
  dcb.XonLim = static_cast<WORD>(rxQueue / 4);
  dcb.XoffLim = static_cast<WORD>(rxQueue / 4);
  dcb.ByteSize = static_cast<BYTE>(line.dataBits);
  dcb.Parity = static_cast<BYTE>(line.parity);      // NOPARITY ... SPACEPARITY
  dcb.StopBits = static_cast<BYTE>(line.stopBits);  // ONESTOPBIT ... TWOSTOPBITS
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

// What the driver allows a read of bytes it has already counted.
constexpr DWORD kReadTimeoutMs = 2000;

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(const Win32CommCalls& calls) : w_(calls) {}
  ~Win32SerialDevice() override {
    // Closing the port also ends whatever a driver still held.
    if (port_ != nullptr) w_.CloseHandle(port_);
    // The events belong to the object, not to the port: they go with it.
    for (Completion* io : {&read_, &write_}) {
      if (io->event != nullptr) w_.CloseHandle(io->event);
    }
  }

  bool Open(const std::string& name) override {
    const HANDLE port = w_.CreateFileW(WideText(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return Fail(OpenError(w_.GetLastError()));
    port_ = port;
    hasWorked_ = false;
    stuck_ = false;
    return true;
  }

  // The queues go down to the device's maxima (never up again) and are asked
  // for; a driver that refuses (the sizes are only a recommendation) keeps
  // its own. Then the whole line (SetLine) and the time-outs: reads return
  // what was counted within 2 s, writes end at a time proportional to their
  // size.
  bool Configure(const LineSettings& line) override {
    if (stuck_) return Fail(Fault(SerialFault::kGone, ERROR_TIMEOUT));
    COMMPROP properties{};
    if (w_.GetCommProperties(port_, &properties) != FALSE) {
      if (properties.dwMaxRxQueue != 0 && properties.dwMaxRxQueue < rxQueue_) {
        rxQueue_ = properties.dwMaxRxQueue;
      }
      if (properties.dwMaxTxQueue != 0 && properties.dwMaxTxQueue < txQueue_) {
        txQueue_ = properties.dwMaxTxQueue;
      }
    }
    if (rxQueue_ != 0 || txQueue_ != 0) w_.SetupComm(port_, rxQueue_, txQueue_);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (w_.GetCommState(port_, &dcb) == FALSE) {
      const SerialError error = DeviceError(w_.GetLastError(), hasWorked_);
      Close();
      return Fail(error);
    }
    SetLine(dcb, line, rxQueue_);
    writeMsPerByte_ = WriteMsPerByte(line.baudRate);
    if (w_.SetCommState(port_, &dcb) == FALSE || !SetTimeouts()) return FailDevice();
    for (Completion* io : {&read_, &write_}) {
      // Without an event the direction refuses to run.
      if (io->event == nullptr) io->event = w_.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    hasWorked_ = true;
    return true;
  }

  bool IsOpen() const override { return port_ != nullptr; }

  bool Read(void* buffer, uint32_t count, uint32_t& got) override {
    COMSTAT status{};
    got = 0;
    if (stuck_) return FailStuck();
    if (read_.event == nullptr) return true;
    if (!Status(status)) return false;
    // Never more than has already arrived, so the read does not wait for data.
    const DWORD wanted = status.cbInQue < count ? status.cbInQue : count;
    DWORD done = 0;
    if (wanted == 0) return true;
    const BOOL finished = w_.ReadFile(port_, buffer, wanted, &done, read_.Start());
    return Transfer(finished, done, read_, kReadTimeoutMs + kWin32DriverSlackMs, got);
  }

  bool WaitForInput(uint32_t timeoutMs) override {
    if (stuck_) return FailStuck();
    if (read_.event == nullptr) return Fail(Fault(SerialFault::kOther, 0));
    if (!eventsUnusable_) {
      const EventWait outcome = WaitForCharEvent(timeoutMs);
      if (outcome != EventWait::kUnusable) return outcome == EventWait::kDone;
      // A device that ends the wait by itself with neither an event nor a
      // byte would make every sleep a spin: from now on its queue is looked
      // at once a millisecond (a 1 ms timer period is asked for the run).
      eventsUnusable_ = true;
    }
    const int64_t start = MonotonicMs();
    for (;;) {
      COMSTAT status{};
      if (!Status(status)) return false;
      if (status.cbInQue != 0 || MonotonicMs() - start >= int64_t{timeoutMs}) return true;
      ::SleepEx(1, FALSE);
    }
  }

  bool Write(const void* buffer, uint32_t count, uint32_t& sent) override {
    COMSTAT status{};
    sent = 0;
    if (stuck_) return FailStuck();
    if (write_.event == nullptr) return true;
    if (!Status(status)) return false;
    // Unsigned arithmetic, as the device reports it: the write must be strictly
    // smaller than the room, so one that would exactly fill it is refused.
    const DWORD room = txQueue_ - status.cbOutQue;
    if (room <= count) return true;
    const DWORD driverMs = count * writeMsPerByte_ + kWriteSlackMs;
    DWORD done = 0;
    const BOOL finished = w_.WriteFile(port_, buffer, count, &done, write_.Start());
    if (!Transfer(finished, done, write_, driverMs + kWin32DriverSlackMs, sent)) return false;
    // Without flow control the line takes bytes at its rate: a write that its
    // time limit ended short has met a device that stopped taking them.
    return sent == count || Fail(Fault(SerialFault::kGone, ERROR_TIMEOUT));
  }

  bool Purge() override {
    COMSTAT status{};
    if (stuck_) return FailStuck();
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
  bool FailDevice() { return Fail(DeviceError(w_.GetLastError(), hasWorked_)); }
  bool FailStuck() { return Fail(Fault(SerialFault::kGone, ERROR_TIMEOUT)); }

  // Reads take what was counted within kReadTimeoutMs; writes end within
  // the time of their bytes.
  bool SetTimeouts() {
    COMMTIMEOUTS timeouts{0, 0, kReadTimeoutMs, writeMsPerByte_, kWriteSlackMs};
    return w_.SetCommTimeouts(port_, &timeouts) != FALSE;
  }

  // Clears the line-error state and gives the bytes waiting each way.
  bool Status(COMSTAT& status) {
    DWORD errors = 0;
    return w_.ClearCommError(port_, &errors, &status) != FALSE || FailDevice();
  }

  // Waits at most `boundMs` for the pending operation of `io` to end; one
  // that does not is cancelled. One that does not end even then keeps its
  // record, and the port is of no further use (false, gone).
  bool EndWithin(Completion& io, DWORD boundMs) {
    if (w_.WaitForSingleObject(io.event, boundMs) == WAIT_OBJECT_0) return true;
    w_.CancelIo(port_);
    if (w_.WaitForSingleObject(io.event, kWin32EndingMs) == WAIT_OBJECT_0) return true;
    stuck_ = true;
    return FailStuck();
  }

  // The count of a ReadFile or WriteFile that `finished` at once with `done`
  // bytes, or that continues in the background and is waited for, at most
  // `boundMs` before it is cancelled (a cancelled write may have sent part).
  bool Transfer(BOOL finished, DWORD done, Completion& io, DWORD boundMs, uint32_t& count) {
    if (finished == FALSE) {
      if (w_.GetLastError() != ERROR_IO_PENDING) return FailDevice();
      if (!EndWithin(io, boundMs)) return false;
      if (w_.GetOverlappedResult(port_, &io.overlapped, &done, FALSE) == FALSE) return FailDevice();
    }
    count = done;
    return true;
  }

  // An overlapped WaitCommEvent for EV_RXCHAR, waited on for at most
  // `timeoutMs`, then ended and collected.
  EventWait WaitForCharEvent(uint32_t timeoutMs) {
    if (w_.SetCommMask(port_, EV_RXCHAR) == FALSE) return FailDevice(), EventWait::kFailed;
    DWORD events = 0;
    OVERLAPPED* const overlapped = read_.Start();
    BOOL ended = w_.WaitCommEvent(port_, &events, overlapped);
    if (ended == FALSE) {
      if (w_.GetLastError() != ERROR_IO_PENDING) return FailDevice(), EventWait::kFailed;
      // Bytes that arrived before the wait began raise no event: with the
      // wait running, anything already queued ends it at once.
      DWORD errors = 0;
      COMSTAT status{};
      const bool asked = w_.ClearCommError(port_, &errors, &status) != FALSE;
      const SerialError askError =
          asked ? SerialError{} : DeviceError(w_.GetLastError(), hasWorked_);
      const bool cameByItself = asked && status.cbInQue == 0 &&
                                w_.WaitForSingleObject(read_.event, timeoutMs) == WAIT_OBJECT_0;
      // Clearing the mask ends a wait that is still pending.
      if (!cameByItself && (w_.SetCommMask(port_, 0), !EndWithin(read_, kWin32EndingMs))) {
        return EventWait::kFailed;
      }
      DWORD done = 0;
      ended = w_.GetOverlappedResult(port_, overlapped, &done, FALSE);
      if (!asked) return Fail(askError), EventWait::kFailed;
      if (!cameByItself) return EventWait::kDone;  // bytes were queued, or the time is up
    }
    if (ended != FALSE && events != 0) return EventWait::kDone;
    // The wait ended by itself without an event. Wine ends every wait so, at
    // once and as cancelled, on a device without modem lines (a
    // pseudo-terminal): it reads them at each wake-up and gives up when it
    // cannot. With a byte waiting the wait has served all the same; with
    // none, waits are of no use on this device.
    COMSTAT status{};
    if (!Status(status)) return EventWait::kFailed;
    return status.cbInQue != 0 ? EventWait::kDone : EventWait::kUnusable;
  }

  const Win32CommCalls w_;
  HANDLE port_ = nullptr;  // nullptr: closed
  Completion read_;        // used by Read and WaitForInput alone
  Completion write_;       // used by Write alone
  DWORD rxQueue_ = 4096;   // never grows: lowered to the device's maximum
  DWORD txQueue_ = 4096;   // also the capacity in the write room test
  DWORD writeMsPerByte_ = 1;
  bool hasWorked_ = false;  // configured since it was opened
  bool stuck_ = false;      // an operation never ended: its record is the driver's
  bool eventsUnusable_ = false;
  SerialError error_;
};

}  // namespace

std::string ComPortDevice(int number) { return "\\\\.\\COM" + std::to_string(number); }

// A port is always named by its COM number here, which ComPortDevice spells
// one way only.
std::string PortIdentity(const std::string& device) { return device; }

std::unique_ptr<SerialDevice> NewWin32SerialDevice(const Win32CommCalls& calls) {
  return std::make_unique<Win32SerialDevice>(calls);
}

std::unique_ptr<SerialDevice> NewPlatformSerialDevice() {
  return NewWin32SerialDevice(Win32CommCalls{});
}
