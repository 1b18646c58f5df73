// The conversation's waits, poll by poll, over a fake port and clock.
#include "conversation/conversation.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/cserial.h"
#include "support/fake_serial_device.h"

namespace {

// Moves 1 ms per pause and by what the port's sleeps took; one key, due
// after a number of pauses.
struct ScriptedClock final : ConversationClock {
  long pauses = 0, sleptMs = 0, keyChecks = 0;
  int key = 0;
  long keyDue = -1;  // -1: no key
  int64_t NowMs() override { return pauses + sleptMs; }
  void Pause1ms() override { ++pauses; }
  bool KeyWaiting() override { return ++keyChecks, keyDue >= 0 && keyDue <= pauses; }
  int ReadKey() override { return keyDue = -1, key; }
  bool Interrupted() override { return false; }
};

// Counts the command lines that the conversation reports without a prompt.
struct NoPromptCount : LinkEvents {
  int count = 0;
  void NoPrompt() override { ++count; }
};

class DeviceProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    link.portLabel = "COM1";
    ASSERT_TRUE(port.Open("COM1", kInstrumentLine));
  }

  FakeSerialDevice device;
  CSerial port{device};
  ScriptedClock clock;
  SerialLink link;
  Conversation talk{link, port, clock};
};

TEST_F(DeviceProtocolTest, AnswerLineToAPacket) {
  const std::string longText(200, 'x');
  const struct {
    const char* name;
    std::string input{};
    PacketAnswer::Kind kind;
    std::string line;
  } cases[] = {
      {"line feed alone accepts", "\n", PacketAnswer::Kind::kAccepted, ""},
      {"text without line feed", "Verify fail", PacketAnswer::Kind::kErrorText, "Verify fail"},
      {"zero byte first then silence", std::string("\0X", 2), PacketAnswer::Kind::kNone, ""},
      {"long line cut", longText + "\n", PacketAnswer::Kind::kErrorText, longText.substr(0, 160)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.QueueInput(c.input);
    const PacketAnswer answer = talk.ReadResponseLine();
    EXPECT_EQ(answer.kind, c.kind);
    EXPECT_EQ(answer.text, c.line);
    EXPECT_EQ(device.TakeInput(), "");  // the whole line was taken
  }
  device.QueueInput("\n", 100000);  // late: waited for without a pause or a key check
  EXPECT_EQ(talk.ReadResponseLine().kind, PacketAnswer::Kind::kAccepted);
  EXPECT_EQ(clock.pauses, 0);
  EXPECT_EQ(clock.keyChecks, 0);
  // Silence ends by the clock: slept through on the port in slices, or, on a
  // port that cannot be slept on, polled with pauses.
  device.sleptMs = &clock.sleptMs;
  for (const uint32_t mostPolls : {61u, 6001u}) {
    device.SetFailing(FakeSerialStep::kWait, mostPolls > 61u);
    const int64_t start = clock.NowMs();
    const uint32_t pollsBefore = device.polls;
    EXPECT_EQ(talk.ReadResponseLine().kind, PacketAnswer::Kind::kNone);
    EXPECT_EQ(clock.NowMs() - start, kResponseTimeoutMs);
    EXPECT_LE(device.polls - pollsBefore, mostPolls);
  }
}

// Bytes that came when no answer was due: all taken, at most 160 kept to show.
TEST_F(DeviceProtocolTest, BytesBeforeAPacketAreTakenAndAtMost160Kept) {
  std::string bytes;
  device.QueueInput(std::string(300, 'x'));
  EXPECT_TRUE(talk.ReadUnsolicited(bytes));
  EXPECT_EQ(bytes, std::string(160, 'x'));
  EXPECT_EQ(device.TakeInput(), "");
}

// A pause after every empty poll, up to each wait's limit; a key ends them
// (after a command line and the start command ESC alone, read for the driver).
// Input arrives `afterPolls` polls on, a character every `gap` polls if set.
TEST_F(DeviceProtocolTest, WaitsEndAtTheirAnswerTheirLimitOrAKey) {
  enum Wait { kPrompt, kCommand, kWake, kStart };
  const struct {
    const char* name;
    Wait wait;
    int16_t limit = 0;  // of the prompt wait
    std::string input{};
    uint32_t afterPolls = 0, gap = 0;
    long keyAfterPauses = -1;  // -1: no key
    bool result = false;       // what the wait returned
    bool keyLeft = false;      // a key still waiting for the driver
    bool beep = false;         // the missing prompt reported
    long pauses = 0;
    std::string left{};        // input not taken
    int key = ' ';             // the key pressed
  } cases[] = {
      {.name = "limit zero still polls once", .wait = kPrompt, .input = ">", .result = true},
      {.name = "limit zero without prompt", .wait = kPrompt, .pauses = 1},
      {.name = "prompt after empty polls", .wait = kPrompt, .limit = 10, .input = ">",
       .afterPolls = 3, .result = true, .pauses = 3},
      {.name = "other characters are dropped", .wait = kPrompt, .limit = 1, .input = "ab>",
       .result = true},
      {.name = "no prompt within the limit", .wait = kPrompt, .limit = 10, .input = ">",
       .afterPolls = 50, .pauses = 10, .left = ">"},
      {.name = "a key stays for the driver", .wait = kPrompt, .limit = 100, .input = ">",
       .afterPolls = 50, .keyAfterPauses = 4, .keyLeft = true, .pauses = 4, .left = ">"},
      {.name = "prompt before the echo is swallowed", .wait = kCommand, .input = ">@N\r\n",
       .beep = true, .pauses = 2500},
      {.name = "no echo: the prompt after the echo wait counts", .wait = kCommand, .input = ">",
       .afterPolls = 600, .result = true, .pauses = 599},
      {.name = "command answered by silence", .wait = kCommand, .beep = true, .pauses = 3000},
      {.name = "ESC ends the prompt wait after one poll", .wait = kCommand, .input = "\r>",
       .gap = 20, .keyAfterPauses = 0, .keyLeft = true, .pauses = 1, .left = ">",
       .key = kCancelKey},
      {.name = "other keys do not", .wait = kCommand, .input = "\r>", .gap = 20,
       .keyAfterPauses = 0, .result = true, .pauses = 18},
      {.name = "the wake-up purges a stale prompt, then waits 5000 polls", .wait = kWake,
       .input = "old >", .pauses = 5000},
      // The write of the start command is the first status query: poll 1.
      {.name = "text after the line feed stays", .wait = kStart, .input = "$\r\nREADY\n",
       .afterPolls = 2, .result = true, .pauses = 4, .left = "READY\n"},
      {.name = "characters 1500 polls apart keep it going", .wait = kStart, .input = "xxx\n",
       .afterPolls = 1500, .gap = 1501, .result = true, .pauses = 6003},
      {.name = "2000 empty polls in a row", .wait = kStart, .result = true, .pauses = 2000},
      {.name = "ESC, amid a stream without line feed", .wait = kStart,
       .input = std::string(100, 'y'), .keyAfterPauses = 30, .result = true, .keyLeft = true,
       .pauses = 30, .left = std::string(70, 'y'), .key = kCancelKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock = ScriptedClock{};
    clock.key = c.key;
    clock.keyDue = c.keyAfterPauses;
    link.escapeRead = false;
    const std::size_t chunk = c.gap ? 1 : c.input.size();
    for (std::size_t i = 0; i < c.input.size(); i += chunk) {
      device.QueueInput(c.input.substr(i, chunk), c.afterPolls + static_cast<uint32_t>(i) * c.gap);
    }
    NoPromptCount noPrompts;
    link.events = &noPrompts;
    const bool result = c.wait == kPrompt    ? talk.WaitForPrompt(c.limit)
                        : c.wait == kCommand ? talk.SendCommand("@N")
                        : c.wait == kWake    ? talk.WakeDevice()
                                             : (talk.SendStartCommand(false), true);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(clock.pauses, c.pauses);
    EXPECT_EQ(clock.KeyWaiting() || link.escapeRead, c.keyLeft);  // the driver's to read
    EXPECT_EQ(noPrompts.count, c.beep ? 1 : 0);
    EXPECT_EQ(device.TakeInput(), c.left);
  }
}

}  // namespace
