// CSerial's own rules over the scripted device: what a failed configuration
// leaves, the settings kept between configurations, all-or-nothing writes,
// and a lost port that is left alone until it is opened anew.
#include "serial/cserial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_serial_device.h"

namespace {

using Step = FakeSerialStep;
constexpr SerialError kRefused{SerialFault::kSettingsRefused, 87};
constexpr SerialError kGone{SerialFault::kGone, 5};

// True when one byte goes through each way. The device must have input waiting.
bool DoesIo(CSerial& port) {
  char byte = 0;
  return port.Read(&byte, 1) == 1 && port.Write("w", 1) == 1;
}

// A failed step leaves its error (no loss, even for one an open device gives
// when it vanishes, unless the device is open) and the state it must; once
// the device behaves, a configuration readies the object (same device if open).
TEST(CSerialConfiguration, AFailedStepLeavesTheStateItMustAndTheNextConfigurationRecovers) {
  const struct {
    const char* name;
    Step failing;
    SerialError error;
    bool closes, onReadyObject;  // onReadyObject false: the first Open fails; true: a SetBaudRate
    bool portOpenAfter, readyAfter, lost;
  } cases[] = {{"open", Step::kOpen, kRefused, false, false, false, false, false},
               {"open: gone", Step::kOpen, kGone, false, false, false, false, false},
               {"settings", Step::kConfigure, kRefused, false, false, true, false, false},
               {"settings, closing", Step::kConfigure, kRefused, true, false, false, false, false},
               {"settings: gone", Step::kConfigure, kGone, false, false, true, false, true},
               {"later settings", Step::kConfigure, kRefused, false, true, true, true, false},
               {"later, closing", Step::kConfigure, kRefused, true, true, false, false, false},
               {"later: gone", Step::kConfigure, kGone, false, true, true, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice device;
    CSerial port(device);
    ASSERT_TRUE(!c.onReadyObject || port.Open(1, kInstrumentLine));
    device.QueueInput("abcd");
    device.SetFailing(c.failing, true, c.error, c.closes);
    EXPECT_FALSE(c.onReadyObject ? port.SetBaudRate(9600) : port.Open(1, kInstrumentLine));
    EXPECT_EQ(port.LastError().fault, c.error.fault);
    EXPECT_EQ(port.LostError().code, c.lost ? c.error.code : 0u);
    EXPECT_EQ(device.IsOpen(), c.portOpenAfter);
    EXPECT_EQ(DoesIo(port), c.readyAfter);

    device.SetFailing(c.failing, false);
    EXPECT_TRUE(port.Configure(kInstrumentLine));
    EXPECT_EQ(port.Lost(), c.lost) << "only a new device clears a loss";
    if (c.lost) {
      EXPECT_TRUE(port.Close() && port.Configure(kInstrumentLine));
    }
    EXPECT_FALSE(port.Lost());
    EXPECT_TRUE(DoesIo(port));
    EXPECT_EQ(device.opened, std::vector<std::string>(c.portOpenAfter && !c.lost ? 1 : 2,
                                                      "\\\\.\\COM1"));
  }
}

// The name from the number, the settings as given, a new baud rate with the
// rest kept; the destructor closes the device.
TEST(CSerialConfiguration, DeviceGetsTheNameAndTheLineSettings) {
  FakeSerialDevice device;
  {
    CSerial port(device);
    const LineSettings odd{19200, Parity::kOdd, DataBits::k7, StopBits::kTwo};
    ASSERT_TRUE(port.Open(4294967295u, odd));
    ASSERT_TRUE(port.SetBaudRate(57600));
    EXPECT_EQ(device.opened, std::vector<std::string>{"\\\\.\\COM4294967295"});
    EXPECT_TRUE(device.line.baudRate == 57600 && device.line.parity == Parity::kOdd &&
                device.line.dataBits == DataBits::k7 && device.line.stopBits == StopBits::kTwo);
  }
  EXPECT_FALSE(device.IsOpen()) << "the destructor releases the device";
}

// Writes report all or nothing. A failure that says the device has gone makes
// the port lost: the device is not asked again, even by Purge, until the port
// is opened anew. Other failures leave it usable.
TEST(CSerialTransfer, ReadsWritesAndTheirFailures) {
  const struct {
    const char* name;
    Step failing;  // kOpen: nothing fails once the port is open
    SerialError error;
    bool shortWrites;
    const char* read;  // of "123", asked for 2
    uint32_t written;
    bool lost;
  } cases[] = {{"all well", Step::kOpen, {}, false, "12", 5, false},
               {"short write", Step::kOpen, {}, true, "12", 0, false},
               {"read fails", Step::kRead, kRefused, false, "", 5, false},
               {"read: gone", Step::kRead, kGone, false, "", 0, true},
               {"write fails", Step::kWrite, kRefused, false, "12", 0, false},
               {"write: gone", Step::kWrite, kGone, false, "12", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice device;
    CSerial port(device);
    ASSERT_TRUE(port.Open(1, kInstrumentLine));
    device.QueueInput("123");
    device.shortWrites = c.shortWrites;
    device.SetFailing(c.failing, true, c.error);
    char buffer[16] = {};
    EXPECT_EQ(std::string(buffer, port.Read(buffer, 2)), c.read);
    EXPECT_EQ(port.Write("hello", 5), c.written);
    EXPECT_EQ(port.LostError().fault, c.lost ? SerialFault::kGone : SerialFault::kNone);

    device.SetFailing(c.failing, false);
    device.shortWrites = false;
    const uint32_t polls = device.polls;
    device.QueueInput("x", 1);  // arrives while Purge discards what was waiting before
    port.Purge();
    EXPECT_EQ(std::string(buffer, port.Read(buffer, 2)), c.lost ? "" : "x");
    EXPECT_EQ(port.WriteString("w"), c.lost ? 0u : 1u);
    EXPECT_EQ(port.WaitForInput(1), !c.lost);
    EXPECT_EQ(device.polls == polls, c.lost);

    // Closed even when the release fails; a new device is not lost.
    device.SetFailing(Step::kClose, c.lost);
    EXPECT_EQ(port.Close(), !c.lost);
    EXPECT_FALSE(port.Close()) << "already closed";
    ASSERT_TRUE(port.Open(1, kInstrumentLine));
    EXPECT_FALSE(port.Lost());
  }
}

}  // namespace
