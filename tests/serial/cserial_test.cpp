// CSerial over the scripted device: each failing configuration step, what the
// device is given, transfers, purge and close and their failures, failed opens.
#include "serial/cserial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_comm_api.h"

namespace {

using Step = FakeCommStep;
constexpr auto kNow = FakeCommApi::Completion::kNow;
constexpr auto kLater = FakeCommApi::Completion::kPending;
constexpr auto kShort = FakeCommApi::Completion::kShort;

bool OpenDefault(CSerial& port) { return port.Open(1, 115200, 0, 8, 0); }

// True when one byte goes through each way. The device must have input waiting.
bool DoesIo(CSerial& port) {
  char byte = 0;
  return port.Read(&byte, 1) == 1 && port.Write("w", 1) == 1;
}

// A failed step leaves the reason it gave (no loss, even for a reason an open
// device gives when it vanishes) and the state it must; once the device
// behaves, a configuration readies the object (same handle if open).
TEST(CSerialConfiguration, AFailedStepLeavesTheStateItMustAndTheNextConfigurationRecovers) {
  const struct {
    const char* name;
    Step failing;
    bool onReadyObject;  // false: the first Open fails; true: a later SetBaudRate
    bool result, portOpenAfter, readyAfter;
    uint32_t error = kErrorInvalidParameter;
  } cases[] = {{"open", Step::kOpen, false, false, false, false},
               {"open: in use", Step::kOpen, false, false, false, false, kErrorAccessDenied},
               {"open: removed", Step::kOpen, false, false, false, false, kErrorDeviceRemoved},
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
    device.SetFailing(c.failing, true, c.error);
    EXPECT_EQ(c.onReadyObject ? port.SetBaudRate(9600) : OpenDefault(port), c.result);
    EXPECT_EQ(port.LastError(), c.result ? 0u : c.error);
    EXPECT_FALSE(port.Lost());
    EXPECT_EQ(device.PortOpen(), c.portOpenAfter);
    EXPECT_EQ(DoesIo(port), c.readyAfter);

    device.SetFailing(c.failing, false);
    EXPECT_TRUE(port.Configure(115200, 0, 8, 0));
    EXPECT_TRUE(DoesIo(port));
    EXPECT_EQ(device.opened, std::vector<std::string>(c.portOpenAfter ? 1 : 2, "\\\\.\\COM1"));
  }
}

// The queues go down to the device's maxima, never up again; the device gets
// the stored line settings (low bytes only), the flag word's changes, limits
// from the queue sizes and the time-outs, and keeps the rest of what it
// reported. Each configuration renews the events.
TEST(CSerialConfiguration, DeviceGetsQueuesLineFlagsLimitsAndTimeOuts) {
  const struct {
    const char* name;
    uint32_t maxRx, maxTx, deviceFlags, rx, tx, flags;
  } cases[] = {{"no limits, no flags", 0, 0, 0, 4096, 4096, 0x1011},
               {"small transmit queue, every flag", 0, 2048, ~0u, 4096, 2048, 0xFFFF9C93},
               {"small receive queue", 1000, 0, 0, 1000, 4096, 0x1011},
               {"larger maxima", 8192, 65536, 0, 4096, 4096, 0x1011}};
  const CommTimeouts kTimeouts{0, 0, 2000, 0, 0};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi device;
    device.maxima = {c.maxRx, c.maxTx};
    device.dcb = CommDcb{9600, c.deviceFlags, 7, 0, 0, 7, 2, 2, 0x11, 0x13, '?', 0x1A, '\n', 9};
    {
      CSerial port(device);
      ASSERT_TRUE(port.Open(4294967295u, 19200, 0x101, 0x307, 0x202));
      device.maxima = {};  // no limit now: the queues stay as lowered
      ASSERT_TRUE(port.SetBaudRate(57600));
      EXPECT_EQ(device.opened, std::vector<std::string>{"\\\\.\\COM4294967295"});
      EXPECT_EQ(device.setup, std::make_pair(c.rx, c.tx));
      const auto limit = [](uint32_t queue) { return static_cast<uint16_t>(queue / 4); };
      const CommDcb wanted{57600, c.flags, 7, limit(c.rx), limit(c.tx), 7, 1, 2, 0x11, 0x13, '?',
                           0, '\n', 9};
      EXPECT_EQ(std::memcmp(&device.dcb, &wanted, sizeof wanted), 0) << device.dcb.flags;
      EXPECT_EQ(std::memcmp(&device.timeouts, &kTimeouts, sizeof kTimeouts), 0);
      EXPECT_EQ(device.events.size(), 2u);
    }
    EXPECT_TRUE(!device.PortOpen() && device.events.empty()) << "the destructor releases all";
  }
}

