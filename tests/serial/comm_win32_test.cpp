// The Win32 serial device over a scripted table of Win32 calls. The waits on
// a real port (WaitCommEvent) are run end to end under wine.
#include "serial/comm_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// What the scripted device reports and what it was given.
struct Script {
  Calls calls;
  std::map<std::string, DWORD> failing;  // call, the error it gives
  std::vector<DWORD> openArguments;      // access, share mode, disposition, flags
  COMMPROP maxima{};
  DCB dcb{};
  std::pair<DWORD, DWORD> setup;
  COMMTIMEOUTS timeouts{};
  std::string input, written;
  DWORD outQueue = 0, shortBy = 0, pendingCount = 0, lastError = 0;
  bool pending = false;      // transfers continue in the background
  std::set<HANDLE> handles;  // the open port and events
} script;

const HANDLE kPort = reinterpret_cast<HANDLE>(0x10);

// Records the call; FALSE, with its error, when it is to fail.
BOOL Call(const char* name, HANDLE port = kPort) {
  EXPECT_EQ(port, kPort) << name;
  script.calls.push_back(name);
  const auto failing = script.failing.find(name);
  return failing == script.failing.end() ? TRUE : (script.lastError = failing->second, FALSE);
}
BOOL Finish(DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
  EXPECT_TRUE(overlapped != nullptr && overlapped->hEvent != nullptr);
  if (!script.pending) return *done = count, TRUE;
  script.pendingCount = count;
  script.lastError = ERROR_IO_PENDING;
  return FALSE;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD flags, HANDLE) {
  script.openArguments = {access, share, disposition, flags};
  EXPECT_STREQ(name, "\\\\.\\COM7");
  return Call("CreateFileA") ? *script.handles.insert(kPort).first : INVALID_HANDLE_VALUE;
}
// A call that hands one record over, in the direction of the call.
#define TALVORN_FAKE_COPY(Name, Type, handOver) \
  BOOL WINAPI Fake##Name(HANDLE h, Type record) { return Call(#Name, h) && (handOver, true); }
TALVORN_FAKE_COPY(GetCommProperties, LPCOMMPROP, *record = script.maxima)
TALVORN_FAKE_COPY(GetCommState, LPDCB, *record = script.dcb)
TALVORN_FAKE_COPY(SetCommState, LPDCB, script.dcb = *record)
TALVORN_FAKE_COPY(SetCommTimeouts, LPCOMMTIMEOUTS, script.timeouts = *record)
BOOL WINAPI FakeSetupComm(HANDLE h, DWORD rx, DWORD tx) {
  return Call("SetupComm", h) && (script.setup = {rx, tx}, true);
}
BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
  if (!Call("ClearCommError", h)) return FALSE;
  *errors = 0;
  *status = COMSTAT{};
  status->cbInQue = static_cast<DWORD>(script.input.size());
  status->cbOutQue = script.outQueue;
  return TRUE;
}
BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED io) {
  if (!Call("ReadFile", h)) return FALSE;
  const DWORD taken = std::min<DWORD>(count, static_cast<DWORD>(script.input.size()));
  script.input.copy(static_cast<char*>(buffer), taken);
  script.input.erase(0, taken);
  return Finish(taken, done, io);
}
BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED io) {
  if (!Call("WriteFile", h)) return FALSE;
  script.written.append(static_cast<const char*>(buffer), count - script.shortBy);
  return Finish(count - script.shortBy, done, io);
}
BOOL WINAPI FakeGetOverlappedResult(HANDLE h, LPOVERLAPPED, LPDWORD done, BOOL wait) {
  return Call("GetOverlappedResult", h) && wait && (*done = script.pendingCount, true);
}
HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL signalled, LPCSTR) {
  if (!Call("CreateEventA") || manualReset || signalled) return nullptr;
  return *script.handles.insert(reinterpret_cast<HANDLE>(0x100 + script.calls.size())).first;
}
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  script.calls.push_back("CloseHandle");
  return script.handles.erase(handle) == 1;
}
DWORD WINAPI FakeGetLastError() { return script.lastError; }

