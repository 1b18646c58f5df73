// The Win32 serial device over a scripted table of Win32 calls: the order and
// arguments of the configuration's calls and the DCB it installs, the calls
// of each transfer, the write room test, and the errors that say a device has
// gone. The calls against a real port (the overlapped waits, WaitCommEvent)
// are run end to end under wine.
#include "serial/comm_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// What the scripted device reports and what it was given.
struct Script {
  std::vector<std::string> calls;
  std::map<std::string, DWORD> failing;  // call, the error it gives
  std::string opened;
  std::vector<DWORD> openArguments;  // access, share mode, disposition, flags
  COMMPROP maxima{};
  DCB dcb{};
  std::pair<DWORD, DWORD> setup;
  COMMTIMEOUTS timeouts{};
  std::string input, written;
  DWORD outQueue = 0;
  bool pending = false;  // transfers continue in the background
  DWORD shortBy = 0;     // writes take this many bytes less
  DWORD pendingCount = 0, lastError = 0;
  std::set<HANDLE> handles;  // open port and events
  uintptr_t nextHandle = 0x100;
};
Script script;

const HANDLE kPort = reinterpret_cast<HANDLE>(0x10);

// Records the call; FALSE, with its error, when it is to fail.
BOOL Call(const char* name, HANDLE port = kPort) {
  EXPECT_EQ(port, kPort) << name;
  script.calls.push_back(name);
  const auto failing = script.failing.find(name);
  if (failing == script.failing.end()) return TRUE;
  script.lastError = failing->second;
  return FALSE;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD flags, HANDLE) {
  script.opened = name;
  script.openArguments = {access, share, disposition, flags};
  if (!Call("CreateFileA")) return INVALID_HANDLE_VALUE;
  script.handles.insert(kPort);
  return kPort;
}
BOOL WINAPI FakeGetCommProperties(HANDLE port, LPCOMMPROP to) {
  return Call("GetCommProperties", port) && (*to = script.maxima, true);
}
BOOL WINAPI FakeSetupComm(HANDLE port, DWORD rx, DWORD tx) {
  return Call("SetupComm", port) && (script.setup = {rx, tx}, true);
}
BOOL WINAPI FakeGetCommState(HANDLE port, LPDCB to) {
  return Call("GetCommState", port) && (*to = script.dcb, true);
}
BOOL WINAPI FakeSetCommState(HANDLE port, LPDCB from) {
  return Call("SetCommState", port) && (script.dcb = *from, true);
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS from) {
  return Call("SetCommTimeouts", port) && (script.timeouts = *from, true);
}
BOOL WINAPI FakeClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
  if (!Call("ClearCommError", port)) return FALSE;
  *errors = 0;
  *status = COMSTAT{};
  status->cbInQue = static_cast<DWORD>(script.input.size());
  status->cbOutQue = script.outQueue;
  return TRUE;
}
BOOL Finish(DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
  EXPECT_TRUE(overlapped != nullptr && overlapped->hEvent != nullptr);
  if (!script.pending) return *done = count, TRUE;
  script.pendingCount = count;
  script.lastError = ERROR_IO_PENDING;
  return FALSE;
}
BOOL WINAPI FakeReadFile(HANDLE port, LPVOID buffer, DWORD count, LPDWORD done,
                         LPOVERLAPPED overlapped) {
  if (!Call("ReadFile", port)) return FALSE;
  const DWORD taken = std::min<DWORD>(count, static_cast<DWORD>(script.input.size()));
  script.input.copy(static_cast<char*>(buffer), taken);
  script.input.erase(0, taken);
  return Finish(taken, done, overlapped);
}
BOOL WINAPI FakeWriteFile(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD done,
                          LPOVERLAPPED overlapped) {
  if (!Call("WriteFile", port)) return FALSE;
  script.written.append(static_cast<const char*>(buffer), count - script.shortBy);
  return Finish(count - script.shortBy, done, overlapped);
}
BOOL WINAPI FakeGetOverlappedResult(HANDLE port, LPOVERLAPPED, LPDWORD done, BOOL wait) {
  EXPECT_TRUE(wait);
  return Call("GetOverlappedResult", port) && (*done = script.pendingCount, true);
}
HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
  EXPECT_TRUE(!manualReset && !initialState);
  if (!Call("CreateEventA")) return nullptr;
  return *script.handles.insert(reinterpret_cast<HANDLE>(script.nextHandle++)).first;
}
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  script.calls.push_back("CloseHandle");
  return script.handles.erase(handle) == 1;
}
DWORD WINAPI FakeGetLastError() { return script.lastError; }

