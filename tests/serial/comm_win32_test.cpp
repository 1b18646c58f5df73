// The Win32 serial device over a scripted driver: what a real adapter's
// driver may do that wine's never does (leave a pending wait or write
// unended, refuse a request, report a removal code, hand over a DCB that an
// earlier program left).
#include "serial/comm_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// When a pending operation ends: at once, within the wait on it, when the
// wait mask is cleared, only when cancelled, or never.
enum class Ends { kAtOnce, kInTime, kOnMask, kOnCancel, kNever };

struct Script {
  std::map<std::string, DWORD> failing;  // call, the error it gives
  std::map<std::string, int> calls;
  COMMPROP maxima{};
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  std::string input;
  DWORD outQueue = 0;
  Ends ends = Ends::kAtOnce;
  DWORD endError = 0;          // the error a pending operation ends with (0: success)
  DWORD events = EV_RXCHAR;    // what a wait reports when it ends by itself
  std::string arrives;         // bytes that arrive as a wait ends by itself
  DWORD shortBy = 0;           // bytes a write leaves unsent
  std::vector<DWORD> waitedMs; // the bound of every wait on an event
  // The pending operation.
  bool pending = false, ended = false, isWait = false;
  DWORD result = 0, count = 0, lastError = 0;
  DWORD* eventMask = nullptr;
} s;

const HANDLE kPort = reinterpret_cast<HANDLE>(0x10);
const HANDLE kEvent = reinterpret_cast<HANDLE>(0x20);

BOOL Call(const char* name) {
  ++s.calls[name];
  const auto failing = s.failing.find(name);
  return failing == s.failing.end() ? TRUE : (s.lastError = failing->second, FALSE);
}
void End(DWORD error, bool byItself = true) {
  s.ended = true;
  s.result = error;
  if (s.isWait && error == 0 && byItself) *s.eventMask = s.events;
  if (s.isWait && byItself) s.input += s.arrives;
}
// Starts an operation of `count`: done at once, or pending.
BOOL Start(DWORD count, LPDWORD done, bool isWait) {
  if (s.ends == Ends::kAtOnce) return *done = count, TRUE;
  s.pending = true, s.ended = false, s.isWait = isWait, s.count = count;
  s.lastError = ERROR_IO_PENDING;
  return FALSE;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD flags, HANDLE) {
  EXPECT_EQ(std::wstring(name), L"\\\\.\\COM7");
  EXPECT_TRUE(access == (GENERIC_READ | GENERIC_WRITE) && share == 0 &&
              disposition == OPEN_EXISTING && flags == FILE_FLAG_OVERLAPPED);
  return Call("CreateFileW") ? kPort : INVALID_HANDLE_VALUE;
}
BOOL WINAPI FakeGetCommProperties(HANDLE, LPCOMMPROP p) {
  return Call("GetCommProperties") && (*p = s.maxima, true);
}
BOOL WINAPI FakeSetupComm(HANDLE, DWORD, DWORD) { return Call("SetupComm"); }
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb) {
  return Call("GetCommState") && (*dcb = s.dcb, true);
}
// As Windows does, equal XON and XOFF characters are refused.
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb) {
  if (!Call("SetCommState")) return FALSE;
  if (dcb->XonChar == dcb->XoffChar) return s.lastError = ERROR_INVALID_PARAMETER, FALSE;
  return s.dcb = *dcb, TRUE;
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
  return Call("SetCommTimeouts") && (s.timeouts = *t, true);
}
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
  if (!Call("ClearCommError")) return FALSE;
  *errors = 0;
  *status = COMSTAT{};
  status->cbInQue = static_cast<DWORD>(s.input.size());
  status->cbOutQue = s.outQueue;
  return TRUE;
}
BOOL WINAPI FakeReadFile(HANDLE, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED io) {
  EXPECT_EQ(io->hEvent, kEvent);
  if (!Call("ReadFile")) return FALSE;
  s.input.copy(static_cast<char*>(buffer), count);
  s.input.erase(0, count);
  return Start(count, done, false);
}
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD count, LPDWORD done, LPOVERLAPPED io) {
  EXPECT_EQ(io->hEvent, kEvent);
  return Call("WriteFile") && Start(count - s.shortBy, done, false);
}
BOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD done, BOOL wait) {
  EXPECT_FALSE(wait) << "collected only once it has ended";
  if (!Call("GetOverlappedResult") || !s.ended) return s.lastError = ERROR_IO_INCOMPLETE, FALSE;
  s.pending = false;
  *done = s.count;
  return s.result == 0 ? TRUE : (s.lastError = s.result, FALSE);
}
BOOL WINAPI FakeCancelIo(HANDLE) {
  Call("CancelIo");
  if (s.pending && !s.ended && s.ends != Ends::kNever) End(ERROR_OPERATION_ABORTED, false);
  return TRUE;
}
BOOL WINAPI FakeSetCommMask(HANDLE, DWORD mask) {
  if (!Call("SetCommMask")) return FALSE;
  if (mask == 0 && s.pending && !s.ended && s.ends == Ends::kOnMask) End(0, false);
  return TRUE;
}
BOOL WINAPI FakeWaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED io) {
  EXPECT_EQ(io->hEvent, kEvent);
  if (!Call("WaitCommEvent")) return FALSE;
  *mask = 0;
  s.eventMask = mask;
  if (s.ends == Ends::kAtOnce) return *mask = s.events, TRUE;
  DWORD unused = 0;
  return Start(0, &unused, true);
}
DWORD WINAPI FakeWaitForSingleObject(HANDLE event, DWORD ms) {
  EXPECT_EQ(event, kEvent);
  s.waitedMs.push_back(ms);
  if (s.pending && !s.ended && s.ends == Ends::kInTime) End(s.endError);
  return s.pending && s.ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
// WaitCommEvent wants a manual-reset event: an auto-reset one is refused.
HANDLE WINAPI FakeCreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL signalled, LPCWSTR) {
  return Call("CreateEventW") && manualReset && !signalled ? kEvent : nullptr;
}
BOOL WINAPI FakeCloseHandle(HANDLE) { return Call("CloseHandle"); }
DWORD WINAPI FakeGetLastError() { return s.lastError; }

