// The POSIX serial device and CSerial over a real pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "serial/port_name.h"
#include "serial/cserial.h"

namespace {

TEST(CommPosix, ComNumbersAreTtyS) {
  EXPECT_EQ(ComPortDevice(1), "/dev/ttyS0");
  EXPECT_EQ(ComPortDevice(255), "/dev/ttyS254");
}

// The slave plays the serial port (kept open, so the terminal outlives a
// close of the port), the master the far end of the line.
struct PtyPair {
  int master = -1, slave = -1;
  std::string slavePath;

  PtyPair() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slavePath = name;
  }
  ~PtyPair() {
    CloseMaster();
    if (slave >= 0) close(slave);
  }
  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  // Input waiting within 5 s (generous: the machine may be busy).
  static bool WaitForInput(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    while ((ready = poll(&entry, 1, 5000)) < 0 && errno == EINTR) {
    }
    return ready > 0 && (entry.revents & POLLIN) != 0;
  }
  // What the port sent, until `count` bytes or a wait without any.
  std::string ReceiveAtPeer(size_t count) {
    std::string got(count, '\0');
    size_t done = 0;
    while (done < count && WaitForInput(master)) {
      const ssize_t n = read(master, &got[done], count - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    got.resize(done);
    return got;
  }
};

class CSerialOnPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty.slavePath.empty());
    ASSERT_TRUE(port.Open(pty.slavePath, kInstrumentLine));
  }

  PtyPair pty;
  CSerial port;
};

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told, so
// other sizes and parities are refused by the check after setting.
TEST_F(CSerialOnPty, TakesTheSettingsATerminalCanDoAndRefusesTheRest) {
  const struct {
    LineSettings line;
    speed_t speed;  // B0: refused
  } cases[] = {{{115200, Parity::kNone, DataBits::k8, StopBits::kOne}, B115200},
               {{9600, Parity::kNone, DataBits::k8, StopBits::kTwo}, B9600},
               {{12345, Parity::kNone, DataBits::k8, StopBits::kOne}, B0},
               {{115200, Parity::kNone, DataBits::k7, StopBits::kOne}, B0},
               {{115200, Parity::kNone, DataBits::k8, StopBits::kOneAndAHalf}, B0},
               {{115200, Parity::kEven, DataBits::k8, StopBits::kOne}, B0},
               {{115200, Parity::kSpace, DataBits::k8, StopBits::kOne}, B0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.line.baudRate << " " << int(c.line.parity)
                                    << int(c.line.dataBits) << int(c.line.stopBits));
    EXPECT_EQ(port.Configure(c.line), c.speed != B0);
    EXPECT_EQ(port.LastError().fault, c.speed != B0 ? SerialFault::kNone : SerialFault::kSettingsRefused);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    if (c.speed == B0) continue;
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    // 8 data bits, no parity, no flow control, modem lines ignored, DTR kept on close.
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL | HUPCL),
              tcflag_t(CS8 | CREAD | CLOCAL | (c.line.stopBits == StopBits::kTwo ? CSTOPB : 0)));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | INPCK | ICRNL), 0u);
    EXPECT_TRUE(tio.c_cc[VMIN] == 0 && tio.c_cc[VTIME] == 0);
  }
}

// Purge drops what has arrived, not what comes after. A device refused the
// port leaves its holder's exclusive mode alone, whatever it held before.
TEST_F(CSerialOnPty, PurgeDropsWhatArrivedAndARefusedOpenUnlocksNothing) {
  char byte = 0;
  ASSERT_EQ(write(pty.master, "s", 1), 1);
  ASSERT_TRUE(port.WaitForInput(5000));
  port.Purge();
  ASSERT_EQ(write(pty.master, "n", 1), 1);
  EXPECT_TRUE(port.WaitForInput(5000) && port.Read(&byte, 1) == 1 && byte == 'n') << byte;
  ASSERT_TRUE(port.Close());
  const auto refused = NewPlatformSerialDevice(), holder = NewPlatformSerialDevice();
  ASSERT_TRUE(refused->Open(pty.slavePath) && refused->Close() && holder->Open(pty.slavePath));
  EXPECT_FALSE(refused->Open(pty.slavePath));
  int exclusive = 0;
  EXPECT_TRUE(ioctl(pty.slave, TIOCGEXCL, &exclusive) == 0 && exclusive != 0);
}

// With nobody reading, a write fails as gone once its bytes' time and the
// slack have passed; a write ends once the far end has read it all; after a
// hang-up every call fails at once as gone.
TEST_F(CSerialOnPty, ADeviceWritesMuchAndFailsOnceTheFarEndHasGone) {
  ASSERT_TRUE(port.Close());
  const auto device = NewPlatformSerialDevice();
  ASSERT_TRUE(device->Open(pty.slavePath) && device->Configure(kInstrumentLine));
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + i / 251);
  const auto Chunk = [&](size_t at) { return block.data() + at % (block.size() - 4000); };
  const auto gone = [&] { return device->Error().fault == SerialFault::kGone; };
  std::string expected;  // what the terminal took before a write stopped
  uint32_t sent = 0;
  bool written = true;
  while (written && expected.size() < block.size()) {
    written = device->Write(Chunk(expected.size()), 256, sent);
    expected.append(Chunk(expected.size()), sent);
  }
  ASSERT_TRUE(!written && gone() && device->Error().code == ETIMEDOUT) << "nobody reads";
  const std::string last(Chunk(expected.size()), 4000);
  std::string received;
  std::thread reader([&] {
    received = pty.ReceiveAtPeer(expected.size() + last.size());
    pty.CloseMaster();  // also ends a write that would not end
  });
  written = device->Write(last.data(), 4000, sent);
  reader.join();
  EXPECT_TRUE(written && sent == 4000u);
  EXPECT_TRUE(received == expected + last) << "received " << received.size();

  uint32_t got = 0;
  EXPECT_TRUE(!device->Write("x", 1, sent) && gone());
  EXPECT_TRUE(!device->Read(&block[0], 1, got) && gone());
  EXPECT_TRUE(!device->Purge() && gone());
  EXPECT_TRUE(device->Close() && !device->IsOpen());
}

}  // namespace
