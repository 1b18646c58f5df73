// CSerial over a real pseudo-terminal: raw transfer in both directions,
// exclusive use, reads that never wait, and a far end that goes away.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <string>

#include "serial/cserial.h"
#include "support/pty_pair.h"

namespace {

// Every byte a cooked terminal would change: NUL, LF (ONLCR), CR (ICRNL),
// XON and XOFF (IXON), DEL (erase in canonical mode) and a top-bit byte.
const std::string kRawPacket("\x00\x0A\x0D\x11\x13\x7F\xFF", 7);

class CSerialOnPty : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Open()); }
  void TearDown() override {
    port.Close();
    pty.Close();
  }

  bool OpenPort(CSerial& serial) { return serial.OpenDevice(pty.SlavePath(), 115200, 0, 8, 0); }

  // Reads `count` bytes that the far end sent, waiting (bounded) for each.
  std::string ReadFromPort(size_t count) {
    std::string got;
    while (got.size() < count && pty.WaitForPortInput()) {
      char buffer[64];
      const uint32_t want = static_cast<uint32_t>(std::min(count - got.size(), sizeof buffer));
      got.append(buffer, port.Read(buffer, want));
    }
    return got;
  }

  PtyPair pty;
  CSerial port;
};

TEST_F(CSerialOnPty, ConfiguresARawLineWithoutFlowControl) {
  ASSERT_TRUE(OpenPort(port));
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.SlaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  const struct {
    const char* what;
    tcflag_t bits;
    tcflag_t value;
    tcflag_t expected;
  } flags[] = {
      {"parity, two stop bits, hardware flow, hang-up on close",
       PARENB | CSTOPB | CRTSCTS | HUPCL, tio.c_cflag, 0},
      {"receiver on, modem lines ignored", CREAD | CLOCAL, tio.c_cflag, CREAD | CLOCAL},
      {"software flow control and input translation", IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP,
       tio.c_iflag, 0},
      {"output processing", OPOST, tio.c_oflag, 0},
      {"canonical mode, echo, signals", ICANON | ECHO | ISIG | IEXTEN, tio.c_lflag, 0},
  };
  for (const auto& f : flags) {
    EXPECT_EQ(f.value & f.bits, f.expected) << f.what;
  }
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(CSerialOnPty, RawPacketPassesUnchangedBothWays) {
  ASSERT_TRUE(OpenPort(port));

  ASSERT_EQ(port.WriteString(kRawPacket), kRawPacket.size());
  EXPECT_EQ(pty.ReceiveAtPeer(kRawPacket.size()), kRawPacket);

  ASSERT_TRUE(pty.SendFromPeer(kRawPacket));
  EXPECT_EQ(ReadFromPort(kRawPacket.size()), kRawPacket);
}

TEST_F(CSerialOnPty, ASecondOpenIsRefusedUntilTheFirstCloses) {
  ASSERT_TRUE(OpenPort(port));
  CSerial second;
  EXPECT_FALSE(OpenPort(second));
  EXPECT_EQ(second.Write("x", 1), 0u);

  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(second.Configure(115200, 0, 8, 0)) << "the name is opened again";
  EXPECT_EQ(second.Write("x", 1), 1u);
  EXPECT_EQ(pty.ReceiveAtPeer(1), "x");
}

TEST_F(CSerialOnPty, ReadReturnsAtOnceWhenNothingHasArrived) {
  ASSERT_TRUE(OpenPort(port));
  char buffer[8];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);

  ASSERT_TRUE(pty.SendFromPeer("ab"));
  EXPECT_EQ(ReadFromPort(2), "ab");
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

TEST_F(CSerialOnPty, PurgeDiscardsWhatHasArrived) {
  ASSERT_TRUE(OpenPort(port));
  ASSERT_TRUE(pty.SendFromPeer("stale"));
  ASSERT_TRUE(pty.WaitForPortInput());
  // The pty may hand the bytes over in parts: purge until all five are gone.
  for (int i = 0; i < 100; ++i) {
    port.Purge();
    int waiting = -1;
    ASSERT_EQ(ioctl(pty.SlaveFd(), FIONREAD, &waiting), 0);
    if (waiting == 0) break;
    ASSERT_TRUE(pty.WaitForPortInput());
  }
  ASSERT_TRUE(pty.SendFromPeer("new"));
  EXPECT_EQ(ReadFromPort(3), "new");
}

TEST_F(CSerialOnPty, AVanishedFarEndFailsReadsAndWritesAtOnce) {
  ASSERT_TRUE(OpenPort(port));
  ASSERT_TRUE(pty.SendFromPeer("left behind"));
  ASSERT_TRUE(pty.WaitForPortInput());
  pty.CloseMaster();

  char buffer[16];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(port.Write("x", 1), 0u);
  EXPECT_EQ(port.WriteString("hello"), 0u);
  port.Purge();
  EXPECT_FALSE(port.SetBaudRate(115200));
}

TEST_F(CSerialOnPty, ADeviceThatIsNotATerminalIsRefusedAndClosed) {
  EXPECT_FALSE(port.OpenDevice("/dev/null", 115200, 0, 8, 0));
  EXPECT_FALSE(port.Close()) << "the failed settings read closed it";
}

TEST_F(CSerialOnPty, AMissingDeviceIsRefused) {
  EXPECT_FALSE(port.OpenDevice(pty.SlavePath() + "-missing", 115200, 0, 8, 0));
  EXPECT_FALSE(port.Close());
}

}  // namespace