// A device over a fresh script, opened and configured (or not, as `configures` expects).
std::unique_ptr<SerialDevice> ScriptedDevice(const std::string& failing = "", DWORD error = 0,
                                             bool configures = true) {
  script = Script{};
  script.failing[failing] = error;
  Win32CommCalls calls;
  calls = {FakeCreateFileA, FakeGetCommProperties, FakeSetupComm, FakeGetCommState,
           FakeSetCommState, FakeSetCommTimeouts, FakeClearCommError, FakeReadFile, FakeWriteFile,
           FakeGetOverlappedResult, calls.SetCommMask, calls.WaitCommEvent,
           calls.WaitForSingleObject, FakeCreateEventA, FakeCloseHandle, FakeGetLastError,
           calls.SetLastError};
  auto device = NewWin32SerialDevice(calls);
  EXPECT_EQ(device->Open("\\\\.\\COM7") && device->Configure(LineSettings{}), configures);
  return device;
}

// The DCB's bit fields as one word, in the Win32 bit order (after DCBlength and BaudRate).
uint32_t* FlagWord(DCB& dcb) { return &reinterpret_cast<uint32_t*>(&dcb)[2]; }

// The queues go down to the device's maxima, never up again; the DCB keeps
// what the device reported but the line, the flags, the limits and EofChar;
// each configuration renews the events; the device releases all.
TEST(Win32SerialDevice, ConfigurationCallsAndTheDcbTheyInstall) {
  const struct {
    DWORD maxRx, maxTx;
    uint32_t deviceFlags;
    DWORD rx, tx;
    uint32_t flags;
  } cases[] = {{0, 0, 0, 4096, 4096, 0x1011},
               {0, 2048, ~0u, 4096, 2048, 0xFFFF9C93},
               {1000, 0, 0, 1000, 4096, 0x1011},
               {8192, 65536, 0x12345678, 4096, 4096, 0x12341411}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.deviceFlags);
    {
      auto device = ScriptedDevice();
      EXPECT_EQ(script.calls, (Calls{"CreateFileA", "GetCommProperties", "SetupComm",
                                     "GetCommState", "SetCommState", "SetCommTimeouts",
                                     "CreateEventA", "CreateEventA"}));
      EXPECT_EQ(script.openArguments, (std::vector<DWORD>{GENERIC_READ | GENERIC_WRITE, 0,
                                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED}));
      script = Script{{}, {}, {}, {}, {}, {}, {}, {}, {}, 0, 0, 0, 0, false, script.handles};
      script.maxima.dwMaxRxQueue = c.maxRx;
      script.maxima.dwMaxTxQueue = c.maxTx;
      std::memset(&script.dcb, 0x5A, sizeof script.dcb);  // what the device reports
      *FlagWord(script.dcb) = c.deviceFlags;
      DCB wanted = script.dcb;
      ASSERT_TRUE(device->Configure({19200, Parity::kOdd, DataBits::k7, StopBits::kTwo}));
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
      *FlagWord(wanted) = c.flags;
      wanted.XonLim = static_cast<WORD>(c.rx / 4);
      wanted.XoffLim = static_cast<WORD>(c.tx / 4);
      wanted.EofChar = 0;
      EXPECT_EQ(std::memcmp(&script.dcb, &wanted, sizeof wanted), 0) << *FlagWord(script.dcb);
      const COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
      EXPECT_EQ(std::memcmp(&script.timeouts, &timeouts, sizeof timeouts), 0);
      EXPECT_EQ(script.handles.size(), 3u);
    }
    EXPECT_TRUE(script.handles.empty()) << "the port and the events go with the device";
  }
}

