// The serial device on Windows: each CommApi operation is the Win32
// communications call of the same name, with the handle passed through as a
// number and the DCB, COMMPROP, COMSTAT and OVERLAPPED records translated
// member for member.
#include "serial/comm_win32.h"

#include <new>

namespace {

static_assert(sizeof(OVERLAPPED) <= sizeof(CommIo::platformBlock),
              "the OVERLAPPED must fit into the completion record");
static_assert(alignof(OVERLAPPED) <= alignof(std::max_align_t),
              "the completion record must be aligned for an OVERLAPPED");
static_assert(sizeof(HANDLE) <= sizeof(CommHandle), "handles must fit into CommHandle");

HANDLE ToHandle(CommHandle handle) { return reinterpret_cast<HANDLE>(handle); }

CommHandle FromHandle(HANDLE handle) { return reinterpret_cast<CommHandle>(handle); }

static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorNotReady == ERROR_NOT_READY &&
                  kErrorBadCommand == ERROR_BAD_COMMAND && kErrorGenFailure == ERROR_GEN_FAILURE &&
                  kErrorOperationAborted == ERROR_OPERATION_ABORTED &&
                  kErrorDeviceRemoved == ERROR_DEVICE_REMOVED &&
                  kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
                  kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
                  kErrorSharingViolation == ERROR_SHARING_VIOLATION &&
                  kErrorInvalidFunction == ERROR_INVALID_FUNCTION &&
                  kErrorInvalidHandle == ERROR_INVALID_HANDLE &&
                  kErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
                  kErrorPrivilegeNotHeld == ERROR_PRIVILEGE_NOT_HELD,
              "the error codes of comm_api.h are Win32's");

// A fresh OVERLAPPED in the record's platform block: zero offsets (a device
// has no file position), the record's event to signal completion.
OVERLAPPED* StartOverlapped(CommIo& io) {
  OVERLAPPED* overlapped = new (io.platformBlock) OVERLAPPED{};
  overlapped->hEvent = ToHandle(io.event);
  return overlapped;
}

// The OVERLAPPED that the last ReadFile or WriteFile of the record started.
OVERLAPPED* RunningOverlapped(CommIo& io) {
  return std::launder(reinterpret_cast<OVERLAPPED*>(io.platformBlock));
}

// Bits of the DCB flag word, field by field in the Win32 order.
void FlagsToDcb(uint32_t flags, DCB& dcb) {
  dcb.fBinary = (flags & kDcbBinary) != 0;
  dcb.fParity = (flags & kDcbParity) != 0;
  dcb.fOutxCtsFlow = (flags & kDcbOutxCtsFlow) != 0;
  dcb.fOutxDsrFlow = (flags & kDcbOutxDsrFlow) != 0;
  dcb.fDtrControl = (flags & kDcbDtrControlMask) >> 4;
  dcb.fDsrSensitivity = (flags & kDcbDsrSensitivity) != 0;
  dcb.fTXContinueOnXoff = (flags & kDcbTxContinueOnXoff) != 0;
  dcb.fOutX = (flags & kDcbOutX) != 0;
  dcb.fInX = (flags & kDcbInX) != 0;
  dcb.fErrorChar = (flags & kDcbErrorChar) != 0;
  dcb.fNull = (flags & kDcbNull) != 0;
  dcb.fRtsControl = (flags & kDcbRtsControlMask) >> 12;
  dcb.fAbortOnError = (flags & kDcbAbortOnError) != 0;
  // GCC cannot see that the 17 remaining bits fit the 17-bit field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
  dcb.fDummy2 = flags >> 15;
#pragma GCC diagnostic pop
}

