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
    InitFlashState(state);
    state.portNumber = 1;
    ASSERT_TRUE(port.Open(1, 115200, 0, 8, 0));
  }

  FakeCommApi device;
  CSerial port{device};
  FakeConsole console;
  FlashState state;
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
      {"text is an error message", "Checksum error\r\n", false, "Checksum error\r\n"},
      {"carriage return first is no acceptance", "\r\n", false, "\r\n"},
      {"text without line feed", "Verify fail", false, "Verify fail"},
      {"nothing at all", "", false, "Response Timeout"},
      {"zero byte first then silence", std::string("\0X", 2), false, "Response Timeout"},
      {"long line cut to the buffer", longText + "\n", false, longText.substr(0, 160)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.QueueInput(c.input);
    EXPECT_EQ(ReadResponseLine(state, port), c.accepted);
    EXPECT_EQ(std::string(state.responseLine), c.line);
    EXPECT_EQ(device.InputWaiting(), 0u);  // the whole line was taken
  }
}

TEST_F(DeviceProtocolTest, AnswerArrivingLaterIsWaitedForWithoutPauses) {
  device.QueueInput("\n", 100000);
  EXPECT_TRUE(ReadResponseLine(state, port));
  EXPECT_EQ(console.pauses, 0);
  EXPECT_EQ(console.keyChecks, 0);  // the keyboard is not looked at here
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
      {"prompt waiting", ">", 0, 5, -1, true, 0},
      {"limit zero still polls once", ">", 0, 0, -1, true, 0},
      {"limit zero without prompt", "", 0, 0, -1, false, 1},
      {"prompt after empty polls", ">", 3, 10, -1, true, 3},
      {"other characters are dropped", "ab>", 0, 1, -1, true, 0},
      {"no prompt within the limit", ">", 50, 10, -1, false, 10},
      {"a key waiting ends the wait", ">", 50, 100, 4, false, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi fresh;
    CSerial freshPort(fresh);
    ASSERT_TRUE(freshPort.Open(1, 115200, 0, 8, 0));
    FakeConsole keys;
    if (c.keyAfterPauses >= 0) keys.PressKey(kKeyEscape, c.keyAfterPauses);
    if (!c.input.empty()) fresh.QueueInput(c.input, c.afterPolls);
    EXPECT_EQ(WaitForPrompt(state, freshPort, c.limit), c.result);
    EXPECT_EQ(keys.pauses, c.pauses);
    EXPECT_TRUE(keys.keysRead.empty());  // the key stays for the driver
  }
}

TEST_F(DeviceProtocolTest, CommandLineIsEchoedThenPrompted) {
  const struct {
    const char* name;
    const char* command;
    std::string sent;
    std::string answer;
    uint32_t afterPolls;
    bool result;
    size_t beeps;
  } cases[] = {
      {"empty command is one carriage return", "", "\r", "\r\n>", 0, true, 0},
      {"second set-up command", "@N", "@N\r", "@N\r\n>", 0, true, 0},
      {"prompt before the echo is swallowed", "@N", "@N\r", ">@N\r\n", 0, false, 1},
      {"no echo: the prompt after the echo wait counts", "", "\r", ">", 600, true, 0},
      {"silence beeps", "", "\r", "", 0, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.ClearWritten();
    console.beeps.clear();
    if (!c.answer.empty()) device.QueueInput(c.answer, c.afterPolls);
    EXPECT_EQ(SendCommand(state, port, c.command), c.result);
    EXPECT_EQ(device.Written(), c.sent);
    ASSERT_EQ(console.beeps.size(), c.beeps);
    if (c.beeps > 0) {
      EXPECT_EQ(console.beeps[0], std::make_pair(400u, 1000u));
    }
  }
}

TEST_F(DeviceProtocolTest, KeyDuringSetUpEndsPromptWaitsAfterOnePoll) {
  console.PressKey('a');
  device.QueueInput("\r", 0);
  device.QueueInput(">", 20);
  EXPECT_FALSE(SendCommand(state, port, ""));
  EXPECT_EQ(console.beeps.size(), 1u);
  EXPECT_TRUE(console.KeyWaiting());
}

TEST_F(DeviceProtocolTest, WakeDevicePurgesThenSendsWakeUpString) {
  state.verbose = true;
  device.QueueInput("old noise");
  device.QueueInput(">", 5);
  testing::internal::CaptureStdout();
  const bool awake = WakeDevice(state, port);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(awake);
  EXPECT_EQ(device.Written(), "===\n");
  // Purged bytes are not echoed; the prompt is.
  EXPECT_EQ(out, "Waking up device at COM1:115200,N,8,1 ... >");
}

TEST_F(DeviceProtocolTest, WakeDeviceGivesUpAfter5000EmptyPolls) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WakeDevice(state, port));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.pauses, 5000);
}

TEST_F(DeviceProtocolTest, StartCommand) {
  const struct {
    const char* name;
    bool boot;
    std::string sent;
  } cases[] = {{"normal", false, "$\r"}, {"boot-sector overwrite", true, "%%\r"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.ClearWritten();
    state.bootOverwrite = c.boot;
    // Text after the first line feed stays queued for the first answer line.
    device.QueueInput("$\r\nREADY\nERR\n", 2);
    SendStartCommand(state, port);
    EXPECT_EQ(device.Written(), c.sent);
    EXPECT_FALSE(ReadResponseLine(state, port));
    EXPECT_EQ(std::string(state.responseLine), "READY\n");
    EXPECT_FALSE(ReadResponseLine(state, port));
  }
}

TEST_F(DeviceProtocolTest, StartAnswerWaitCountsIdlePollsInARow) {
  // Characters keep the wait alive: 1500 idle polls, a character, 1500 idle
  // polls... never 2000 in a row, so only the line feed ends it.
  for (uint32_t i = 0; i < 3; ++i) device.QueueInput("x", 1500 + i * 1501);
  device.QueueInput("\n", 1500 + 3 * 1501);
  SendStartCommand(state, port);
  EXPECT_EQ(state.lastChar, '\n');
  EXPECT_EQ(device.InputWaiting() + device.InputScheduled(), 0u);
  EXPECT_GT(console.pauses, 6000);  // far past 2000: only the line feed ended it
}

TEST_F(DeviceProtocolTest, StartAnswerWaitEndsOnSilenceOrKey) {
  SendStartCommand(state, port);
  EXPECT_EQ(console.pauses, 2000);

  FakeConsole keys;
  keys.PressKey(' ', 30);
  for (int i = 0; i < 100; ++i) device.QueueInput("y");  // a steady stream, no line feed
  SendStartCommand(state, port);
  EXPECT_EQ(keys.pauses, 30);
}

TEST_F(DeviceProtocolTest, VerboseEchoesEveryCharacterReceived) {
  state.verbose = true;
  device.QueueInput(std::string("ok\0\n", 4));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ReadResponseLine(state, port));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("ok\0\n", 4));
}

}  // namespace