// A closed device over the script, started afresh.
std::unique_ptr<SerialDevice> NewScriptedDevice() {
  script = Script{};
  script.dcb.DCBlength = sizeof(DCB);
  Win32CommCalls calls;
  calls.CreateFileA = FakeCreateFileA;
  calls.GetCommProperties = FakeGetCommProperties;
  calls.SetupComm = FakeSetupComm;
  calls.GetCommState = FakeGetCommState;
  calls.SetCommState = FakeSetCommState;
  calls.SetCommTimeouts = FakeSetCommTimeouts;
  calls.ClearCommError = FakeClearCommError;
  calls.ReadFile = FakeReadFile;
  calls.WriteFile = FakeWriteFile;
  calls.GetOverlappedResult = FakeGetOverlappedResult;
  calls.CreateEventA = FakeCreateEventA;
  calls.CloseHandle = FakeCloseHandle;
  calls.GetLastError = FakeGetLastError;
  return NewWin32SerialDevice(calls);
}

// The DCB's bit fields as one word, in the Win32 bit order (after DCBlength and BaudRate).
uint32_t FlagWord(const DCB& dcb) {
  uint32_t word = 0;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + 2 * sizeof(DWORD), sizeof word);
  return word;
}
void SetFlagWord(DCB& dcb, uint32_t word) {
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + 2 * sizeof(DWORD), &word, sizeof word);
}

using Calls = std::vector<std::string>;

// The queues go down to the device's maxima, never up again; the device gets
// the line, the flag word's changes, limits from the queue sizes, no
// end-of-file character and the time-outs, and keeps the rest of what it
// reported; each configuration renews the events; closing releases all.
TEST(Win32SerialDevice, ConfigurationCallsAndTheDcbTheyInstall) {
  const struct {
    const char* name;
    DWORD maxRx, maxTx;
    uint32_t deviceFlags;
    DWORD rx, tx;
    uint32_t flags;
  } cases[] = {{"no limits, no flags", 0, 0, 0, 4096, 4096, 0x1011},
               {"small transmit queue, every flag", 0, 2048, ~0u, 4096, 2048, 0xFFFF9C93},
               {"small receive queue", 1000, 0, 0, 1000, 4096, 0x1011},
               {"larger maxima", 8192, 65536, 0, 4096, 4096, 0x1011}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      const auto device = NewScriptedDevice();
      script.maxima.dwMaxRxQueue = c.maxRx;
      script.maxima.dwMaxTxQueue = c.maxTx;
      DCB& reported = script.dcb;
      reported.BaudRate = 9600;
      SetFlagWord(reported, c.deviceFlags);
      reported.wReserved = 7;
      reported.ByteSize = 5;
      reported.Parity = EVENPARITY;
      reported.StopBits = ONE5STOPBITS;
      reported.XonChar = 0x11, reported.XoffChar = 0x13, reported.ErrorChar = '?';
      reported.EofChar = 0x1A, reported.EvtChar = '\n', reported.wReserved1 = 9;
      DCB wanted = reported;
      ASSERT_TRUE(device->Open("\\\\.\\COM7"));
      ASSERT_TRUE(device->Configure({19200, Parity::kOdd, DataBits::k7, StopBits::kTwo}));
      EXPECT_EQ(script.calls, (Calls{"CreateFileA", "GetCommProperties", "SetupComm",
                                     "GetCommState", "SetCommState", "SetCommTimeouts",
                                     "CreateEventA", "CreateEventA"}));
      EXPECT_EQ(script.opened, "\\\\.\\COM7");
      EXPECT_EQ(script.openArguments, (std::vector<DWORD>{GENERIC_READ | GENERIC_WRITE, 0,
                                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED}));
      script.maxima = COMMPROP{};  // no limit now: the queues stay as lowered
      script.calls.clear();
      ASSERT_TRUE(device->Configure({57600, Parity::kMark, DataBits::k8, StopBits::kOne}));
      EXPECT_EQ(script.calls, (Calls{"GetCommProperties", "SetupComm", "GetCommState",
                                     "SetCommState", "SetCommTimeouts", "CloseHandle",
                                     "CreateEventA", "CloseHandle", "CreateEventA"}));
      EXPECT_EQ(script.setup, std::make_pair(c.rx, c.tx));
      wanted.BaudRate = 57600;
      wanted.ByteSize = 8;
      wanted.Parity = MARKPARITY;
      wanted.StopBits = ONESTOPBIT;
      SetFlagWord(wanted, c.flags);
      wanted.XonLim = static_cast<WORD>(c.rx / 4);
      wanted.XoffLim = static_cast<WORD>(c.tx / 4);
      wanted.EofChar = 0;
      EXPECT_EQ(FlagWord(script.dcb), c.flags);
      EXPECT_EQ(std::memcmp(&script.dcb, &wanted, sizeof wanted), 0);
      const COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
      EXPECT_EQ(std::memcmp(&script.timeouts, &timeouts, sizeof timeouts), 0);
      EXPECT_EQ(script.handles.size(), 3u);
    }
    EXPECT_TRUE(script.handles.empty()) << "the port and the events go with the device";
  }
}

