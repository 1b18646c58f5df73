// CommApi: the serial communications device as CSerial sees it.
//
// Each operation mirrors one Win32 communications call, with the same meaning
// and the same success/failure result, so that the Win32 realisation is a
// direct mapping and the POSIX realisation a translation. CSerial holds the
// algorithm once and never looks past this interface.
//
// Handles are opaque numbers. kNoCommHandle (0) is "none" (a null HANDLE);
// kInvalidCommHandle (all bits set) is the distinct failure value of
// CreateFileA, as INVALID_HANDLE_VALUE. Port handles and event handles share
// the type and are both released by CloseHandle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using CommHandle = std::uintptr_t;

constexpr CommHandle kNoCommHandle = 0;
constexpr CommHandle kInvalidCommHandle = ~CommHandle{0};

// The device settings record, member for member as the Win32 DCB (without
// DCBlength, which the Win32 realisation fills in itself). The bit fields of
// the DCB are held in the 32-bit word `flags`, in the Win32 bit order given by
// the kDcb... constants below.
struct CommDcb {
  uint32_t BaudRate = 0;
  uint32_t flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};

// Bits of CommDcb::flags, in the order of the DCB bit fields.
constexpr uint32_t kDcbBinary = 0x00000001;           // fBinary
constexpr uint32_t kDcbParity = 0x00000002;           // fParity: check parity on input
constexpr uint32_t kDcbOutxCtsFlow = 0x00000004;      // fOutxCtsFlow
constexpr uint32_t kDcbOutxDsrFlow = 0x00000008;      // fOutxDsrFlow
constexpr uint32_t kDcbDtrControlMask = 0x00000030;   // fDtrControl (2 bits)
constexpr uint32_t kDcbDtrControlDisable = 0x00000000;
constexpr uint32_t kDcbDtrControlEnable = 0x00000010;
constexpr uint32_t kDcbDtrControlHandshake = 0x00000020;
constexpr uint32_t kDcbDsrSensitivity = 0x00000040;   // fDsrSensitivity
constexpr uint32_t kDcbTxContinueOnXoff = 0x00000080; // fTXContinueOnXoff
constexpr uint32_t kDcbOutX = 0x00000100;             // fOutX: XON/XOFF on output
constexpr uint32_t kDcbInX = 0x00000200;              // fInX: XON/XOFF on input
constexpr uint32_t kDcbErrorChar = 0x00000400;        // fErrorChar
constexpr uint32_t kDcbNull = 0x00000800;             // fNull
constexpr uint32_t kDcbRtsControlMask = 0x00003000;   // fRtsControl (2 bits)
constexpr uint32_t kDcbRtsControlDisable = 0x00000000;
constexpr uint32_t kDcbRtsControlEnable = 0x00001000;
constexpr uint32_t kDcbRtsControlHandshake = 0x00002000;
constexpr uint32_t kDcbRtsControlToggle = 0x00003000;
constexpr uint32_t kDcbAbortOnError = 0x00004000;     // fAbortOnError

// COMMTIMEOUTS, milliseconds.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// The members of COMMPROP that matter here: the largest queue sizes the
// driver allows, 0 meaning no limit.
struct CommProperties {
  uint32_t dwMaxRxQueue = 0;
  uint32_t dwMaxTxQueue = 0;
};

// The members of COMSTAT that matter here.
struct CommStatus {
  uint32_t cbInQue = 0;   // received, not yet read
  uint32_t cbOutQue = 0;  // written, not yet sent
};

// A completion record: what an OVERLAPPED is to ReadFile and WriteFile.
// `event` is the auto-reset event the platform signals on completion (the
// OVERLAPPED's hEvent). `platformBlock` belongs to the realisation: the Win32
// one keeps its OVERLAPPED there (it fits on 32- and 64-bit Windows), others
// may keep the count of the last completed transfer. A value-initialised
// record (CommIo{}) is all zero: no event, zero offsets. The record must stay
// at one address from ReadFile/WriteFile until GetOverlappedResult returns.
struct CommIo {
  CommHandle event = kNoCommHandle;
  alignas(std::max_align_t) unsigned char platformBlock[32] = {};
};

