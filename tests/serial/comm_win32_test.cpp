// The Win32 serial device: the DCB translation against the real Win32 bit
// layout, and overlapped transfers through the real calls (over a named pipe,
// since a test has no serial port; wine and Windows treat both alike here).
#include "serial/comm_win32.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

// The flag word as it lies in memory after BaudRate: the Win32 layout that
// the kDcb... constants must follow.
uint32_t RawFlagWord(const DCB& dcb) {
  uint32_t word = 0;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + offsetof(DCB, BaudRate) +
                         sizeof(dcb.BaudRate),
              sizeof word);
  return word;
}

CommDcb DistinctMembers(uint32_t flags) {
  CommDcb dcb;
  dcb.BaudRate = 115200;
  dcb.flags = flags;
  dcb.wReserved = 0x1234;
  dcb.XonLim = 1024;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  dcb.wReserved1 = 0x5678;
  return dcb;
}

TEST(Win32Dcb, FlagWordLandsInTheWin32BitFieldsAndComesBack) {
  const struct {
    const char* name;
    uint32_t flags;
    bool (*holds)(const DCB&);
  } cases[] = {
      {"binary", kDcbBinary, [](const DCB& d) { return d.fBinary == 1 && d.fParity == 0; }},
      {"parity check", kDcbParity, [](const DCB& d) { return d.fParity == 1; }},
      {"CTS and DSR flow", kDcbOutxCtsFlow | kDcbOutxDsrFlow,
       [](const DCB& d) { return d.fOutxCtsFlow == 1 && d.fOutxDsrFlow == 1; }},
      {"DTR enable", kDcbDtrControlEnable,
       [](const DCB& d) { return d.fDtrControl == DTR_CONTROL_ENABLE; }},
      {"DTR handshake", kDcbDtrControlHandshake,
       [](const DCB& d) { return d.fDtrControl == DTR_CONTROL_HANDSHAKE; }},
      {"XON/XOFF both ways", kDcbOutX | kDcbInX | kDcbTxContinueOnXoff,
       [](const DCB& d) { return d.fOutX == 1 && d.fInX == 1 && d.fTXContinueOnXoff == 1; }},
      {"DSR sensitivity, error char, null", kDcbDsrSensitivity | kDcbErrorChar | kDcbNull,
       [](const DCB& d) { return d.fDsrSensitivity == 1 && d.fErrorChar == 1 && d.fNull == 1; }},
      {"RTS enable", kDcbRtsControlEnable,
       [](const DCB& d) { return d.fRtsControl == RTS_CONTROL_ENABLE; }},
      {"RTS toggle", kDcbRtsControlToggle,
       [](const DCB& d) { return d.fRtsControl == RTS_CONTROL_TOGGLE; }},
      {"abort on error", kDcbAbortOnError, [](const DCB& d) { return d.fAbortOnError == 1; }},
      {"reserved high bits", 0xFFFF8000u,
       [](const DCB& d) { return d.fDummy2 == 0x1FFFFu && d.fAbortOnError == 0; }},
      {"the instrument's line", 0x1011u,
       [](const DCB& d) {
         return d.fBinary == 1 && d.fDtrControl == DTR_CONTROL_ENABLE &&
                d.fRtsControl == RTS_CONTROL_ENABLE && d.fOutX == 0;
       }},
      {"every bit", 0xFFFFFFFFu, [](const DCB& d) { return d.fDummy2 == 0x1FFFFu; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CommDcb original = DistinctMembers(c.flags);
    DCB win32;
    ToWin32Dcb(original, win32);
    EXPECT_EQ(win32.DCBlength, sizeof(DCB));
    EXPECT_EQ(RawFlagWord(win32), c.flags);
    EXPECT_TRUE(c.holds(win32));

    CommDcb back;
    FromWin32Dcb(win32, back);
    EXPECT_EQ(back.BaudRate, original.BaudRate);
    EXPECT_EQ(back.flags, original.flags);
    EXPECT_EQ(back.wReserved, original.wReserved);
    EXPECT_EQ(back.XonLim, original.XonLim);
    EXPECT_EQ(back.XoffLim, original.XoffLim);
    EXPECT_EQ(back.ByteSize, original.ByteSize);
    EXPECT_EQ(back.Parity, original.Parity);
    EXPECT_EQ(back.StopBits, original.StopBits);
    EXPECT_EQ(back.XonChar, original.XonChar);
    EXPECT_EQ(back.XoffChar, original.XoffChar);
    EXPECT_EQ(back.ErrorChar, original.ErrorChar);
    EXPECT_EQ(back.EofChar, original.EofChar);
    EXPECT_EQ(back.EvtChar, original.EvtChar);
    EXPECT_EQ(back.wReserved1, original.wReserved1);
  }
}

// A connected pair: the server end made here, the client end opened through
// CommApi::CreateFileA exactly as a port is.
class Win32OverlappedTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string name = "\\\\.\\pipe\\talvorn-test-" + std::to_string(GetCurrentProcessId());
    server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                              nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    client = api.CreateFileA(name);
    ASSERT_NE(client, kInvalidCommHandle);
    readIo.event = api.CreateEventA();
    writeIo.event = api.CreateEventA();
    ASSERT_NE(readIo.event, kNoCommHandle);
    ASSERT_NE(writeIo.event, kNoCommHandle);
  }

  void TearDown() override {
    for (CommHandle handle : {client, readIo.event, writeIo.event}) {
      if (handle != kNoCommHandle && handle != kInvalidCommHandle) api.CloseHandle(handle);
    }
    if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
  }

  // Completes an overlapped transfer on the server end, bounded in time.
  DWORD Finish(BOOL started, OVERLAPPED& overlapped, DWORD done) {
    if (started == FALSE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
      EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), WAIT_OBJECT_0);
      EXPECT_NE(GetOverlappedResult(server, &overlapped, &done, FALSE), FALSE);
    }
    return done;
  }

  void ServerWrite(const std::string& text) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    const BOOL started = WriteFile(server, text.data(), static_cast<DWORD>(text.size()), &done,
                                   &overlapped);
    EXPECT_EQ(Finish(started, overlapped, done), text.size());
    CloseHandle(overlapped.hEvent);
  }

  std::string ServerRead(DWORD count) {
    std::string text(count, '\0');
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    const BOOL started = ReadFile(server, &text[0], count, &done, &overlapped);
    text.resize(Finish(started, overlapped, done));
    CloseHandle(overlapped.hEvent);
    return text;
  }

  CommApi& api = PlatformCommApi();
  HANDLE server = INVALID_HANDLE_VALUE;
  CommHandle client = kNoCommHandle;
  CommIo readIo{};
  CommIo writeIo{};
};

