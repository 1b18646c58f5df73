// The conversation's waits, poll by poll, over a fake port and console: the
// limits, the pauses and the keys that runs against the simulated instrument
// cannot time. Whole conversations are run end to end.
#include "serial/device_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/cserial.h"
#include "support/fake_comm_api.h"
#include "support/fake_console.h"

namespace {

class DeviceProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    link.portLabel = "COM1";
    ASSERT_TRUE(port.Open(1, 115200, 0, 8, 0));
  }

  FakeCommApi device;
  CSerial port{device};
  FakeConsole console;
  SerialLink link;
};

TEST_F(DeviceProtocolTest, AnswerLineToAPacket) {
  const std::string longText(200, 'x');
  const struct {
    const char* name;
    std::string input;
    bool accepted;
    std::string line;
  } cases[] = {
      {"line feed alone accepts", "\n", true, "\n"},
      {"text without line feed", "Verify fail", false, "Verify fail"},
      {"zero byte first then silence", std::string("\0X", 2), false, "Response Timeout"},
      {"long line cut to the buffer", longText + "\n", false, longText.substr(0, 160)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.QueueInput(c.input);
    EXPECT_EQ(ReadResponseLine(link, port), c.accepted);
    EXPECT_EQ(std::string(link.responseLine), c.line);
    EXPECT_EQ(device.InputWaiting(), 0u);  // the whole line was taken
  }
  device.QueueInput("\n", 100000);  // late: waited for without a pause or a key check
  EXPECT_TRUE(ReadResponseLine(link, port));
  EXPECT_EQ(console.pauses, 0);
  EXPECT_EQ(console.keyChecks, 0);
}

TEST_F(DeviceProtocolTest, WaitForPrompt) {
  const struct {
    const char* name;
    std::string input;
    uint32_t afterPolls;
    int16_t limit;
    long keyAfterPauses;  // -1: no key
    bool result;
    long pauses;
  } cases[] = {
      {"limit zero still polls once", ">", 0, 0, -1, true, 0},
      {"limit zero without prompt", "", 0, 0, -1, false, 1},
      {"prompt after empty polls", ">", 3, 10, -1, true, 3},
      {"other characters are dropped", "ab>", 0, 1, -1, true, 0},
      {"no prompt within the limit", ">", 50, 10, -1, false, 10},
      {"a key waiting ends the wait", ">", 50, 100, 4, false, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConsole keys;
    if (c.keyAfterPauses >= 0) keys.PressKey(kKeyEscape, c.keyAfterPauses);
    if (!c.input.empty()) device.QueueInput(c.input, c.afterPolls);
    EXPECT_EQ(WaitForPrompt(link, port, c.limit), c.result);
    EXPECT_EQ(keys.pauses, c.pauses);
    EXPECT_EQ(keys.KeyWaiting(), c.keyAfterPauses >= 0);  // the key stays for the driver
    device.TakeInput();
  }
}

TEST_F(DeviceProtocolTest, CommandLineIsEchoedThenPrompted) {
  const struct {
    const char* name;
    std::string answer;
    uint32_t afterPolls;
    bool keyWaiting;
    bool result;
  } cases[] = {
      {"prompt before the echo is swallowed", ">@N\r\n", 0, false, false},
      {"no echo: the prompt after the echo wait counts", ">", 600, false, true},
      {"silence", "", 0, false, false},
      {"a key ends the prompt wait after one poll", "\r", 0, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConsole keys;
    if (c.keyWaiting) keys.PressKey('a');
    if (!c.answer.empty()) device.QueueInput(c.answer, c.afterPolls);
    if (c.keyWaiting) device.QueueInput(">", 20);
    EXPECT_EQ(SendCommand(link, port, "@N"), c.result);
    EXPECT_EQ(keys.beeps.size(), c.result ? 0u : 1u);  // a failed command beeps once
    device.TakeInput();
  }
}

TEST_F(DeviceProtocolTest, WakeDevicePurgesThenWaits5000EmptyPolls) {
  device.QueueInput("old >");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WakeDevice(link, port));  // the purged prompt does not count
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Waking up device at COM1:115200,N,8,1 ... ");
  EXPECT_EQ(console.pauses, 5000);
}

// The start answer's wait: after every poll a pause, until its line feed,
// 2000 empty polls in a row, or a key; text after the line feed stays queued.
TEST_F(DeviceProtocolTest, StartAnswerWait) {
  const struct {
    const char* name;
    std::string input;
    uint32_t afterPolls, gap;  // each character arrives `gap` polls after the one before
    long keyAfterPauses;       // -1: no key
    long pauses;
    std::string left;
  } cases[] = {
      // The write of the start command is the first status query: poll 1.
      {"text after the line feed stays", "$\r\nREADY\n", 2, 0, -1, 4, "READY\n"},
      {"characters 1500 polls apart keep it going", "xxx\n", 1500, 1501, -1, 6003, ""},
      {"2000 empty polls in a row", "", 0, 0, -1, 2000, ""},
      {"a key, amid a stream without line feed", std::string(100, 'y'), 0, 0, 30, 30,
       std::string(70, 'y')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConsole keys;
    if (c.keyAfterPauses >= 0) keys.PressKey(' ', c.keyAfterPauses);
    for (std::size_t i = 0; i < c.input.size(); ++i) {
      device.QueueInput(c.input.substr(i, 1), c.afterPolls + static_cast<uint32_t>(i) * c.gap);
    }
    SendStartCommand(link, port, false);
    EXPECT_EQ(keys.pauses, c.pauses);
    EXPECT_EQ(device.TakeInput(), c.left);
  }
}

}  // namespace
