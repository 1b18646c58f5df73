// The POSIX serial device: port names, settings that a terminal can and
// can't take, writes larger than the terminal's buffer, and a hang-up.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_api.h"
#include "serial/comm_posix.h"
#include "support/pty_pair.h"

namespace {

TEST(PosixDevicePath, MapsComNumbersToTtySAndKeepsPaths) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"\\\\.\\COM1", "/dev/ttyS0"},
      {"\\\\.\\COM12", "/dev/ttyS11"},
      {"\\\\.\\COM007", "/dev/ttyS6"},
      {"\\\\.\\COM0", ""},
      {"\\\\.\\COM", ""},
      {"\\\\.\\COM1x", ""},
      {"\\\\.\\COM-1", ""},
      {"\\\\.\\COM99999999999", ""},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/usb-FTDI_A1-if00-port0", "/dev/serial/by-id/usb-FTDI_A1-if00-port0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PosixDevicePath(c.name), c.path) << c.name;
  }
}

TEST(PosixCommApi, ComPortZeroDoesNotExist) {
  EXPECT_EQ(PlatformCommApi().CreateFileA("\\\\.\\COM0"), kInvalidCommHandle);
}

class PosixCommApiOnPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Open());
    port = api.CreateFileA(pty.SlavePath());
    ASSERT_NE(port, kInvalidCommHandle);
    ASSERT_TRUE(api.GetCommState(port, lineDcb));
    lineDcb.BaudRate = 115200;
    lineDcb.ByteSize = 8;
    lineDcb.Parity = 0;
    lineDcb.StopBits = 0;
    lineDcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    event = api.CreateEventA();
  }
  void TearDown() override {
    if (port != kInvalidCommHandle) api.CloseHandle(port);
    if (event != kNoCommHandle) api.CloseHandle(event);
    pty.Close();
  }

  CommApi& api = PlatformCommApi();
  PtyPair pty;
  CommHandle port = kInvalidCommHandle;
  CommHandle event = kNoCommHandle;
  CommDcb lineDcb;
};

struct SettingsCase {
  const char* name;
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;
  uint8_t stopBits;
  bool accepted;
};

class PosixSettings : public PosixCommApiOnPty,
                      public testing::WithParamInterface<SettingsCase> {};

TEST_P(PosixSettings, AcceptsWhatTheTerminalCanDo) {
  const SettingsCase& c = GetParam();
  CommDcb wanted = lineDcb;
  wanted.BaudRate = c.baudRate;
  wanted.ByteSize = c.byteSize;
  wanted.Parity = c.parity;
  wanted.StopBits = c.stopBits;
  wanted.XonLim = 1024;
  wanted.XoffLim = 512;
  wanted.EvtChar = 0x0D;
  ASSERT_EQ(api.SetCommState(port, wanted), c.accepted);
  if (!c.accepted) return;

  CommDcb got;
  ASSERT_TRUE(api.GetCommState(port, got));
  EXPECT_EQ(got.BaudRate, c.baudRate);
  EXPECT_EQ(got.ByteSize, c.byteSize);
  EXPECT_EQ(got.Parity, c.parity);
  EXPECT_EQ(got.StopBits, c.stopBits);
  EXPECT_EQ(got.flags, wanted.flags) << "DTR and RTS as set, no flow control";
  EXPECT_EQ(got.XonLim, 1024);
  EXPECT_EQ(got.XoffLim, 512);
  EXPECT_EQ(got.EvtChar, 0x0D);
}

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told, so
// other sizes and parities are refused by the check after setting.
INSTANTIATE_TEST_SUITE_P(
    Cases, PosixSettings,
    testing::Values(SettingsCase{"Line115200N81", 115200, 8, 0, 0, true},
                    SettingsCase{"Slow9600", 9600, 8, 0, 0, true},
                    SettingsCase{"Fast230400TwoStopBits", 230400, 8, 0, 2, true},
                    SettingsCase{"NonStandardRate", 12345, 8, 0, 0, false},
                    SettingsCase{"RateZero", 0, 8, 0, 0, false},
                    SettingsCase{"FourDataBits", 115200, 4, 0, 0, false},
                    SettingsCase{"NineDataBits", 115200, 9, 0, 0, false},
                    SettingsCase{"OneAndAHalfStopBits", 115200, 8, 0, 1, false},
                    SettingsCase{"UnknownParity", 115200, 8, 5, 0, false},
                    SettingsCase{"EvenParityOnAPty", 115200, 8, 2, 0, false}),
    [](const testing::TestParamInfo<SettingsCase>& param) { return std::string(param.param.name); });