TEST_F(Win32OverlappedTest, ReadPendsUntilDataArrivesThenGivesItsCount) {
  char buffer[8] = {};
  uint32_t transferred = 0;
  ASSERT_EQ(api.ReadFile(client, buffer, 5, transferred, readIo), CommIoResult::kPending);
  ServerWrite("hello");
  ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(readIo.event), 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(api.GetOverlappedResult(client, readIo, transferred));
  EXPECT_EQ(transferred, 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(Win32OverlappedTest, ReadOfWaitingBytesAndWriteEachReportTheirCount) {
  ServerWrite("abc");
  const struct {
    const char* name;
    bool isRead;
  } cases[] = {{"read of bytes already there", true}, {"write", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[3] = {'x', 'y', 'z'};
    uint32_t transferred = 0;
    CommIo& io = c.isRead ? readIo : writeIo;
    const CommIoResult result = c.isRead
                                    ? api.ReadFile(client, buffer, 3, transferred, io)
                                    : api.WriteFile(client, buffer, 3, transferred, io);
    ASSERT_NE(result, CommIoResult::kFailed);
    if (result == CommIoResult::kPending) {
      ASSERT_TRUE(api.GetOverlappedResult(client, io, transferred));
    }
    EXPECT_EQ(transferred, 3u);
    EXPECT_EQ(std::string(buffer, 3), c.isRead ? "abc" : "xyz");
  }
  EXPECT_EQ(ServerRead(3), "xyz");
}

TEST_F(Win32OverlappedTest, TransfersOnABrokenLineFail) {
  CloseHandle(server);
  server = INVALID_HANDLE_VALUE;
  char buffer[1] = {'x'};
  uint32_t transferred = 0;
  EXPECT_EQ(api.ReadFile(client, buffer, 1, transferred, readIo), CommIoResult::kFailed);
  EXPECT_EQ(api.WriteFile(client, buffer, 1, transferred, writeIo), CommIoResult::kFailed);
}

TEST(Win32CommApi, AMissingPortOrANonSerialHandleFails) {
  CommApi& api = PlatformCommApi();
  EXPECT_EQ(api.CreateFileA("\\\\.\\COM250"), kInvalidCommHandle);
  // A handle that is no serial device refuses the communications calls.
  const CommHandle event = api.CreateEventA();
  ASSERT_NE(event, kNoCommHandle);
  CommDcb dcb;
  CommStatus status;
  CommProperties properties;
  EXPECT_FALSE(api.GetCommState(event, dcb));
  EXPECT_FALSE(api.ClearCommError(event, status));
  EXPECT_FALSE(api.GetCommProperties(event, properties));
  EXPECT_TRUE(api.CloseHandle(event));
}

}  // namespace
