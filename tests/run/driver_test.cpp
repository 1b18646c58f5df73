// Runs over a fake port and console, for what a run against the simulated
// instrument cannot show: a port failing between two steps, keys at exact
// moments, a console that can never give a key.
#include "run/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run/ending.h"
#include "run/port_messages.h"
#include "run/presentation.h"
#include "serial/cserial.h"
#include "support/fake_serial_device.h"
#include "support/fake_console.h"
#include "support/temp_dir.h"

namespace {

// S0 header, three S2 records of which the first two merge, S8 terminator.
const char kExample[] = "S0030000FC\r\nS20800100001020304DD\r\nS20800100105060708CC\r\n"
                        "S2080010080A0B0C0DB1\r\nS804000000FB\r\n";
const std::string kPacketS0("\x7F\x00\x03\x00\x00\xFC", 6);
const std::string kPacketS8("\x7F\x08\x04\x00\x00\x00\xFB", 7);

// The instrument's side of the conversation, driven by what the loader writes:
// it echoes every line and prompts, and answers every packet with "\n".
struct Instrument {
  int wakeUpsToIgnore = 0;
  int failSettingsAfterCommands = -1;  // the next settings write fails after this many commands
  int refusedPacket = 0;               // the port refuses this packet (1: the first)
  bool flashing = false;

