// CSerial's own rules over the scripted device.
#include "serial/cserial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_serial_device.h"

namespace {

using Step = FakeSerialStep;
constexpr SerialError kRefused{SerialFault::kSettingsRefused, 87};
constexpr SerialError kGone{SerialFault::kGone, 5};

TEST(CSerial, AFailedStepLeavesWhatItMustAndALostPortIsLeftAloneUntilOpenedAnew) {
  const struct {
    const char* name;
    Step failing;
    SerialError error;
    bool closes = false;       // the failing step closes the device
    bool onReadyPort = false;  // false: the first Open fails
    bool openAfter = false, readyAfter = false, lost = false;
  } cases[] = {
      {.name = "open", .failing = Step::kOpen, .error = kRefused},
      {.name = "open: gone", .failing = Step::kOpen, .error = kGone},
      {.name = "settings", .failing = Step::kConfigure, .error = kRefused, .openAfter = true},
      {.name = "settings, closing", .failing = Step::kConfigure, .error = kRefused, .closes = true},
      {.name = "settings: gone", .failing = Step::kConfigure, .error = kGone,
       .openAfter = true, .lost = true},
      {.name = "later settings", .failing = Step::kConfigure, .error = kRefused,
       .onReadyPort = true, .openAfter = true, .readyAfter = true},
      {.name = "later, closing", .failing = Step::kConfigure, .error = kRefused,
       .closes = true, .onReadyPort = true},
      {.name = "read", .failing = Step::kRead, .error = kRefused,
       .onReadyPort = true, .openAfter = true, .readyAfter = true},
      {.name = "read: gone", .failing = Step::kRead, .error = kGone,
       .onReadyPort = true, .openAfter = true, .lost = true},
      {.name = "write: gone", .failing = Step::kWrite, .error = kGone,
       .onReadyPort = true, .openAfter = true, .lost = true},
      {.name = "write refused", .failing = Step::kWrite, .error = kRefused,
       .onReadyPort = true, .openAfter = true, .lost = true},
      {.name = "purge: gone", .failing = Step::kPurge, .error = kGone,
       .onReadyPort = true, .openAfter = true, .lost = true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice device;
    CSerial port(device);
    ASSERT_TRUE(!c.onReadyPort || port.Open("COM1", kInstrumentLine));
    device.QueueInput("abcd");
    device.SetFailing(c.failing, true, c.error, c.closes);
    char byte = 0;
    const bool step = c.failing == Step::kOpen || !c.onReadyPort ? port.Open("COM1", kInstrumentLine)
                      : c.failing == Step::kConfigure ? port.SetBaudRate(9600)
                      : c.failing == Step::kRead      ? port.Read(&byte, 1) != 0
                      : c.failing == Step::kWrite     ? port.Write("w", 1) != 0
                                                      : (port.Purge(), false);
    EXPECT_FALSE(step);
    EXPECT_EQ(port.LastError().fault, c.error.fault);
    EXPECT_EQ(port.LostError().code, c.lost ? c.error.code : 0u);
    EXPECT_EQ(device.IsOpen(), c.openAfter);
    device.SetFailing(c.failing, false);
    const uint32_t polls = device.polls;
    const std::string written = device.written;
    EXPECT_EQ(port.Read(&byte, 1) == 1, c.readyAfter);
    EXPECT_EQ(port.Write("w", 1) == 1 && device.written != written, c.readyAfter);
    EXPECT_EQ(port.WaitForInput(1), c.readyAfter);
    EXPECT_EQ(device.polls == polls, !c.readyAfter) << "a port not ready is not asked";

    EXPECT_TRUE(port.Configure(kInstrumentLine));
    EXPECT_EQ(port.Lost(), c.lost) << "only a new device clears a loss";
    device.SetFailing(Step::kClose, c.lost);
    EXPECT_EQ(port.Close(), !c.lost) << "closed even when the release fails";
    EXPECT_FALSE(port.Close()) << "already closed";
    EXPECT_TRUE(port.Configure(kInstrumentLine));
    EXPECT_TRUE(!port.Lost() && port.Read(&byte, 1) == 1 && port.Write("w", 1) == 1);
    EXPECT_EQ(device.opened.size(), c.openAfter ? 2u : 3u);
  }
}

// The path as given, the settings as given, a new baud rate with the rest
// kept; writes all or nothing; the destructor closes the device.
TEST(CSerial, NameLineSettingsAndWholeWrites) {
  FakeSerialDevice device;
  {
    CSerial port(device);
    const LineSettings odd{19200, Parity::kOdd, DataBits::k7, StopBits::kTwo};
    ASSERT_TRUE(port.Open("/dev/ttyUSB9", odd) && port.SetBaudRate(57600));
    EXPECT_EQ(device.opened, std::vector<std::string>{"/dev/ttyUSB9"});
    EXPECT_TRUE(device.line.baudRate == 57600 && device.line.parity == Parity::kOdd &&
                device.line.dataBits == DataBits::k7 && device.line.stopBits == StopBits::kTwo);
    EXPECT_EQ(port.WriteString("hello"), 5u);
    device.shortWrites = true;
    EXPECT_EQ(port.WriteString("hello"), 0u) << "a short write gives 0";
    EXPECT_TRUE(port.Lost() && port.LostError().fault == SerialFault::kWriteRefused);
    EXPECT_EQ(device.written, "hellohell");
  }
  EXPECT_FALSE(device.IsOpen()) << "the destructor releases the device";
}

}  // namespace
