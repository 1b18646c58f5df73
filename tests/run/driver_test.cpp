// The whole run over a fake port and a fake console, with an instrument
// played by the test: it prompts after the wake-up string, echoes command
// lines, answers the start command and acknowledges packets.
#include "run/driver.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "run/port_messages.h"
#include "serial/cserial.h"
#include "support/fake_comm_api.h"
#include "support/fake_console.h"
#include "support/temp_dir.h"

namespace {

// The worked example: S0 header, three S2 records of which the first two
// merge, and an S8 terminator; CR LF line ends, 92 bytes.
const char kExample[] =
    "S0030000FC\r\n"
    "S20800100001020304DD\r\n"
    "S20800100105060708CC\r\n"
    "S2080010080A0B0C0DB1\r\n"
    "S804000000FB\r\n";
const std::string kPacketS0("\x7F\x00\x03\x00\x00\xFC", 6);
const std::string kPacketMerged("\x7F\x02\x0C\x00\x10\x00\x01\x02\x03\x04\x05\x06\x07\x08\xBF", 15);
const std::string kPacketSingle("\x7F\x02\x08\x00\x10\x08\x0A\x0B\x0C\x0D\xB1", 11);
const std::string kPacketS8("\x7F\x08\x04\x00\x00\x00\xFB", 7);
const std::string kSetUp = "===\n\r@N\r\r$\r";
const std::string kBanner =
    "Ostrivel FLASH Version 1.02\n"
    "Copyright (C) 2005 Corvane Instruments Ltd.  All rights reserved.\n\n";

// The instrument's side of the conversation, driven by what the loader writes.
struct Instrument {
  int wakeUpsToIgnore = 0;
  std::map<int, std::string> answers;  // packet number (from 1) -> answer line; "" = silence
  int failSettingsAfterCommands = -1;  // the next settings write fails after this many commands
  std::vector<std::string> packets;
  bool flashing = false;
  int commands = 0;

  void Attach(FakeCommApi& device) {
    device.SetWriteHandler([this](FakeCommApi& d, const std::string& bytes) { Take(d, bytes); });
  }