TEST_F(PosixCommApiOnPty, QueuesHaveNoLimitAndTimeoutsAreTaken) {
  CommProperties properties;
  properties.dwMaxRxQueue = 1;
  properties.dwMaxTxQueue = 1;
  ASSERT_TRUE(api.GetCommProperties(port, properties));
  EXPECT_EQ(properties.dwMaxRxQueue, 0u);
  EXPECT_EQ(properties.dwMaxTxQueue, 0u);
  EXPECT_TRUE(api.SetupComm(port, 4096, 4096));
  EXPECT_TRUE(api.SetCommTimeouts(port, CommTimeouts{0, 0, 2000, 0, 0}));
}

TEST_F(PosixCommApiOnPty, WriteLargerThanTheTerminalHoldsEndsWhenTheFarEndHasReadIt) {
  ASSERT_TRUE(api.SetCommState(port, lineDcb));
  // Bound the write, so a far end that stops reading can't hang the test.
  ASSERT_TRUE(api.SetCommTimeouts(port, CommTimeouts{0, 0, 2000, 0, 60000}));
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 251);

  std::string received;
  std::thread reader([&] { received = pty.ReceiveAtPeer(block.size()); });
  uint32_t transferred = 0;
  CommIo io;
  io.event = event;
  const CommIoResult result =
      api.WriteFile(port, block.data(), static_cast<uint32_t>(block.size()), transferred, io);
  reader.join();

  EXPECT_EQ(result, CommIoResult::kDone);
  EXPECT_EQ(transferred, block.size());
  EXPECT_TRUE(received == block) << "received " << received.size() << " bytes";
  uint32_t again = 0;
  EXPECT_TRUE(api.GetOverlappedResult(port, io, again));
  EXPECT_EQ(again, transferred);
}

TEST_F(PosixCommApiOnPty, WriteTimeOutEndsAWriteShortWhenTheFarEndDoesNotRead) {
  ASSERT_TRUE(api.SetCommState(port, lineDcb));
  ASSERT_TRUE(api.SetCommTimeouts(port, CommTimeouts{0, 0, 0, 0, 50}));
  const std::string block(1 << 20, 'q');
  uint32_t transferred = 0;
  CommIo io;
  EXPECT_EQ(api.WriteFile(port, block.data(), static_cast<uint32_t>(block.size()), transferred, io),
            CommIoResult::kDone);
  EXPECT_LT(transferred, block.size());
}

TEST_F(PosixCommApiOnPty, HangUpFailsStatusReadsAndWrites) {
  ASSERT_TRUE(api.SetCommState(port, lineDcb));
  pty.CloseMaster();

  CommStatus status;
  EXPECT_FALSE(api.ClearCommError(port, status));
  char byte = 'x';
  uint32_t transferred = 0;
  CommIo io;
  EXPECT_EQ(api.ReadFile(port, &byte, 1, transferred, io), CommIoResult::kFailed);
  EXPECT_EQ(api.WriteFile(port, &byte, 1, transferred, io), CommIoResult::kFailed);
}

TEST_F(PosixCommApiOnPty, HandlesAreReleasedOnce) {
  EXPECT_TRUE(api.CloseHandle(event));
  EXPECT_FALSE(api.CloseHandle(event));
  event = kNoCommHandle;
  EXPECT_FALSE(api.CloseHandle(kNoCommHandle));
  EXPECT_FALSE(api.CloseHandle(kInvalidCommHandle));
  CommStatus status;
  EXPECT_FALSE(api.ClearCommError(event, status)) << "an event is not a port";
}

}  // namespace
