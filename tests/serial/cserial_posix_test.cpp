// The POSIX serial device and CSerial over a real pseudo-terminal: port names,
// settings, a raw line, exclusive use, large writes and a vanished far end.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "serial/comm_posix.h"
#include "serial/cserial.h"

namespace {

TEST(CommPosix, DevicePathMapsComNumbersToTtySAndKeepsPaths) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {{"\\\\.\\COM1", "/dev/ttyS0"}, {"\\\\.\\COM123456789", "/dev/ttyS123456788"},
               {"\\\\.\\COM0", ""}, {"\\\\.\\COM1x", ""}, {"\\\\.\\COM1234567890", ""},
               {"COM2", "COM2"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
  for (const auto& c : cases) EXPECT_EQ(PosixDevicePath(c.name), c.path) << c.name;
}

// A pseudo-terminal: the slave plays the serial port (opened by its path and
// kept open, so the terminal lives while the port is closed and reopened),
// the master the far end of the line. Every wait is bounded.
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
  // What the port sent, until `count` bytes or a wait without any; a read
  // after the wait takes what is there without waiting.
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
    ASSERT_TRUE(port.OpenDevice(pty.slavePath, 115200, 0, 8, 0));
  }

  PtyPair pty;
  CSerial port;
  CommApi& api = PlatformCommApi();  // for the calls CSerial makes, one by one
  uint32_t transferred = 0;
  CommIo io;
};

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told, so
// other sizes and parities are refused by the check after setting.
TEST_F(CSerialOnPty, TakesTheSettingsATerminalCanDoAndRefusesTheRest) {
  const struct {
    uint32_t baudRate, parity, byteSize, stopBits;
    speed_t speed;  // B0: refused
  } cases[] = {{115200, 0, 8, 0, B115200}, {9600, 0, 8, 2, B9600}, {12345, 0, 8, 0, B0},
               {115200, 0, 9, 0, B0},      {115200, 0, 8, 1, B0},  {115200, 2, 8, 0, B0},
               {115200, 5, 8, 0, B0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.baudRate << " " << c.parity << c.byteSize << c.stopBits);
    EXPECT_EQ(port.Configure(c.baudRate, c.parity, c.byteSize, c.stopBits), c.speed != B0);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    if (c.speed == B0) continue;
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    // 8 data bits, no parity, no hardware flow control, modem lines ignored, DTR kept on close.
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL | HUPCL),
              tcflag_t(CS8 | CREAD | CLOCAL | (c.stopBits == 2 ? CSTOPB : 0)));
  }
}

// Every byte a cooked terminal would change: NUL, LF, CR, XON, XOFF, DEL and
// a top-bit byte. A read never waits for what has not arrived.
TEST_F(CSerialOnPty, LineIsRawBothWaysAndReadsDoNotWait) {
  const std::string packet("\x00\x0A\x0D\x11\x13\x7F\xFF", 7);
  char buffer[8];
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
  ASSERT_EQ(port.WriteString(packet), packet.size());
  EXPECT_EQ(pty.ReceiveAtPeer(packet.size()), packet);
  ASSERT_EQ(write(pty.master, packet.data(), packet.size()), ssize_t(packet.size()));
  std::string got;
  while (got.size() < packet.size() && pty.WaitForInput(pty.slave)) {
    got.append(buffer, port.Read(buffer, sizeof buffer));
  }
  EXPECT_EQ(got, packet);
  EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

TEST_F(CSerialOnPty, ASecondOpenIsRefusedUntilTheFirstCloses) {
  CSerial second;
  EXPECT_FALSE(second.OpenDevice(pty.slavePath, 115200, 0, 8, 0));
  EXPECT_EQ(second.LastError(), kErrorAccessDenied);
  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(second.Configure(115200, 0, 8, 0)) << "the name is opened again";
  EXPECT_EQ(second.Write("x", 1), 1u);
  EXPECT_EQ(pty.ReceiveAtPeer(1), "x");
  // Reasons the end-to-end runs do not meet: a folder, a path through a file.
  for (const auto& [name, error] : {std::make_pair(std::string("/"), kErrorInvalidFunction),
                                    std::make_pair(pty.slavePath + "/x", kErrorFileNotFound)}) {
    EXPECT_FALSE(port.OpenDevice(name, 115200, 0, 8, 0)) << name;
    EXPECT_EQ(port.LastError(), error) << name;
  }
}

// One handle through the calls CSerial makes: it reads back the settings the
// last handle left; with nobody reading, a write time-out ends a write short;
// with none, as CSerial sets, a write ends once the far end has read it all;
// after a hang-up every call fails at once, a transfer without a status query
// first too. Bounded by ctest's time-out: a call that waits on a dead line fails.
TEST_F(CSerialOnPty, OneHandleReadsBackWritesMuchAndFailsOnceTheFarEndHasGone) {
  ASSERT_TRUE(port.Configure(9600, 0, 8, 2));
  ASSERT_TRUE(port.Close());
  const CommHandle handle = api.CreateFileA(pty.slavePath);
  CommDcb dcb;
  ASSERT_TRUE(api.GetCommState(handle, dcb));
  EXPECT_TRUE(dcb.BaudRate == 9600 && dcb.flags == kDcbBinary && dcb.ByteSize == 8 &&
              dcb.Parity == 0 && dcb.StopBits == 2);
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + i / 251);
  ASSERT_TRUE(api.SetCommTimeouts(handle, CommTimeouts{0, 0, 0, 0, 50}));
  ASSERT_EQ(api.WriteFile(handle, block.data(), uint32_t(block.size()), transferred, io),
            CommIoResult::kDone);
  uint32_t stale = 0;  // what the terminal took before the time-out, as the record gives it
  ASSERT_TRUE(api.GetOverlappedResult(handle, io, stale));
  ASSERT_TRUE(api.SetCommTimeouts(handle, CommTimeouts{}));
  std::string received;
  std::thread reader([&] {
    received = pty.ReceiveAtPeer(stale + block.size());
    pty.CloseMaster();  // also ends a write that would not end
  });
  const CommIoResult result =
      api.WriteFile(handle, block.data(), uint32_t(block.size()), transferred, io);
  reader.join();
  EXPECT_TRUE(result == CommIoResult::kDone && transferred == block.size());
  EXPECT_TRUE(received == block.substr(0, stale) + block) << "received " << received.size();

  const auto removed = [&] { return api.GetLastError() == kErrorDeviceRemoved; };
  CommStatus status;
  EXPECT_TRUE(!api.ClearCommError(handle, status) && removed());
  EXPECT_TRUE(api.WriteFile(handle, "x", 1, transferred, io) == CommIoResult::kFailed && removed());
  EXPECT_TRUE(api.ReadFile(handle, &block[0], 1, transferred, io) == CommIoResult::kFailed &&
              removed());
  EXPECT_TRUE(api.CloseHandle(handle) && api.CloseHandle(api.CreateEventA()));
}

}  // namespace