// A closed device over a fresh script.
std::unique_ptr<SerialDevice> ScriptedDevice() {
  s = Script{};
  return NewWin32SerialDevice({FakeCreateFileW, FakeGetCommProperties, FakeSetupComm,
                               FakeGetCommState, FakeSetCommState, FakeSetCommTimeouts,
                               FakeClearCommError, FakeReadFile, FakeWriteFile,
                               FakeGetOverlappedResult, FakeCancelIo, FakeSetCommMask,
                               FakeWaitCommEvent, FakeWaitForSingleObject, FakeCreateEventW,
                               FakeCloseHandle, FakeGetLastError});
}
bool OpenAndConfigure(SerialDevice& device, const LineSettings& line) {
  return device.Open("\\\\.\\COM7") && device.Configure(line);
}

// Whatever the DCB held before (every flag set, XON = XOFF = 0 as some
// drivers report), the line is set whole; queues the driver refuses keep
// the port working.
TEST(Win32SerialDevice, SetsTheWholeLineOverWhatTheDeviceLeft) {
  const struct {
    const char* name;
    DWORD maxRx, maxTx;
    bool setupRefused;
    Parity parity;
    WORD limits;       // XonLim and XoffLim: bytes of the receive queue
    uint32_t refused;  // the smallest write refused into an empty queue
  } cases[] = {{"no device limits", 0, 0, false, Parity::kNone, 1024, 4096},
               {"transmit queue of 2048", 0, 2048, false, Parity::kNone, 1024, 2048},
               {"receive queue of 1000, odd parity", 1000, 0, false, Parity::kOdd, 250, 4096},
               {"SetupComm refused", 0, 0, true, Parity::kEven, 1024, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = ScriptedDevice();
    std::memset(&s.dcb, 0xFF, sizeof s.dcb);
    s.dcb.XonChar = s.dcb.XoffChar = 0;
    s.maxima.dwMaxRxQueue = c.maxRx;
    s.maxima.dwMaxTxQueue = c.maxTx;
    if (c.setupRefused) s.failing["SetupComm"] = ERROR_INVALID_PARAMETER;
    ASSERT_TRUE(OpenAndConfigure(*device, {9600, c.parity})) << device->Error().code;
    const DCB& d = s.dcb;
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, static_cast<BYTE>(c.parity));
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fParity, c.parity != Parity::kNone);
    EXPECT_TRUE(d.fBinary && d.fTXContinueOnXoff);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_FALSE(d.fOutxCtsFlow || d.fOutxDsrFlow || d.fDsrSensitivity || d.fOutX || d.fInX);
    EXPECT_FALSE(d.fNull || d.fErrorChar || d.fAbortOnError) << "bytes kept as they come";
    EXPECT_TRUE(d.XonChar != d.XoffChar && d.ErrorChar == 0 && d.EofChar == 0 && d.EvtChar == 0);
    EXPECT_EQ(d.XonLim, c.limits);
    EXPECT_EQ(d.XoffLim, c.limits);
    EXPECT_EQ(s.timeouts.ReadTotalTimeoutConstant, 2000u);
    EXPECT_EQ(s.timeouts.WriteTotalTimeoutMultiplier, 3u) << "twice the time of a byte, in ms";
    std::string bytes(c.refused, 'x');
    uint32_t sent = 0;
    EXPECT_TRUE(device->Write(bytes.data(), c.refused - 1, sent) && sent == c.refused - 1);
    EXPECT_TRUE(device->Write(bytes.data(), c.refused, sent) && sent == 0);
  }
}