  void Take(FakeCommApi& device, const std::string& bytes) {
    if (flashing) {
      packets.push_back(bytes);
      const int number = static_cast<int>(packets.size());
      const auto answer = answers.find(number);
      device.QueueInput(answer == answers.end() ? "\n" : answer->second);
      const unsigned char type = static_cast<unsigned char>(bytes[1]);
      if (type == 5 || type == 8 || type == 9) flashing = false;
      return;
    }
    if (bytes == "===\n") {
      if (wakeUpsToIgnore > 0) {
        --wakeUpsToIgnore;
      } else {
        device.QueueInput(">");
      }
      return;
    }
    device.QueueInput(bytes + "\n");  // the echo
    if (bytes == "$\r" || bytes == "%%\r") {
      flashing = true;
      return;
    }
    device.QueueInput(">");
    if (++commands == failSettingsAfterCommands) device.SetFailing(FakeCommStep::kSetState);
  }
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string wire;
  std::string file;  // the firmware file's path
};

// Runs the loader with `args`, where "FILE" stands for a scratch file holding
// `content`, over `device`.
RunResult RunLoader(FakeCommApi& device, std::vector<std::string> args,
                    const std::string& content) {
  TempDir dir;
  RunResult run;
  run.file = dir.Write("fw.m0", content);
  std::vector<std::string> storage = {"talvorn"};
  for (const std::string& arg : args) storage.push_back(arg == "FILE" ? run.file : arg);
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  FlashState state;
  CSerial port(device);
  testing::internal::CaptureStdout();
  run.status = RunFlash(state, port, static_cast<int>(argv.size()), argv.data());
  run.out = testing::internal::GetCapturedStdout();
  run.wire = device.Written();
  return run;
}

// True when `text` ends with `end`.
testing::AssertionResult EndsWith(const std::string& text, const std::string& end) {
  if (text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "output:\n" << text << "\ndoes not end with:\n" << end;
}

class DriverTest : public testing::Test {
 protected:
  void SetUp() override { instrument.Attach(device); }

  RunResult Flash(std::vector<std::string> args, const std::string& content = kExample) {
    RunResult run = RunLoader(device, std::move(args), content);
    file = run.file;
    return run;
  }

  std::string Started() const {
    return "Press <ESC> to cancel\n"
           "Waking up device at COM1:115200,N,8,1 ... AWAKE\n"
           "Setting Baud Rate to COM1: 115200,N,8,1\n"
           "Flash programming \"" + file + "\" started ...\n"
           "Percent Complete ... ";
  }

  std::string file;
  FakeCommApi device;
  FakeConsole console;
  Instrument instrument;
};

TEST_F(DriverTest, SuccessfulRunOfTheWorkedExample) {
  const RunResult run = Flash({"FILE"});
  EXPECT_EQ(run.status, 0);
  // After the start command the count starts again: 66 bytes (lines 2-4),
  // then 80 (line 5 read ahead) twice, of 92.
  EXPECT_EQ(run.out, kBanner + Started() +
                         " 71%\b\b\b\b\b 86%\b\b\b\b\b 86%\b\b\b\b\b 100%\n"
                         "S-Records sent ... 5\n"
                         "Flash programming ... SUCCESSFUL\n"
                         "DONE\n");
  EXPECT_EQ(run.wire, kSetUp + kPacketS0 + kPacketMerged + kPacketSingle + kPacketS8);
  EXPECT_EQ(console.terminal, "-\\|");
  EXPECT_TRUE(console.beeps.empty());
  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>{"\\\\.\\COM1"});
}

TEST_F(DriverTest, PadAndDumpOptions) {
  const RunResult run = Flash({"-p", "-d", "FILE", "1"});
  EXPECT_EQ(run.status, 0);
  const std::string pad("\xFF\xFF\xFF", 3);
  EXPECT_EQ(run.wire, kSetUp + kPacketS0 + pad + kPacketMerged + pad + kPacketSingle + pad +
                          kPacketS8);
  EXPECT_NE(run.out.find("SRec 9: 7f,00,03,00,00,fc,ff,ff,ff,\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("SRec 14: 7f,02,08,00,10,08,0a,0b,0c,0d,b1,ff,ff,ff,\n"),
            std::string::npos);
  EXPECT_EQ(run.out.find("SRec 7:"), std::string::npos);  // the terminator is not dumped
}

// How the transfer ends: the instrument's answers and the keys pressed once
// the start answer (three polls) has been read.
TEST_F(DriverTest, TransferEndings) {
  const std::string kEndFail = "\nFlash programming ... UNSUCCESSFUL\nDONE\n";
  const struct {
    const char* name;
    std::string file;
    std::map<int, std::string> answers;
    std::vector<int> keys;
    int status;
    std::string packetsSent;
    std::string tail;
  } cases[] = {
      {"error answer keeps the instrument's text", kExample, {{2, "Checksum error\r\n"}}, {}, 1,
       kPacketS0 + kPacketMerged,
       " 71%\b\b\b\b\b 86%\b\b\b\b\b\nS-Records sent ... 5\n"
       "Flash programming error message:  Checksum error\r\n\n" + kEndFail},
      {"carriage return and line feed is no acceptance", kExample, {{1, "\r\n"}}, {}, 1, kPacketS0,
       " 71%\b\b\b\b\b\nS-Records sent ... 4\nFlash programming error message:  \r\n\n" + kEndFail},
      {"no answer", kExample, {{3, ""}}, {}, 1, kPacketS0 + kPacketMerged + kPacketSingle,
       " 71%\b\b\b\b\b 86%\b\b\b\b\b 86%\b\b\b\b\b\nS-Records sent ... 5\n"
       "Flash programming error message:  Response Timeout\n" + kEndFail},
      {"terminator refused", kExample, {{4, "Verify failed\n"}}, {}, 1,
       kPacketS0 + kPacketMerged + kPacketSingle + kPacketS8,
       " 71%\b\b\b\b\b 86%\b\b\b\b\b 86%\b\b\b\b\b\nS-Records sent ... 5\n"
       "Flash programming error message:  Verify failed\n\n" + kEndFail},
      {"ESC: the answer in flight is read, the look-ahead not sent", kExample, {}, {kKeyEscape},
       1, kPacketS0,
       " 71%\b\b\b\b\b\nS-Records sent ... 4\nFlash programming ... CANCELLED BY USER.\n" +
           kEndFail},
      {"ESC before a look-ahead terminator still sends it", "S0030000FC\nS804000000FB\n", {},
       {kKeyEscape}, 1, kPacketS0 + kPacketS8,
       " 54%\b\b\b\b\b 100%\nS-Records sent ... 2\nFlash programming ... CANCELLED BY USER.\n" +
           kEndFail},
      {"other keys change nothing", kExample, {}, {'a', 0x100}, 0,
       kPacketS0 + kPacketMerged + kPacketSingle + kPacketS8,
       " 86%\b\b\b\b\b 100%\nS-Records sent ... 5\nFlash programming ... SUCCESSFUL\nDONE\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi fresh;
    Instrument player;
    player.answers = c.answers;
    player.Attach(fresh);
    FakeConsole keys;
    for (int key : c.keys) keys.PressKey(key, 3);
    const RunResult run = RunLoader(fresh, {"FILE"}, c.file);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.wire, kSetUp + c.packetsSent);
    EXPECT_TRUE(EndsWith(run.out, c.tail));
    EXPECT_EQ(keys.keysRead, c.keys);
    EXPECT_EQ(keys.beeps.size(), c.status == 0 ? 0u : 1u);
  }
}

TEST_F(DriverTest, WakeUpIsRetriedUntilTheInstrumentAnswers) {
  instrument.wakeUpsToIgnore = 2;
  const RunResult run = Flash({"FILE"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Press <ESC> to cancel\n"
                         "Waking up device at COM1:115200,N,8,1 ... FAILED\n"
                         "Waking up device at COM1:115200,N,8,1 ... FAILED\n"
                         "Waking up device at COM1:115200,N,8,1 ... AWAKE\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.wire.substr(0, 12), "===\n===\n===\n");
}

TEST_F(DriverTest, KeyDuringWakeUpCancels) {
  instrument.wakeUpsToIgnore = 1000;
  console.PressKey(' ', 7000);  // during the second try
  const RunResult run = Flash({"FILE"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Waking up device at COM1:115200,N,8,1 ... FAILED\n"
                         "Waking up device at COM1:115200,N,8,1 ... "
                         "Flash programming ... CANCELLED BY USER\n"
                         "Flash programming ... UNSUCCESSFUL\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("DONE"), std::string::npos);
}

TEST_F(DriverTest, WakeUpTriesAreBoundedWhenNoKeyCanCome) {
  instrument.wakeUpsToIgnore = 1000;
  console.SetKeysCanArrive(false);
  const RunResult run = Flash({"FILE", "4"});
  EXPECT_EQ(run.status, 1);
  std::string twentyWakeUps;
  for (int i = 0; i < 20; ++i) twentyWakeUps += "===\n";
  EXPECT_EQ(run.wire, twentyWakeUps);
  EXPECT_NE(run.out.find("*** - Error, no answer from the instrument at COM4.\n"),
            std::string::npos);
}

TEST_F(DriverTest, FailuresBeforeTheTransfer) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string content;
    int failSettingsAfter;
    std::string expectedEnd;
    bool portTried;
  } cases[] = {
      {"baud rate cannot be set again", {"FILE"}, kExample, 3,
       "AWAKE\n\nFlash programming ... UNSUCCESSFUL\n", true},
      {"bad record checksum never reaches the port", {"FILE"},
       "S0030000FC\nS20800100001020304DE\nS804000000FB\n", -1,
       "*** - Error, \"{FILE}\" line 2: record checksum is DE, expected DD"
       "\nFlash programming ... UNSUCCESSFUL\n",
       false},
      {"file without terminator is refused", {"FILE"}, "S0030000FC\n", -1,
       "\nFlash programming ... UNSUCCESSFUL\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi fresh;
    Instrument player;
    player.failSettingsAfterCommands = c.failSettingsAfter;
    player.Attach(fresh);
    FakeConsole keys;
    const RunResult run = RunLoader(fresh, c.args, c.content);
    EXPECT_EQ(run.status, 1);
    std::string expectedEnd = c.expectedEnd;
    const auto at = expectedEnd.find("{FILE}");
    if (at != std::string::npos) expectedEnd.replace(at, 6, run.file);
    EXPECT_TRUE(EndsWith(run.out, expectedEnd));
    EXPECT_EQ(fresh.Calls(FakeCommStep::kOpen) > 0, c.portTried);
    EXPECT_TRUE(player.packets.empty());
  }
}

// The line after "cannot open port." for each reason the device can give,
// at the open or at a configuration step: COM7 (with its device path where a
// COM number stands for one), then the reason and the step that helps.
TEST_F(DriverTest, PortThatCannotBeOpenedIsExplained) {
  const struct {
    FakeCommStep step;
    uint32_t error;
    std::string reason;
  } cases[] = {
      {FakeCommStep::kOpen, kErrorFileNotFound,
       std::string("no such device. Is the adapter plugged in? ") + PortListHint()},
      {FakeCommStep::kOpen, kErrorPrivilegeNotHeld, "permission denied. Join the dialout group"},
      {FakeCommStep::kOpen, kErrorAccessDenied, "in use by another program. Close that program"},
      {FakeCommStep::kOpen, kErrorSharingViolation, "in use by another program."},
      {FakeCommStep::kGetState, kErrorInvalidFunction, "not a serial device."},
      {FakeCommStep::kSetState, kErrorInvalidParameter, "the device does not take the line"},
      {FakeCommStep::kOpen, kErrorPosixBase + 12, "the system refused it (errno 12).\n"},
      {FakeCommStep::kSetup, 1234, "the system refused it (error 1234).\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakeCommApi fresh;
    fresh.SetFailing(c.step, true, c.error);
    FakeConsole keys;
    const RunResult run = RunLoader(fresh, {"FILE", "7"}, kExample);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.wire, "");
    const std::string head = "Press <ESC> to cancel\n*** - Error, cannot open port.\nCOM7";
    const std::string line = run.out.substr(run.out.find(head) + head.size());
    EXPECT_EQ(line.substr(line.find(": "), c.reason.size() + 2), ": " + c.reason) << run.out;
  }
}

TEST_F(DriverTest, BootOverwriteAsksFirst) {
  const struct {
    const char* name;
    int key;
    int status;
    std::string startCommand;
  } cases[] = {
      {"yes", 'y', 0, "%%\r"},
      {"upper-case yes", 'Y', 0, "%%\r"},
      {"no", 'n', 1, ""},
      {"input closed", -1, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCommApi fresh;
    Instrument player;
    player.Attach(fresh);
    FakeConsole keys;
    if (c.key >= 0) keys.PressKey(c.key, 1);
    // ESC within the first 4096 bytes is ignored in this mode.
    keys.PressKey(kKeyEscape, 4);
    const RunResult run = RunLoader(fresh, {"-B", "FILE"}, kExample);
    const int status = run.status;
    const std::string& out = run.out;
    EXPECT_EQ(status, c.status) << out;
    EXPECT_NE(out.find("AWAKE\nAre you sure you want to allow boot sector overwrite (Y/N)? \n"),
              std::string::npos)
        << out;
    if (c.status == 0) {
      EXPECT_NE(fresh.Written().find("\r@N\r\r" + c.startCommand), std::string::npos);
      EXPECT_NE(out.find("SUCCESSFUL"), std::string::npos);
    } else {
      EXPECT_NE(out.find("? \nFlash programming ... CANCELLED BY USER.\n"), std::string::npos);
      EXPECT_EQ(fresh.Written().find('$'), std::string::npos);
    }
  }
}

}  // namespace
