// The Win32 serial device: the DCB translation against the real Win32 bit
// layout, and an overlapped read that pends, through the real calls (over a
// named pipe, since a test has no serial port; wine and Windows alike).
#include "serial/comm_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The DCB's bit fields in order, read through their Win32 names.
std::vector<uint32_t> BitFields(const DCB& d) {
  return {d.fBinary,         d.fParity,           d.fOutxCtsFlow,  d.fOutxDsrFlow, d.fDtrControl,
          d.fDsrSensitivity, d.fTXContinueOnXoff, d.fOutX,         d.fInX,         d.fErrorChar,
          d.fNull,           d.fRtsControl,       d.fAbortOnError, d.fDummy2};
}

TEST(Win32Dcb, FlagWordLandsInTheWin32BitFieldsAndEveryMemberComesBack) {
  // Alternate bits, then their complement: each field is seen set and clear.
  const uint32_t kMix = kDcbBinary | kDcbOutxDsrFlow | kDcbDtrControlHandshake |
                        kDcbDsrSensitivity | kDcbOutX | kDcbNull | kDcbRtsControlToggle |
                        0x80000000u;
  const struct {
    uint32_t flags;
    std::vector<uint32_t> fields;
  } cases[] = {
      {kMix, {1, 0, 0, 1, DTR_CONTROL_HANDSHAKE, 1, 0, 1, 0, 0, 1, RTS_CONTROL_TOGGLE, 0, 0x10000}},
      {~kMix, {0, 1, 1, 0, DTR_CONTROL_ENABLE, 0, 1, 0, 1, 1, 0, RTS_CONTROL_DISABLE, 1, 0xFFFF}}};
  for (const auto& c : cases) {
    const CommDcb original{115200, c.flags, 7, 1024, 512, 7, 2, 1, 0x11, 0x13, '?', 0x1A, '\n', 9};
    DCB win32;
    ToWin32Dcb(original, win32);
    EXPECT_EQ(win32.DCBlength, sizeof(DCB));
    EXPECT_EQ(BitFields(win32), c.fields) << std::hex << c.flags;
    CommDcb back;
    FromWin32Dcb(win32, back);
    EXPECT_EQ(std::memcmp(&back, &original, sizeof back), 0) << "every member goes and comes back";
  }
}

// Writes, and reads that finish at once, are run end to end under wine.
TEST(Win32CommApi, OverlappedReadThatPendsGivesItsCountLater) {
  CommApi& api = PlatformCommApi();
  const std::string name = "\\\\.\\pipe\\talvorn-test-" + std::to_string(GetCurrentProcessId());
  const HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const CommHandle client = api.CreateFileA(name);
  ASSERT_NE(client, kInvalidCommHandle);
  CommIo io;
  io.event = api.CreateEventA();
  ASSERT_NE(io.event, kNoCommHandle);

  char buffer[8] = {};
  uint32_t transferred = 0;
  ASSERT_EQ(api.ReadFile(client, buffer, 5, transferred, io), CommIoResult::kPending);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(server, "hello", 5, &done, nullptr));
  ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(io.event), 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(api.GetOverlappedResult(client, io, transferred));
  EXPECT_EQ(std::string(buffer, transferred), "hello");

  EXPECT_TRUE(api.CloseHandle(io.event));
  EXPECT_TRUE(api.CloseHandle(client));
  CloseHandle(server);
}

}  // namespace