uint32_t FlagsFromDcb(const DCB& dcb) {
  uint32_t flags = 0;
  if (dcb.fBinary != 0) flags |= kDcbBinary;
  if (dcb.fParity != 0) flags |= kDcbParity;
  if (dcb.fOutxCtsFlow != 0) flags |= kDcbOutxCtsFlow;
  if (dcb.fOutxDsrFlow != 0) flags |= kDcbOutxDsrFlow;
  flags |= (static_cast<uint32_t>(dcb.fDtrControl) << 4) & kDcbDtrControlMask;
  if (dcb.fDsrSensitivity != 0) flags |= kDcbDsrSensitivity;
  if (dcb.fTXContinueOnXoff != 0) flags |= kDcbTxContinueOnXoff;
  if (dcb.fOutX != 0) flags |= kDcbOutX;
  if (dcb.fInX != 0) flags |= kDcbInX;
  if (dcb.fErrorChar != 0) flags |= kDcbErrorChar;
  if (dcb.fNull != 0) flags |= kDcbNull;
  flags |= (static_cast<uint32_t>(dcb.fRtsControl) << 12) & kDcbRtsControlMask;
  if (dcb.fAbortOnError != 0) flags |= kDcbAbortOnError;
  flags |= static_cast<uint32_t>(dcb.fDummy2) << 15;
  return flags;
}

}  // namespace

namespace {

// The members that CommDcb and DCB share by name and meaning, copied either
// way; the bit fields go through the flag word separately.
template <typename From, typename To>
void CopySharedMembers(const From& from, To& to) {
  to.BaudRate = from.BaudRate;
  to.wReserved = from.wReserved;
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
  to.wReserved1 = from.wReserved1;
}

}  // namespace

void ToWin32Dcb(const CommDcb& from, DCB& to) {
  to = DCB{};
  to.DCBlength = sizeof(DCB);
  CopySharedMembers(from, to);
  FlagsToDcb(from.flags, to);
}

void FromWin32Dcb(const DCB& from, CommDcb& to) {
  CopySharedMembers(from, to);
  to.flags = FlagsFromDcb(from);
}

namespace {

// What a ReadFile or WriteFile call on an overlapped handle came to.
CommIoResult TransferOutcome(BOOL finished, DWORD done, uint32_t& transferred) {
  if (finished != FALSE) {
    transferred = done;
    return CommIoResult::kDone;
  }
  return ::GetLastError() == ERROR_IO_PENDING ? CommIoResult::kPending : CommIoResult::kFailed;
}

class Win32CommApi final : public CommApi {
 public:
  CommHandle CreateFileA(const std::string& deviceName) override {
    const HANDLE port = ::CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return port == INVALID_HANDLE_VALUE ? kInvalidCommHandle : FromHandle(port);
  }

  bool GetCommProperties(CommHandle port, CommProperties& properties) override {
    COMMPROP prop{};
    if (::GetCommProperties(ToHandle(port), &prop) == FALSE) return false;
    properties.dwMaxRxQueue = prop.dwMaxRxQueue;
    properties.dwMaxTxQueue = prop.dwMaxTxQueue;
    return true;
  }

  bool SetupComm(CommHandle port, uint32_t rxQueueSize, uint32_t txQueueSize) override {
    return ::SetupComm(ToHandle(port), rxQueueSize, txQueueSize) != FALSE;
  }

  bool GetCommState(CommHandle port, CommDcb& dcb) override {
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (::GetCommState(ToHandle(port), &state) == FALSE) return false;
    FromWin32Dcb(state, dcb);
    return true;
  }

  bool SetCommState(CommHandle port, const CommDcb& dcb) override {
    DCB state;
    ToWin32Dcb(dcb, state);
    return ::SetCommState(ToHandle(port), &state) != FALSE;
  }

  bool SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) override {
    COMMTIMEOUTS record{};
    record.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    record.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    record.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    record.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    record.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(ToHandle(port), &record) != FALSE;
  }

  bool ClearCommError(CommHandle port, CommStatus& status) override {
    DWORD errors = 0;
    COMSTAT comstat{};
    if (::ClearCommError(ToHandle(port), &errors, &comstat) == FALSE) return false;
    status.cbInQue = comstat.cbInQue;
    status.cbOutQue = comstat.cbOutQue;
    return true;
  }

  CommIoResult ReadFile(CommHandle port, void* buffer, uint32_t count, uint32_t& transferred,
                        CommIo& io) override {
    DWORD done = 0;
    const BOOL finished = ::ReadFile(ToHandle(port), buffer, count, &done, StartOverlapped(io));
    return TransferOutcome(finished, done, transferred);
  }