// The fault each failing call gives, whether the port stays open, and
// whether a configuration that went through leaves it ready for transfers.
TEST(Win32SerialDevice, FailedCallsGiveTheirFaults) {
  const struct {
    const char* call;
    DWORD error;
    bool configured, openAfter, ready;
    SerialFault fault;
  } cases[] = {
      {"CreateFileA", ERROR_FILE_NOT_FOUND, false, false, false, SerialFault::kNotFound},
      {"CreateFileA", ERROR_PATH_NOT_FOUND, false, false, false, SerialFault::kNotFound},
      {"CreateFileA", ERROR_ACCESS_DENIED, false, false, false, SerialFault::kInUse},
      {"CreateFileA", ERROR_SHARING_VIOLATION, false, false, false, SerialFault::kInUse},
      {"CreateFileA", ERROR_PRIVILEGE_NOT_HELD, false, false, false, SerialFault::kPermission},
      {"CreateFileA", ERROR_INVALID_FUNCTION, false, false, false, SerialFault::kNotSerial},
      {"CreateFileA", 1234, false, false, false, SerialFault::kOther},
      {"GetCommProperties", ERROR_INVALID_FUNCTION, true, true, true, SerialFault::kNone},
      {"SetupComm", ERROR_INVALID_PARAMETER, false, true, false, SerialFault::kSettingsRefused},
      {"GetCommState", ERROR_NOT_READY, false, false, false, SerialFault::kGone},
      {"SetCommState", ERROR_INVALID_PARAMETER, false, true, false, SerialFault::kSettingsRefused},
      {"SetCommTimeouts", ERROR_GEN_FAILURE, false, true, false, SerialFault::kGone},
      {"CreateEventA", ERROR_OUTOFMEMORY, true, true, false, SerialFault::kNone}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error));
    const auto device = NewScriptedDevice();
    script.failing[c.call] = c.error;
    script.input = "ab";
    EXPECT_EQ(device->Open("\\\\.\\COM1") && device->Configure(LineSettings{}), c.configured);
    EXPECT_EQ(device->IsOpen(), c.openAfter);
    EXPECT_EQ(device->Error().fault, c.fault);
    EXPECT_EQ(device->Error().code, c.fault == SerialFault::kNone ? 0 : c.error);
    char buffer[2];
    uint32_t got = 0;
    EXPECT_EQ(c.openAfter && device->Read(buffer, 2, got) && got == 2, c.ready);
  }
}

