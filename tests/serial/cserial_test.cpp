// CSerial over the scripted device: state after failed configuration steps,
// what the device is given, queue sizes and the room test, reads, writes,
// purge and close.
#include "serial/cserial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_comm_api.h"

namespace {

using Step = FakeCommStep;
using Completion = FakeCommApi::Completion;
const std::string kCom1 = "\\\\.\\COM1";

bool OpenDefault(CSerial& port) { return port.Open(1, 115200, 0, 8, 0); }

// True when one byte goes through each way. The device must have input waiting.
bool DoesIo(CSerial& port, FakeCommApi& device) {
  char byte = 0;
  const size_t written = device.Written().size();
  return port.Read(&byte, 1) == 1 && port.Write("w", 1) == 1 &&
         device.Written().size() == written + 1;
}

TEST(CSerialConfiguration, AFailedStepLeavesTheStateItMustAndTheNextConfigurationRecovers) {
  const struct {
    const char* name;
    Step failing;
    bool onReadyObject;  // false: the first Open fails; true: a later SetBaudRate
    bool result, portOpenAfter, readyAfter;
  } cases[] = {{"open", Step::kOpen, false, false, false, false},
               {"properties", Step::kProperties, false, true, true, true},
               {"setup", Step::kSetup, false, false, true, false},
               {"get state", Step::kGetState, false, false, false, false},
               {"set state", Step::kSetState, false, false, true, false},
               {"time-outs", Step::kTimeouts, false, false, true, false},
               {"create event", Step::kCreateEvent, false, true, true, false},
               {"later setup", Step::kSetup, true, false, true, true},
               {"later get state", Step::kGetState, true, false, false, false},
               {"later set state", Step::kSetState, true, false, true, true},
               {"later time-outs", Step::kTimeouts, true, false, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(!c.onReadyObject || OpenDefault(port));
    device.QueueInput("abcd");
    device.SetFailing(c.failing);
    EXPECT_EQ(c.onReadyObject ? port.SetBaudRate(9600) : OpenDefault(port), c.result);
    EXPECT_EQ(device.PortOpen(), c.portOpenAfter);
    EXPECT_EQ(DoesIo(port, device), c.readyAfter);

    // Once the device behaves, a configuration makes the object ready, on
    // the same handle when the port stayed open.
    device.SetFailing(c.failing, false);
    EXPECT_TRUE(port.Configure(115200, 0, 8, 0));
    EXPECT_TRUE(DoesIo(port, device));
    EXPECT_EQ(device.OpenedNames(), std::vector<std::string>(c.portOpenAfter ? 1 : 2, kCom1));
  }
}

TEST(CSerialConfiguration, OpenGivesTheDeviceTheLineLimitsAndTimeOuts) {
  FakeCommApi device;
  CSerial port(device);
  // Only the low byte of parity, byte size and stop bits reaches the device.
  ASSERT_TRUE(port.Open(4294967295u, 9600, 0x100, 0x308, 0x200));
  // On an open object a new name is stored, but the handle is kept.
  ASSERT_TRUE(port.OpenDevice("/dev/ttyUSB0", 115200, 0x100, 0x308, 0x200));

  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>{"\\\\.\\COM4294967295"});
  EXPECT_EQ(device.LastSetup(), std::make_pair(4096u, 4096u));
  // The device had flow control and handshakes on and an end-of-file character.
  const CommDcb& dcb = device.LastDcb();
  EXPECT_EQ(dcb.flags, kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable);
  EXPECT_EQ(std::vector<uint32_t>({dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.XonLim,
                                   dcb.XoffLim, uint32_t(dcb.EofChar)}),
            std::vector<uint32_t>({115200, 8, 0, 0, 1024, 1024, 0}));
  const CommTimeouts& t = device.LastTimeouts();
  EXPECT_EQ(std::vector<uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                   t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({0, 0, 2000, 0, 0}));
}

TEST(CSerialConfiguration, FlagWordChangesOnlyTheLineAndFlowControlBits) {
  FakeCommApi device;
  CommDcb reported;  // every flag set, members of its own
  reported.flags = 0xFFFFFFFF;
  reported.XonChar = 0x11;
  reported.ErrorChar = 0x3F;
  reported.EofChar = 0x1A;
  reported.wReserved1 = 9;
  device.SetDeviceDcb(reported);
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  // CTS/DSR/XON-XOFF flow, DSR sensitivity, abort-on-error and the high bit
  // of each line control cleared; the rest kept.
  const CommDcb& dcb = device.LastDcb();
  EXPECT_EQ(dcb.flags, 0xFFFF9C93u);
  EXPECT_EQ(std::vector<int>({dcb.XonChar, dcb.ErrorChar, dcb.EofChar, dcb.wReserved1}),
            std::vector<int>({0x11, 0x3F, 0, 9}));
}

TEST(CSerialConfiguration, SetBaudRateKeepsSettingsAndLoweredQueuesAndRenewsEvents) {
  FakeCommApi device;
  {
    CSerial port(device);
    device.SetFailing(Step::kOpen);
    EXPECT_FALSE(port.Open(4, 115200, 1, 7, 2));  // the settings are stored nonetheless
    device.SetFailing(Step::kOpen, false);
    device.SetQueueMaxima(0, 2048);
    ASSERT_TRUE(port.SetBaudRate(19200));
    device.SetQueueMaxima(0, 0);  // a later report of no limit does not grow them back
    ASSERT_TRUE(port.SetBaudRate(57600));

    const CommDcb& dcb = device.LastDcb();
    EXPECT_EQ(
        std::vector<uint32_t>({dcb.BaudRate, dcb.Parity, dcb.ByteSize, dcb.StopBits, dcb.XoffLim}),
        std::vector<uint32_t>({57600, 1, 7, 2, 512}));
    EXPECT_EQ(device.LastSetup(), std::make_pair(4096u, 2048u));
    EXPECT_EQ(device.OpenedNames(), std::vector<std::string>(2, "\\\\.\\COM4"));
    EXPECT_EQ(device.LiveEvents(), 2u) << "old events are released at each configuration";
  }
  EXPECT_FALSE(device.PortOpen()) << "the destructor closes the port";
  EXPECT_EQ(device.LiveEvents(), 0u);
}

TEST(CSerialConfiguration, QueueSizesFollowTheDeviceMaximaDownOnly) {
  const struct {
    const char* name;
    uint32_t maxRx, maxTx, rxAsked, txAsked;
  } cases[] = {{"no limits", 0, 0, 4096, 4096},
               {"small transmit queue", 0, 2048, 4096, 2048},
               {"small receive queue", 1000, 0, 1000, 4096},
               {"larger maxima do not grow them", 8192, 65536, 4096, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi device;
    device.SetQueueMaxima(c.maxRx, c.maxTx);
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    EXPECT_EQ(device.LastSetup(), std::make_pair(c.rxAsked, c.txAsked));
    EXPECT_EQ(device.LastDcb().XonLim, c.rxAsked / 4);
    EXPECT_EQ(device.LastDcb().XoffLim, c.txAsked / 4);
    // The transmit size is the room test's capacity: into an empty queue a
    // write of the whole size is refused and one byte less goes.
    const std::vector<char> bytes(c.txAsked, 'x');
    EXPECT_EQ(port.Write(bytes.data(), c.txAsked), 0u);
    EXPECT_TRUE(device.Written().empty());
    EXPECT_EQ(port.Write(bytes.data(), c.txAsked - 1), c.txAsked - 1);
  }
}

TEST(CSerialWrite, MustBeStrictlySmallerThanTheFreeRoom) {
  const struct {
    const char* name;
    uint32_t outQueue;
    uint32_t count;
    bool accepted;
  } cases[] = {{"exactly the free room", 96, 4000, false},
               {"one byte less", 96, 3999, true},
               {"full queue", 4096, 1, false},
               {"room in unsigned arithmetic wraps", 5000, 100, true}};
  for (const auto& c : cases) {
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    device.SetOutQueue(c.outQueue);
    const std::string text(c.count, '\0');  // zero bytes: no terminator ends the text
    const uint32_t expected = c.accepted ? c.count : 0;
    EXPECT_EQ(port.Write(text.data(), c.count), expected) << c.name;
    EXPECT_EQ(port.WriteString(text), expected) << c.name;
    EXPECT_EQ(device.Written(), c.accepted ? text + text : "") << c.name;
  }
}

TEST(CSerialWrite, ReportsAllOrNothing) {
  const struct {
    const char* name;
    Completion completion;
    Step failing;  // kOpen: nothing fails once the port is open
    uint32_t expected;
    size_t bytesTaken;
  } cases[] = {{"at once", Completion::kNow, Step::kOpen, 5, 5},
               {"pending", Completion::kPending, Step::kOpen, 5, 5},
               {"short write", Completion::kShort, Step::kOpen, 0, 4},
               {"pending, wait fails", Completion::kPending, Step::kWait, 0, 5},
               {"write fails", Completion::kNow, Step::kWrite, 0, 0},
               {"status fails", Completion::kNow, Step::kStatus, 0, 0}};
  for (const auto& c : cases) {
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    device.SetCompletion(c.completion);
    device.SetFailing(c.failing);
    EXPECT_EQ(port.Write("hello", 5), c.expected) << c.name;
    EXPECT_EQ(device.Written().size(), c.bytesTaken) << c.name;
  }
}

TEST(CSerialRead, TakesOnlyWhatHasArrived) {
  const struct {
    const char* name;
    const char* waiting;
    uint32_t count;
    Completion completion;
    Step failing;  // kOpen: nothing fails once the port is open
    const char* expectedBytes;
    size_t stillWaiting;
  } cases[] = {{"count zero", "12345", 0, Completion::kNow, Step::kOpen, "", 5},
               {"nothing waiting", "", 1, Completion::kNow, Step::kOpen, "", 0},
               {"one of five", "12345", 1, Completion::kNow, Step::kOpen, "1", 4},
               {"fewer waiting than asked", "123", 10, Completion::kNow, Step::kOpen, "123", 0},
               {"pending", "123", 2, Completion::kPending, Step::kOpen, "12", 1},
               {"pending, wait fails", "123", 2, Completion::kPending, Step::kWait, "", 1},
               {"read fails", "123", 2, Completion::kNow, Step::kRead, "", 3},
               {"status fails", "123", 2, Completion::kNow, Step::kStatus, "", 3}};
  for (const auto& c : cases) {
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    device.QueueInput(c.waiting);
    device.SetCompletion(c.completion);
    device.SetFailing(c.failing);
    char buffer[16] = {};
    EXPECT_EQ(std::string(buffer, port.Read(buffer, c.count)), c.expectedBytes) << c.name;
    EXPECT_EQ(device.InputWaiting(), c.stillWaiting) << c.name;
  }
}

// The errors a vanished device gives, at each call of a read or a write: once
// one is seen the port is lost and the device is not asked again. Any other
// failure leaves the port usable.
TEST(CSerialLost, ADeviceThatHasGoneIsNeverAskedAgain) {
  const struct {
    Step failing;
    uint32_t error;
    bool lost;
  } cases[] = {{Step::kStatus, kErrorDeviceRemoved, true},  {Step::kStatus, kErrorNotReady, true},
               {Step::kRead, kErrorGenFailure, true},        {Step::kWrite, kErrorAccessDenied, true},
               {Step::kRead, kErrorOperationAborted, true},  {Step::kWait, kErrorBadCommand, true},
               {Step::kStatus, kErrorInvalidParameter, false}, {Step::kWrite, kErrorInvalidHandle, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "step " << int(c.failing) << " error " << c.error);
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    device.SetCompletion(Completion::kPending);
    device.QueueInput("abc");
    device.SetFailing(c.failing, true, c.error);
    char byte = 0;
    port.Read(&byte, 1);
    port.Write("w", 1);
    EXPECT_EQ(port.LostError(), c.lost ? c.error : 0u);
    device.SetFailing(c.failing, false);
    const int polls = device.Calls(Step::kStatus);
    port.Purge();
    device.QueueInput("x");
    EXPECT_EQ(port.Read(&byte, 1) + port.WriteString("w"), c.lost ? 0u : 2u);
    EXPECT_EQ(device.Calls(Step::kStatus) == polls, c.lost);
  }
}

TEST(CSerialPurge, DiscardsWhatWasWaitingAndKeepsLaterArrivals) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.QueueInput("abc");
  device.QueueInput("XY", 1);  // arrives between the purge's status query and its read
  port.Purge();
  char buffer[8] = {};
  EXPECT_EQ(std::string(buffer, port.Read(buffer, sizeof buffer)), "XY");
}

TEST(CSerialClose, ReportsTheReleaseAndLeavesTheObjectClosedEitherWay) {
  FakeCommApi device;
  CSerial port(device);
  EXPECT_FALSE(port.Close()) << "never opened";
  ASSERT_TRUE(OpenDefault(port));
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(device.PortOpen());
  EXPECT_FALSE(port.Close()) << "already closed";
  EXPECT_EQ(device.Calls(Step::kClose), 1);
  device.QueueInput("a");
  char byte = 0;
  EXPECT_EQ(port.Read(&byte, 1), 0u);
  EXPECT_EQ(port.Write("a", 1), 0u);

  ASSERT_TRUE(port.SetBaudRate(115200)) << "a configuration opens the port again";
  device.SetFailing(Step::kClose);
  EXPECT_FALSE(port.Close());
  device.SetFailing(Step::kClose, false);
  EXPECT_FALSE(port.Close()) << "a failed release still closed the object";
  EXPECT_TRUE(port.SetBaudRate(115200));
  EXPECT_EQ(device.OpenedNames().size(), 3u);
}

}  // namespace