  CommIoResult WriteFile(CommHandle port, const void* buffer, uint32_t count,
                         uint32_t& transferred, CommIo& io) override {
    DWORD done = 0;
    const BOOL finished = ::WriteFile(ToHandle(port), buffer, count, &done, StartOverlapped(io));
    return TransferOutcome(finished, done, transferred);
  }

  bool GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) override {
    DWORD done = 0;
    if (::GetOverlappedResult(ToHandle(port), RunningOverlapped(io), &done, TRUE) == FALSE) {
      return false;
    }
    transferred = done;
    return true;
  }

  bool WaitForInput(CommHandle port, CommIo& io, uint32_t timeoutMs) override {
    const HANDLE device = ToHandle(port);
    if (!eventsUnusable_) {
      const EventWait outcome = WaitForCharEvent(device, io, timeoutMs);
      if (outcome != EventWait::kUnusable) return outcome == EventWait::kDone;
      // A device that ends the wait without an event (under wine, one
      // without modem lines, such as a pseudo-terminal) would make every
      // sleep a spin: from now on its queue is looked at once a millisecond.
      eventsUnusable_ = true;
    }
    return PollForInput(device, timeoutMs);
  }

  CommHandle CreateEventA() override {
    const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event == nullptr ? kNoCommHandle : FromHandle(event);
  }

  bool CloseHandle(CommHandle handle) override { return ::CloseHandle(ToHandle(handle)) != FALSE; }

  uint32_t GetLastError() override { return ::GetLastError(); }

 private:
  enum class EventWait { kDone, kFailed, kUnusable };

  // An overlapped WaitCommEvent for EV_RXCHAR, waited on for at most
  // `timeoutMs`; the installed time-outs stay as they are.
  static EventWait WaitForCharEvent(HANDLE device, CommIo& io, uint32_t timeoutMs) {
    if (::SetCommMask(device, EV_RXCHAR) == FALSE) return EventWait::kFailed;
    DWORD events = 0;
    OVERLAPPED* const overlapped = StartOverlapped(io);
    if (::WaitCommEvent(device, &events, overlapped) != FALSE) {
      return events != 0 ? EventWait::kDone : EventWait::kUnusable;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return EventWait::kFailed;
    // Bytes that arrived before the wait began raise no event: with the wait
    // running, anything already queued ends it at once.
    DWORD errors = 0;
    COMSTAT status{};
    const BOOL asked = ::ClearCommError(device, &errors, &status);
    const DWORD askError = asked == FALSE ? ::GetLastError() : ERROR_SUCCESS;
    if (asked != FALSE && status.cbInQue == 0) {
      ::WaitForSingleObject(overlapped->hEvent, timeoutMs);
    }
    // A wait that ended by itself without an event is of no use.
    const bool endedEmpty = HasOverlappedIoCompleted(overlapped) && events == 0;
    // Clearing the mask ends a wait that is still pending (older wine ends
    // it for no other mask); collecting it frees the record for the next read.
    ::SetCommMask(device, 0);
    DWORD done = 0;
    ::GetOverlappedResult(device, overlapped, &done, TRUE);
    if (asked == FALSE) {
      ::SetLastError(askError);
      return EventWait::kFailed;
    }
    return endedEmpty ? EventWait::kUnusable : EventWait::kDone;
  }

  // Looks at the input queue once a millisecond until bytes are waiting or
  // `timeoutMs` has passed.
  static bool PollForInput(HANDLE device, uint32_t timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
      DWORD errors = 0;
      COMSTAT status{};
      if (::ClearCommError(device, &errors, &status) == FALSE) return false;
      if (status.cbInQue != 0 || ::GetTickCount() - start >= timeoutMs) return true;
      ::SleepEx(1, FALSE);
    }
  }

  bool eventsUnusable_ = false;
};

}  // namespace

CommApi& PlatformCommApi() {
  static Win32CommApi api;
  return api;
}
