// The conversation's waits, poll by poll, over a fake port and console.
#include "serial/device_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/cserial.h"
#include "support/fake_serial_device.h"
#include "support/fake_console.h"

namespace {

// Counts the command lines that the conversation reports without a prompt.
struct NoPromptCount : LinkEvents {
  int count = 0;
  void NoPrompt() override { ++count; }
};

class DeviceProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    link.portLabel = "COM1";
    ASSERT_TRUE(port.Open(1, kInstrumentLine));
  }

  FakeSerialDevice device;
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
    EXPECT_EQ(device.TakeInput(), "");  // the whole line was taken
  }
  device.QueueInput("\n", 100000);  // late: waited for without a pause or a key check
  EXPECT_TRUE(ReadResponseLine(link, port));
  EXPECT_EQ(console.pauses, 0);
  EXPECT_EQ(console.keyChecks, 0);
  // Silence ends by the clock: slept through on the port in slices, or, on a
  // port that cannot be slept on, polled with pauses.
  device.sleptMs = &console.sleptMs;
  for (const uint32_t mostPolls : {61u, 6001u}) {
    device.SetFailing(FakeSerialStep::kWait, mostPolls > 61u);
    const int64_t start = console.ClockMs();
    const uint32_t pollsBefore = device.polls;
    EXPECT_FALSE(ReadResponseLine(link, port));
    EXPECT_EQ(std::string(link.responseLine), "Response Timeout");
    EXPECT_EQ(console.ClockMs() - start, kResponseTimeoutMs);
    EXPECT_LE(device.polls - pollsBefore, mostPolls);
  }
}

// A pause after every empty poll, up to each wait's limit; a key ends them
// (after a command line and the start command ESC alone, read for the driver).
// Input arrives `afterPolls` polls on, a character every `gap` polls if set.
TEST_F(DeviceProtocolTest, WaitsEndAtTheirAnswerTheirLimitOrAKey) {
  enum Wait { kPrompt, kCommand, kWake, kStart };
  const struct {
    const char* name;
    Wait wait;
    int16_t limit;  // of the prompt wait
    std::string input;
    uint32_t afterPolls, gap;
    long keyAfterPauses;  // -1: no key
    bool result, keyLeft, beep;
    long pauses;
    std::string left;
    int key = ' ';
  } cases[] = {
      {"limit zero still polls once", kPrompt, 0, ">", 0, 0, -1, true, false, false, 0, ""},
      {"limit zero without prompt", kPrompt, 0, "", 0, 0, -1, false, false, false, 1, ""},
      {"prompt after empty polls", kPrompt, 10, ">", 3, 0, -1, true, false, false, 3, ""},
      {"other characters are dropped", kPrompt, 1, "ab>", 0, 0, -1, true, false, false, 0, ""},
      {"no prompt within the limit", kPrompt, 10, ">", 50, 0, -1, false, false, false, 10, ">"},
      {"a key stays for the driver", kPrompt, 100, ">", 50, 0, 4, false, true, false, 4, ">"},
      {"prompt before the echo is swallowed", kCommand, 0, ">@N\r\n", 0, 0, -1, false, false,
       true, 2500, ""},
      {"no echo: the prompt after the echo wait counts", kCommand, 0, ">", 600, 0, -1, true,
       false, false, 599, ""},
      {"command answered by silence", kCommand, 0, "", 0, 0, -1, false, false, true, 3000, ""},
      {"ESC ends the prompt wait after one poll", kCommand, 0, "\r>", 0, 20, 0, false, true,
       false, 1, ">", kKeyEscape},
      {"other keys do not", kCommand, 0, "\r>", 0, 20, 0, true, false, false, 18, ""},
      {"the wake-up purges a stale prompt, then waits 5000 polls", kWake, 0, "old >", 0, 0, -1,
       false, false, false, 5000, ""},
      // The write of the start command is the first status query: poll 1.
      {"text after the line feed stays", kStart, 0, "$\r\nREADY\n", 2, 0, -1, true, false, false,
       4, "READY\n"},
      {"characters 1500 polls apart keep it going", kStart, 0, "xxx\n", 1500, 1501, -1, true,
       false, false, 6003, ""},
      {"2000 empty polls in a row", kStart, 0, "", 0, 0, -1, true, false, false, 2000, ""},
      {"ESC, amid a stream without line feed", kStart, 0, std::string(100, 'y'), 0, 0, 30, true,
       true, false, 30, std::string(70, 'y'), kKeyEscape},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConsole keys;
    if (c.keyAfterPauses >= 0) keys.PressKey(c.key, c.keyAfterPauses);
    link.escapeRead = false;
    const std::size_t chunk = c.gap ? 1 : c.input.size();
    for (std::size_t i = 0; i < c.input.size(); i += chunk) {
      device.QueueInput(c.input.substr(i, chunk), c.afterPolls + static_cast<uint32_t>(i) * c.gap);
    }
    NoPromptCount noPrompts;
    link.events = &noPrompts;
    const bool result = c.wait == kPrompt    ? WaitForPrompt(link, port, c.limit)
                        : c.wait == kCommand ? SendCommand(link, port, "@N")
                        : c.wait == kWake    ? WakeDevice(link, port)
                                             : (SendStartCommand(link, port, false), true);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(keys.pauses, c.pauses);
    EXPECT_EQ(keys.KeyWaiting() || link.escapeRead, c.keyLeft);  // the driver's to read
    EXPECT_EQ(noPrompts.count, c.beep ? 1 : 0);
    EXPECT_EQ(device.TakeInput(), c.left);
  }
}

}  // namespace