// The fault each failing call gives, whether the port stays open (it closes
// when its settings cannot be read), and whether it is ready for transfers.
TEST(Win32SerialDevice, FailedCallsGiveTheirFaults) {
  const struct {
    const char* call;
    DWORD error;
    bool openAfter, ready;
    SerialFault fault;
  } cases[] = {{"CreateFileA", ERROR_FILE_NOT_FOUND, false, false, SerialFault::kNotFound},
               {"CreateFileA", ERROR_ACCESS_DENIED, false, false, SerialFault::kInUse},
               {"CreateFileA", ERROR_SHARING_VIOLATION, false, false, SerialFault::kInUse},
               {"CreateFileA", ERROR_PRIVILEGE_NOT_HELD, false, false, SerialFault::kPermission},
               {"CreateFileA", ERROR_INVALID_FUNCTION, false, false, SerialFault::kNotSerial},
               {"CreateFileA", ERROR_INVALID_PARAMETER, false, false, SerialFault::kSettingsRefused},
               {"CreateFileA", 1234, false, false, SerialFault::kOther},
               {"SetupComm", ERROR_INVALID_PARAMETER, true, false, SerialFault::kSettingsRefused},
               {"GetCommState", ERROR_NOT_READY, false, false, SerialFault::kGone},
               {"SetCommState", ERROR_INVALID_FUNCTION, true, false, SerialFault::kNotSerial},
               {"SetCommTimeouts", ERROR_GEN_FAILURE, true, false, SerialFault::kGone},
               {"ReadFile", ERROR_INVALID_HANDLE, true, false, SerialFault::kOther},
               {"ClearCommError", ERROR_DEVICE_REMOVED, true, false, SerialFault::kGone},
               {"GetCommProperties", ERROR_INVALID_FUNCTION, true, true, SerialFault::kNone},
               {"CreateEventA", ERROR_OUTOFMEMORY, true, false, SerialFault::kNone}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error));
    const std::string call = c.call;
    const bool onTransfer = call == "ReadFile" || call == "ClearCommError";
    auto device = ScriptedDevice(onTransfer ? "" : call, c.error,
                                 onTransfer || c.fault == SerialFault::kNone);
    script.failing[call] = c.error;
    script.input = "ab";
    EXPECT_EQ(device->IsOpen(), c.openAfter);
    char buffer[2];
    uint32_t got = 0;
    EXPECT_EQ(c.openAfter && device->Read(buffer, 2, got) && got == 2, c.ready);
    EXPECT_EQ(device->Error().fault, c.fault);
    EXPECT_EQ(device->Error().code, c.fault == SerialFault::kNone ? 0 : c.error);
  }
}

// Reads take only what has arrived; a write must be strictly smaller than the
// transmit queue's free room; either may finish in the background.
TEST(Win32SerialDevice, TransfersTakeWhatArrivedAndWriteWhereThereIsRoom) {
  const struct {
    bool pending;
    DWORD outQueue, shortBy;
    const char* failing;
    Calls readCalls;
    uint32_t sent;
  } cases[] = {{false, 0, 0, "", {"ClearCommError", "ReadFile"}, 5},
               {true, 0, 0, "", {"ClearCommError", "ReadFile", "GetOverlappedResult"}, 5},
               {false, 4091, 0, "", {"ClearCommError", "ReadFile"}, 0},
               {false, 4090, 0, "", {"ClearCommError", "ReadFile"}, 5},
               {false, 5000, 0, "", {"ClearCommError", "ReadFile"}, 5},
               {false, 0, 1, "", {"ClearCommError", "ReadFile"}, 4},
               {true, 0, 0, "GetOverlappedResult", {"ClearCommError", "ReadFile",
                                                    "GetOverlappedResult"}, 0},
               {false, 0, 0, "WriteFile", {"ClearCommError", "ReadFile"}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pending << " " << c.outQueue << " " << c.failing);
    auto device = ScriptedDevice();
    script = Script{{}, {{c.failing, ERROR_ACCESS_DENIED}}, {}, {}, {}, {}, {}, "123", "",
                    c.outQueue, c.shortBy, 0, 0, c.pending, script.handles};
    char buffer[4] = {};
    uint32_t got = 0;
    uint32_t sent = 0;
    const bool waitFails = std::string(c.failing) == "GetOverlappedResult";
    EXPECT_EQ(device->Read(buffer, 2, got), !waitFails);
    EXPECT_EQ(std::string(buffer, got), waitFails ? "" : "12");
    EXPECT_EQ(script.calls, c.readCalls);
    EXPECT_EQ(script.input, "3") << "no more than asked";
    EXPECT_EQ(device->Write("hello", 5, 0, sent), *c.failing == '\0');
    EXPECT_EQ(sent, c.sent);
    // A write whose wait fails has left the program all the same.
    EXPECT_EQ(script.written.size(), waitFails ? 5 : c.sent);
    EXPECT_EQ(device->Error().fault, *c.failing ? SerialFault::kGone : SerialFault::kNone);
  }
}

// Purge reads exactly what was waiting when it looked; a write with a time
// limit installs it first, and one without takes the limit away again.
TEST(Win32SerialDevice, PurgeAndWriteTimeLimits) {
  auto device = ScriptedDevice();
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