  void Take(FakeSerialDevice& device, const std::string& bytes) {
    if (flashing && --refusedPacket == 0) device.SetFailing(FakeSerialStep::kWrite, true, {SerialFault::kOther, 5});
    if (flashing) return device.QueueInput("\n");
    if (bytes == "===\n") return device.QueueInput(wakeUpsToIgnore-- > 0 ? "" : ">");
    device.QueueInput(bytes + "\n");  // the echo
    flashing = bytes == "$\r" || bytes == "%%\r";
    if (!flashing) device.QueueInput(">");
    if (--failSettingsAfterCommands == 0) device.SetFailing(FakeSerialStep::kConfigure);
  }
};

// The last `size` characters of `text`, or all of it.
std::string Tail(const std::string& text, size_t size) {
  return text.substr(text.size() - std::min(text.size(), size));
}

// Runs the loader with `args`, where "FILE" stands for a scratch file holding
// `content`, over `device`; returns the exit status, standard output and error.
struct Ran {
  int status;
  std::string out, err;
};
Ran RunLoader(FakeSerialDevice& device, std::vector<std::string> args,
                                      const std::string& content) {
  TempDir dir;
  std::vector<std::string> storage = {"talvorn"};
  for (const std::string& arg : args) {
    storage.push_back(arg == "FILE" ? dir.Write("fw.m0", content) : arg);
  }
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  FlashState state;
  CSerial port(device);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = RunFlash(state, port, static_cast<int>(argv.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

// How runs end that only a fake port and console can bring about.
TEST(Driver, EndingsThatOnlyFakesReach) {
  const std::string kFailed = "\nFlash programming ... UNSUCCESSFUL\n";
  const std::string kWaking = "Waking up device at COM1:115200,N,8,1 ... ";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string file;
    std::vector<std::pair<int, long>> keys;  // key, due after this many pauses
    bool keysCanArrive;
    int wakeUpsToIgnore, failSettingsAfter;
    std::string wireEnd, outEnd;
    int status;
    int refusedPacket = 0;
    std::string whatItGot = {};  // the line on standard error after the verdict, if checked
  } cases[] = {
      {"baud rate cannot be set again", {"FILE"}, kExample, {}, true, 0, 3, "\r@N\r\r",
       "AWAKE\n" + kFailed, 1},
      {"key during the second wake-up", {"FILE"}, kExample, {{' ', 7000}}, true, 1000, -1,
       "===\n===\n", kWaking + "FAILED\n" + kWaking + "Flash programming ... CANCELLED BY USER" +
       kFailed, 1},
      {"no key can ever come: twenty wake-ups", {"FILE", "4"}, kExample, {}, false, 1000, -1,
       "===\n===\n===\n===\n===\n===\n===\n===\n===\n===\n"
       "===\n===\n===\n===\n===\n===\n===\n===\n===\n===\n",
       "FAILED\n*** - Error, no answer from the instrument at COM4.\n" + kFailed, 1},
      {"boot overwrite asked with input closed", {"-b", "FILE"}, kExample, {}, false, 0, -1,
       "===\n", "(Y/N)? \nFlash programming ... CANCELLED BY USER.\n" + kFailed, 1},
      {"ESC is ignored in the boot sector", {"-B", "FILE"}, kExample,
       {{'Y', 1}, {kKeyEscape, 4}}, true, 0, -1, kPacketS8, "SUCCESSFUL\nDONE\n", 0},
      {"ESC before a look-ahead terminator still sends it", {"FILE"},
       "S0030000FC\nS804000000FB\n", {{kKeyEscape, 3}}, true, 0, -1, kPacketS0 + kPacketS8,
       " 54%\b\b\b\b\b 100%\nS-Records sent ... 2\nFlash programming ... CANCELLED BY USER.\n" +
       kFailed + "DONE\n", 1, 0,
       "the instrument had already accepted the whole image, its end record included.\n"},
      {"a packet the port refuses ends the run with its reason", {"FILE"}, kExample, {}, true, 0,
       -1, kPacketS0, "the serial port COM1 refused a write (" + SystemCodeText(5) + ")\n" +
       kFailed + "DONE\n", 1, 1, "the instrument may hold an incomplete image: flash it again.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice device;
    Instrument player;
    player.wakeUpsToIgnore = c.wakeUpsToIgnore;
    player.failSettingsAfterCommands = c.failSettingsAfter;
    player.refusedPacket = c.refusedPacket;
    device.SetWriteHandler([&player](FakeSerialDevice& d, const std::string& b) { player.Take(d, b); });
    FakeConsole console;
    console.SetKeysCanArrive(c.keysCanArrive);
    for (const auto& [key, after] : c.keys) console.PressKey(key, after);
    const Ran ran = RunLoader(device, c.args, c.file);
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(Tail(device.written, c.wireEnd.size()), c.wireEnd);
    EXPECT_EQ(Tail(ran.out, c.outEnd.size()), c.outEnd);
    EXPECT_FALSE(console.KeyWaiting()) << "a key outlived the run, to reach the shell";
    if (!c.whatItGot.empty()) {
      EXPECT_EQ(Tail(ran.err, c.whatItGot.size()), c.whatItGot);
    }
  }
}

// A command line that gets no prompt beeps long and low.
TEST(ScreenView, ACommandLineWithoutPromptBeeps) {
  FakeConsole console;
  ScreenView(false).NoPrompt();
  EXPECT_EQ(console.beeps, (std::vector<std::pair<unsigned, unsigned>>{{400, 1000}}));
}

// An interrupt that comes as a step fails: the step's own words, then the
// interrupt's verdict.
TEST(ShowEnding, AStepsOwnEndingComesBeforeTheInterruptThatOverrodeIt) {
  FakeConsole console;
  FlashState state;
  state.link.portLabel = "COM7";
  RunOutcome outcome;
  outcome.ending = Ending::kInterrupted;
  outcome.overridden = Ending::kPortNotOpened;
  outcome.device = "\\\\.\\COM7";
  outcome.portError = {SerialFault::kInUse, 16};
  testing::internal::CaptureStdout();
  ShowEnding(state, outcome, EndingReason(state, outcome));
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string problem = PortOpenProblem("COM7", outcome.device, outcome.portError);
  EXPECT_EQ(out.rfind("*** - Error, cannot open port.\n" + problem + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("INTERRUPTED"), std::string::npos) << out;
}

// The line after "cannot open port." for reasons the simulated runs do not meet.
TEST(PortOpenProblem, NamesTheReasonAndWhatHelps) {
  const struct {
    SerialError error;
    std::string reason;
  } cases[] = {
      {{SerialFault::kSettingsRefused, 87}, "the device does not take the line"},
      {{SerialFault::kOther, 12}, "the system refused it (" + SystemCodeText(12) + ")."},
  };
  for (const auto& c : cases) {
    const std::string line = PortOpenProblem("COM7", "\\\\.\\COM7", c.error);
    EXPECT_EQ(line.rfind("COM7", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.find(": "), c.reason.size() + 2), ": " + c.reason) << line;
  }
}

}  // namespace