// Win32 error codes, as GetLastError reports them. The POSIX realisation
// translates errno into the code Win32 gives for the same condition; an errno
// without one comes as kErrorPosixBase plus errno (bit 29: application codes).
constexpr uint32_t kErrorInvalidFunction = 1;     // not a communications device
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorBadCommand = 22;
constexpr uint32_t kErrorGenFailure = 31;         // device not functioning
constexpr uint32_t kErrorSharingViolation = 32;   // in use by another process
constexpr uint32_t kErrorInvalidParameter = 87;  // settings the device does not take
constexpr uint32_t kErrorOperationAborted = 995;
// No permission to open the device. (Windows refuses a port in use with
// kErrorAccessDenied; the POSIX realisation gives this code for EACCES and
// EPERM instead, so that the two causes stay apart.)
constexpr uint32_t kErrorPrivilegeNotHeld = 1314;
constexpr uint32_t kErrorDeviceRemoved = 1617;
constexpr uint32_t kErrorPosixBase = 0x20000000;

// Outcome of ReadFile and WriteFile.
enum class CommIoResult {
  kDone,     // finished at once; the count is valid (TRUE from Win32)
  kPending,  // continues in the background (ERROR_IO_PENDING); wait with GetOverlappedResult
  kFailed,   // any other error; the operation is over
};

class CommApi {
 public:
  virtual ~CommApi() = default;

  // Opens an existing device for reading and writing, not shared with any
  // other opener, for overlapped I/O. Returns kInvalidCommHandle on failure.
  virtual CommHandle CreateFileA(const std::string& deviceName) = 0;
  // Largest queue sizes of the device; false when it can't be asked.
  virtual bool GetCommProperties(CommHandle port, CommProperties& properties) = 0;
  // Asks the driver for receive and transmit queues of the given sizes.
  virtual bool SetupComm(CommHandle port, uint32_t rxQueueSize, uint32_t txQueueSize) = 0;
  virtual bool GetCommState(CommHandle port, CommDcb& dcb) = 0;
  // Applies every member of `dcb`; false when the device does not accept them.
  virtual bool SetCommState(CommHandle port, const CommDcb& dcb) = 0;
  virtual bool SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) = 0;
  // Clears the device's line-error state and reports the bytes waiting in
  // each direction. False when the device can't be asked (or has gone).
  virtual bool ClearCommError(CommHandle port, CommStatus& status) = 0;
  // Starts a transfer of `count` bytes with the completion record `io`.
  // kDone sets `transferred`; kPending leaves the result to GetOverlappedResult.
  virtual CommIoResult ReadFile(CommHandle port, void* buffer, uint32_t count,
                                uint32_t& transferred, CommIo& io) = 0;
  virtual CommIoResult WriteFile(CommHandle port, const void* buffer, uint32_t count,
                                 uint32_t& transferred, CommIo& io) = 0;
  // Waits until the transfer of `io` has finished and gives its count.
  virtual bool GetOverlappedResult(CommHandle port, CommIo& io, uint32_t& transferred) = 0;
  // Sleeps until received bytes are waiting to be read or `timeoutMs` has
  // passed, whichever comes first, without taking any byte; may return
  // sooner (a signal, a line that hung up), so callers look at the queue and
  // the time again. Returns at once when bytes are already waiting. Uses the
  // completion record `io`, free again when the call returns (Win32: an
  // overlapped WaitCommEvent for EV_RXCHAR, waited on with a time-out, or a
  // look at the queue every millisecond where that wait ends without an
  // event; the installed COMMTIMEOUTS stay as they are). False when the
  // device cannot be waited on.
  virtual bool WaitForInput(CommHandle port, CommIo& io, uint32_t timeoutMs) = 0;
  // An unnamed auto-reset event, initially not signalled; kNoCommHandle when
  // none could be made.
  virtual CommHandle CreateEventA() = 0;
  // Releases a port or an event handle.
  virtual bool CloseHandle(CommHandle handle) = 0;
  // Why the last call above that failed did so (a kError... code); valid
  // right after that call, as GetLastError.
  virtual uint32_t GetLastError() = 0;
};

// The realisation for the platform the program is built for; defined once per
// platform (comm_posix.cpp, comm_win32.cpp). Lives as long as the process.
CommApi& PlatformCommApi();