// Reads take only what has arrived; a write must be strictly smaller than the
// free room of the transmit queue (unsigned arithmetic) and reports all or
// nothing; either may finish in the background. A failure with a code only a
// vanished device gives makes the port lost: the device is not asked again,
// even by Purge, until the port is opened anew. Other failures leave it usable.
TEST(CSerialTransfer, ReadsWritesAndTheirFailures) {
  const struct {
    const char* name;
    FakeCommApi::Completion completion;
    Step failing;  // kOpen: nothing fails once the port is open
    uint32_t error, outQueue;
    const char* read;     // of "123", asked for 2
    size_t left, taken;   // input left; bytes of "hello" the device took
    uint32_t written;
    bool lost;
  } cases[] = {{"at once", kNow, Step::kOpen, 0, 0, "12", 1, 5, 5, false},
               {"pending", kLater, Step::kOpen, 0, 0, "12", 1, 5, 5, false},
               {"exactly the free room", kNow, Step::kOpen, 0, 4091, "12", 1, 0, 0, false},
               {"one byte less than the room", kNow, Step::kOpen, 0, 4090, "12", 1, 5, 5, false},
               {"backlog beyond the queue", kNow, Step::kOpen, 0, 5000, "12", 1, 5, 5, false},
               {"short write", kShort, Step::kOpen, 0, 0, "12", 1, 4, 0, false},
               {"wait fails", kLater, Step::kWait, kErrorInvalidParameter, 0, "", 1, 5, 0, false},
               {"wait: bad command", kLater, Step::kWait, kErrorBadCommand, 0, "", 1, 0, 0, true},
               {"read fails", kNow, Step::kRead, kErrorInvalidHandle, 0, "", 3, 5, 5, false},
               {"read: not functioning", kNow, Step::kRead, kErrorGenFailure, 0, "", 3, 0, 0, true},
               {"read: aborted", kNow, Step::kRead, kErrorOperationAborted, 0, "", 3, 0, 0, true},
               {"write fails", kNow, Step::kWrite, kErrorInvalidHandle, 0, "12", 1, 0, 0, false},
               {"write: denied", kNow, Step::kWrite, kErrorAccessDenied, 0, "12", 1, 0, 0, true},
               {"status fails", kNow, Step::kStatus, kErrorInvalidParameter, 0, "", 3, 0, 0, false},
               {"status: removed", kNow, Step::kStatus, kErrorDeviceRemoved, 0, "", 3, 0, 0, true},
               {"status: not ready", kNow, Step::kStatus, kErrorNotReady, 0, "", 3, 0, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    device.QueueInput("123");
    device.completion = c.completion;
    device.outQueue = c.outQueue;
    device.SetFailing(c.failing, true, c.error);
    char buffer[16] = {};
    EXPECT_EQ(std::string(buffer, port.Read(buffer, 2)), c.read);
    EXPECT_EQ(device.TakeInput().size(), c.left);
    EXPECT_EQ(port.Write("hello", 5), c.written);
    EXPECT_EQ(device.written.size(), c.taken);
    EXPECT_EQ(port.LostError(), c.lost ? c.error : 0u);

    device.SetFailing(c.failing, false);
    device.completion = kNow;
    const uint32_t polls = device.polls;
    device.QueueInput("x", 1);  // arrives while Purge reads what was waiting before
    port.Purge();
    EXPECT_EQ(std::string(buffer, port.Read(buffer, 2)), c.lost ? "" : "x");
    EXPECT_EQ(port.WriteString("w"), c.lost ? 0u : 1u);
    EXPECT_EQ(device.polls == polls, c.lost);

    // Closed even when the release fails; a new handle is a new device.
    device.SetFailing(Step::kClose, c.lost);
    EXPECT_EQ(port.Close(), !c.lost);
    EXPECT_FALSE(port.Close()) << "already closed";
    ASSERT_TRUE(OpenDefault(port));
    EXPECT_FALSE(port.Lost());
  }
}

}  // namespace
