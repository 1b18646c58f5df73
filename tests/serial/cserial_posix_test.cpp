// The POSIX serial device and CSerial over a real pseudo-terminal: port
// names, settings a terminal can and can't take, a raw line both ways,
// exclusive use, reads that never wait, large writes, and a vanished far end.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_posix.h"
#include "serial/cserial.h"
#include "support/pty_pair.h"

namespace {

TEST(PosixDevicePath, MapsComNumbersToTtySAndKeepsPaths) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {{"\\\\.\\COM1", "/dev/ttyS0"},
               {"\\\\.\\COM12", "/dev/ttyS11"},
               {"\\\\.\\COM007", "/dev/ttyS6"},
               {"\\\\.\\COM0", ""},
               {"\\\\.\\COM", ""},
               {"\\\\.\\COM1x", ""},
               {"\\\\.\\COM-1", ""},
               {"\\\\.\\COM99999999999", ""},
               {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
  for (const auto& c : cases) EXPECT_EQ(PosixDevicePath(c.name), c.path) << c.name;
}

class OnPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Open());
    ASSERT_TRUE(port.OpenDevice(pty.SlavePath(), 115200, 0, 8, 0));
  }

  // Reads `count` bytes that the far end sent, waiting (bounded) for each.
  std::string ReadFromPort(size_t count) {
    std::string got;
    char buffer[64];
    while (got.size() < count && pty.WaitForPortInput()) {
      got.append(buffer, port.Read(buffer, uint32_t(std::min(count - got.size(), sizeof buffer))));
    }
    return got;
  }

  PtyPair pty;
  CSerial port;
  CommApi& api = PlatformCommApi();
};

TEST_F(OnPty, TakesTheSettingsATerminalCanDoAndRefusesTheRest) {
  // A pseudo-terminal keeps 8 data bits and no parity whatever it is told,
  // so other sizes and parities are refused by the check after setting.
  const struct {
    uint32_t baudRate, parity, byteSize, stopBits;
    speed_t speed;  // B0: refused
  } cases[] = {{9600, 0, 8, 2, B9600}, {230400, 0, 8, 0, B230400}, {12345, 0, 8, 0, B0},
               {115200, 0, 9, 0, B0},  {115200, 0, 8, 1, B0},      {115200, 2, 8, 0, B0},
               {115200, 5, 8, 0, B0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.baudRate << " " << c.parity << c.byteSize << c.stopBits);
    EXPECT_EQ(port.Configure(c.baudRate, c.parity, c.byteSize, c.stopBits), c.speed != B0);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.SlaveFd(), &tio), 0);
    if (c.speed != B0) {
      EXPECT_EQ(cfgetospeed(&tio), c.speed);
      EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits == 2);
    }
  }
}

TEST_F(OnPty, LineIsRawWithoutFlowControl) {
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.SlaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
            tcflag_t(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);

  // Every byte a cooked terminal would change: NUL, LF, CR, XON, XOFF, DEL
  // and a top-bit byte.
  const std::string packet("\x00\x0A\x0D\x11\x13\x7F\xFF", 7);
  ASSERT_EQ(port.WriteString(packet), packet.size());
  EXPECT_EQ(pty.ReceiveAtPeer(packet.size()), packet);
  ASSERT_TRUE(pty.SendFromPeer(packet));
  EXPECT_EQ(ReadFromPort(packet.size()), packet);
}

TEST_F(OnPty, ASecondOpenIsRefusedUntilTheFirstCloses) {
  CSerial second;
  EXPECT_FALSE(second.OpenDevice(pty.SlavePath(), 115200, 0, 8, 0));
  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(second.Configure(115200, 0, 8, 0)) << "the name is opened again";
  EXPECT_EQ(second.Write("x", 1), 1u);
  EXPECT_EQ(pty.ReceiveAtPeer(1), "x");
  // Neither a device that is not a terminal nor a missing one is taken.
  for (const std::string& name : {std::string("/dev/null"), pty.SlavePath() + "-missing"}) {
    CSerial other;
    EXPECT_FALSE(other.OpenDevice(name, 115200, 0, 8, 0)) << name;
    EXPECT_FALSE(other.Close()) << name << " was left open";
  }
}

TEST_F(OnPty, ReadReturnsAtOnceWhenNothingHasArrived) {
  char buffer[8];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(port.Lost()) << "a quiet line is not a lost one";
  ASSERT_TRUE(pty.SendFromPeer("ab"));
  EXPECT_EQ(ReadFromPort(2), "ab");
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

TEST_F(OnPty, WriteLargerThanTheTerminalHoldsEndsWhenTheFarEndHasReadIt) {
  ASSERT_TRUE(port.Close());
  const CommHandle handle = api.CreateFileA(pty.SlavePath());
  // Bound the write, so a far end that stops reading can't hang the test.
  ASSERT_TRUE(api.SetCommTimeouts(handle, CommTimeouts{0, 0, 2000, 0, 60000}));
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + i / 251);
  std::string received;
  std::thread reader([&] { received = pty.ReceiveAtPeer(block.size()); });
  uint32_t transferred = 0;
  CommIo io;
  const CommIoResult result =
      api.WriteFile(handle, block.data(), uint32_t(block.size()), transferred, io);
  reader.join();
  api.CloseHandle(handle);
  EXPECT_EQ(result, CommIoResult::kDone);
  EXPECT_EQ(transferred, block.size());
  EXPECT_TRUE(received == block) << "received " << received.size() << " bytes";
}

// Bounded by ctest's time-out: a read or write that waits on a hung-up line fails the run.
TEST_F(OnPty, AVanishedFarEndFailsReadsAndWritesAtOnce) {
  ASSERT_TRUE(pty.SendFromPeer("left behind"));
  ASSERT_TRUE(pty.WaitForPortInput());
  pty.CloseMaster();
  char buffer[16];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(port.Write("x", 1), 0u);
  EXPECT_EQ(port.WriteString("hello"), 0u);
  EXPECT_EQ(port.LostError(), kErrorDeviceRemoved);
  EXPECT_FALSE(port.SetBaudRate(115200));
}

}  // namespace