// The fault each failing call gives. Once the port has worked, every code a
// removed adapter may give means it has gone.
TEST(Win32SerialDevice, FailuresGiveTheirFaults) {
  const struct {
    const char* call;
    DWORD error;
    bool afterConfigure;
    SerialFault fault;
  } cases[] = {{"CreateFileW", ERROR_FILE_NOT_FOUND, false, SerialFault::kNotFound},
               {"CreateFileW", ERROR_ACCESS_DENIED, false, SerialFault::kInUse},
               {"CreateFileW", ERROR_PRIVILEGE_NOT_HELD, false, SerialFault::kPermission},
               {"GetCommState", ERROR_NOT_READY, false, SerialFault::kGone},
               {"SetCommState", ERROR_INVALID_FUNCTION, false, SerialFault::kNotSerial},
               {"ClearCommError", ERROR_FILE_NOT_FOUND, true, SerialFault::kGone},
               {"ClearCommError", ERROR_DEV_NOT_EXIST, true, SerialFault::kGone},
               {"ClearCommError", kErrorNoSuchDevice, true, SerialFault::kGone},
               {"ClearCommError", ERROR_DEVICE_NOT_CONNECTED, true, SerialFault::kGone},
               {"ClearCommError", ERROR_DEVICE_REMOVED, true, SerialFault::kGone},
               {"ClearCommError", ERROR_INVALID_FUNCTION, true, SerialFault::kGone},
               {"ClearCommError", ERROR_INVALID_HANDLE, true, SerialFault::kOther}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error));
    auto device = ScriptedDevice();
    if (!c.afterConfigure) s.failing[c.call] = c.error;
    ASSERT_EQ(OpenAndConfigure(*device, {}), c.afterConfigure);
    s.failing[c.call] = c.error;
    uint32_t got = 0;
    char byte;
    EXPECT_TRUE(!c.afterConfigure || !device->Read(&byte, 1, got));
    EXPECT_EQ(device->Error().fault, c.fault);
    EXPECT_EQ(device->Error().code, c.error);
  }
}