// Reads take only what has arrived; a write must be strictly smaller than the
// free room of the transmit queue (unsigned arithmetic); either may finish in
// the background. Failures that only a vanished device gives say it is gone.
TEST(Win32SerialDevice, TransfersAndTheirFailures) {
  const struct {
    const char* name;
    bool pending;
    const char* failing;
    DWORD error, outQueue, shortBy;
    const char* read;  // of "123", asked for 2
    size_t left;       // input left
    uint32_t sent;
    SerialFault fault;
  } cases[] = {{"at once", false, "", 0, 0, 0, "12", 1, 5, SerialFault::kNone},
               {"pending", true, "", 0, 0, 0, "12", 1, 5, SerialFault::kNone},
               {"exactly the free room", false, "", 0, 4091, 0, "12", 1, 0, SerialFault::kNone},
               {"one byte less than the room", false, "", 0, 4090, 0, "12", 1, 5,
                SerialFault::kNone},
               {"backlog beyond the queue", false, "", 0, 5000, 0, "12", 1, 5, SerialFault::kNone},
               {"short write", false, "", 0, 0, 1, "12", 1, 4, SerialFault::kNone},
               {"wait fails", true, "GetOverlappedResult", ERROR_INVALID_PARAMETER, 0, 0, "", 1, 0,
                SerialFault::kSettingsRefused},
               {"wait: bad command", true, "GetOverlappedResult", ERROR_BAD_COMMAND, 0, 0, "", 1,
                0, SerialFault::kGone},
               {"read: bad handle", false, "ReadFile", ERROR_INVALID_HANDLE, 0, 0, "", 3, 5,
                SerialFault::kOther},
               {"read: not functioning", false, "ReadFile", ERROR_GEN_FAILURE, 0, 0, "", 3, 5,
                SerialFault::kGone},
               {"read: aborted", false, "ReadFile", ERROR_OPERATION_ABORTED, 0, 0, "", 3, 5,
                SerialFault::kGone},
               {"write: denied", false, "WriteFile", ERROR_ACCESS_DENIED, 0, 0, "12", 1, 0,
                SerialFault::kGone},
               {"status: removed", false, "ClearCommError", ERROR_DEVICE_REMOVED, 0, 0, "", 3, 0,
                SerialFault::kGone},
               {"status: not ready", false, "ClearCommError", ERROR_NOT_READY, 0, 0, "", 3, 0,
                SerialFault::kGone}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto device = NewScriptedDevice();
    ASSERT_TRUE(device->Open("\\\\.\\COM1") && device->Configure(LineSettings{}));
    script.input = "123";
    script.pending = c.pending;
    script.outQueue = c.outQueue;
    script.shortBy = c.shortBy;
    script.failing[c.failing] = c.error;
    char buffer[16] = {};
    uint32_t got = 0;
    uint32_t sent = 0;
    EXPECT_EQ(device->Read(buffer, 2, got), c.read[0] != '\0');
    EXPECT_EQ(std::string(buffer, got), c.read);
    EXPECT_EQ(script.input.size(), c.left);
    device->Write("hello", 5, 0, sent);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(script.written.size(), c.sent);
    EXPECT_EQ(device->Error().fault, c.fault);
  }
}

// Purge reads exactly what was waiting when it looked; a write with a time
// limit installs it first, and one without takes the limit away again.
TEST(Win32SerialDevice, PurgeAndWriteTimeLimits) {
  const auto device = NewScriptedDevice();
  ASSERT_TRUE(device->Open("\\\\.\\COM1") && device->Configure(LineSettings{}));
  script.input = "abc";
  script.calls.clear();
  EXPECT_TRUE(device->Purge());
  EXPECT_EQ(script.calls, (Calls{"ClearCommError", "ClearCommError", "ReadFile"}));
  EXPECT_EQ(script.input, "");
  uint32_t sent = 0;
  for (const auto& [limit, installs] : {std::make_pair(50u, true), std::make_pair(50u, false),
                                        std::make_pair(0u, true)}) {
    script.calls.clear();
    EXPECT_TRUE(device->Write("x", 1, limit, sent) && sent == 1);
    EXPECT_EQ(script.calls.front() == "SetCommTimeouts", installs) << limit;
    EXPECT_EQ(script.timeouts.WriteTotalTimeoutConstant, limit);
  }
}

}  // namespace