// Every pending wait, read and write ends within its bound: past it, a wait is
// ended by clearing the mask, anything that still runs is cancelled, and what
// does not end even then leaves the port gone rather than the program waiting.
TEST(Win32SerialDevice, PendingOperationsEndWithinTheirBound) {
  enum Op { kWait, kRead, kWrite };
  const struct {
    const char* name;
    Op op;
    Ends ends;
    DWORD endError;
    std::string queued, arrives;
    bool ok;
    DWORD fault;  // the error code of the failure (0: none)
    bool cancelled;
    std::vector<DWORD> waits;  // the bound of each wait on the event, in ms
    DWORD shortBy = 0;         // bytes a write leaves unsent
  } cases[] = {
      {"wait ended by a byte", kWait, Ends::kInTime, 0, "", "a", true, 0, false, {50}},
      {"wait that only the cleared mask ends", kWait, Ends::kOnMask, 0, "", "", true, 0, false,
       {50, 1000}},
      {"wait that only a cancel ends", kWait, Ends::kOnCancel, 0, "", "", true, 0, true,
       {50, 1000, 1000}},
      {"wait that never ends", kWait, Ends::kNever, 0, "", "", false, ERROR_TIMEOUT, true,
       {50, 1000, 1000}},
      {"bytes queued before the wait", kWait, Ends::kOnMask, 0, "ab", "", true, 0, false, {1000}},
      {"wait cancelled by the driver as a byte arrives", kWait, Ends::kInTime,
       ERROR_OPERATION_ABORTED, "", "a", true, 0, false, {50}},
      // Wine on a pseudo-terminal: every wait ends at once, cancelled.
      {"wait cancelled by the driver with nothing queued", kWait, Ends::kInTime,
       ERROR_OPERATION_ABORTED, "", "", true, 0, false, {50}},
      {"read that ends in time", kRead, Ends::kInTime, 0, "abc", "", true, 0, false, {3000}},
      // 4 bytes at 3 ms each, 1000 ms for the driver's time-out, 1000 ms beyond it.
      {"write that ends in time", kWrite, Ends::kInTime, 0, "", "", true, 0, false, {2012}},
      {"write that only a cancel ends", kWrite, Ends::kOnCancel, 0, "", "", false,
       ERROR_OPERATION_ABORTED, true, {2012, 1000}},
      {"write that never ends", kWrite, Ends::kNever, 0, "", "", false, ERROR_TIMEOUT, true,
       {2012, 1000}},
      {"write the driver ends short at its time-out", kWrite, Ends::kInTime, 0, "", "", false,
       ERROR_TIMEOUT, false, {2012}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = ScriptedDevice();
    ASSERT_TRUE(OpenAndConfigure(*device, {9600}));
    s.ends = c.ends;
    s.endError = c.endError;
    s.input = c.queued;
    s.arrives = c.arrives;
    s.shortBy = c.shortBy;
    s.events = c.endError == 0 ? EV_RXCHAR : 0;
    uint32_t count = 0;
    char buffer[4];
    const bool ok = c.op == kWait ? device->WaitForInput(50)
                  : c.op == kRead ? device->Read(buffer, 3, count)
                                  : device->Write("abcd", 4, count);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(ok ? 0 : device->Error().code, c.fault);
    EXPECT_EQ(device->Error().fault, ok ? SerialFault::kNone : SerialFault::kGone);
    EXPECT_EQ(s.calls["CancelIo"] != 0, c.cancelled);
    EXPECT_TRUE(!s.pending || c.ends == Ends::kNever) << "collected before returning";
    EXPECT_EQ(s.waitedMs, c.waits);
    if (c.op == kWait && ok) {
      // Waits stay in use unless one ended by itself with neither an event
      // nor a byte: then the queue is polled, up to the time given.
      s.ends = Ends::kInTime;
      EXPECT_TRUE(device->WaitForInput(50));
      EXPECT_EQ(s.calls["WaitCommEvent"], c.arrives.empty() && c.endError != 0 ? 1 : 2);
    }
  }
}

}  // namespace
