// The flash record's strings, time stamps and verdicts: what a log reader's
// JSON parser, a sort by time and a script's test of the exit status rely on,
// for inputs and endings the simulated runs seldom or never produce.
#include "run/flash_record.h"
#include "run/run_outcome.h"

#include <gtest/gtest.h>

#include "console/console.h"

namespace {

TEST(FlashRecordTest, JsonStringEscapesWhatJsonForbidsAndKeepsValidUtf8) {
  const struct {
    const char* name;
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "fw.m0", "\"fw.m0\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"control characters", std::string("\0\x01\t\n\r\x1b\x1f\x7f", 8),
       "\"\\u0000\\u0001\\u0009\\u000a\\u000d\\u001b\\u001f\\u007f\""},
      {"two-byte sequence", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"four-byte sequence, U+10FFFF", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
      {"lead byte past U+10FFFF, byte by byte", "\xf4\x90\x80\x80",
       "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"Latin-1 letter", "Andr\xe9", "\"Andr\\u00e9\""},
      {"truncated sequence at the end", "x\xe2\x82", "\"x\\u00e2\\u0082\""},
      {"overlong slash", "\xc0\xaf", "\"\\u00c0\\u00af\""},
      {"surrogate half", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JsonString(c.text), c.json) << c.name;
  }
}

TEST(FlashRecordTest, IsoTimeInUtcWithMilliseconds) {
  using std::chrono::milliseconds;
  const struct {
    int64_t ms;  // since 1970-01-01T00:00:00Z
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},              {999, "1970-01-01T00:00:00.999Z"},
      {1000, "1970-01-01T00:00:01.000Z"},           {86399999, "1970-01-01T23:59:59.999Z"},
      {86400000, "1970-01-02T00:00:00.000Z"},       {951782400000, "2000-02-29T00:00:00.000Z"},
      {1798761599999, "2026-12-31T23:59:59.999Z"},  {1798761600000, "2027-01-01T00:00:00.000Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsoTime(std::chrono::system_clock::time_point(milliseconds(c.ms))), c.text) << c.ms;
  }
}

// Only a whole image (or an answered command line) exits 0, an interrupt 128 + its signal.
TEST(FlashRecordTest, EveryEndingHasItsVerdictAndExitStatus) {
  const struct {
    Ending ending;
    const char* verdict;
    int status;  // -1: 128 + the signal
  } cases[] = {
      {Ending::kSuccess, "successful", 0},        {Ending::kCancelled, "cancelled", 1},
      {Ending::kInterrupted, "interrupted", -1},  {Ending::kInstrumentError, "instrument error", 1},
      {Ending::kTimeOut, "time-out", 1},          {Ending::kOutOfStep, "instrument error", 1},
      {Ending::kLostPort, "lost port", 1},        {Ending::kFileChanged, "file changed", 1},
      {Ending::kBadRecord, "bad file", 1},        {Ending::kBadFile, "bad file", 1},
      {Ending::kNotAPort, "port not opened", 1},  {Ending::kPortNotOpened, "port not opened", 1},
      {Ending::kNoWakeAnswer, "time-out", 1},     {Ending::kSettingsRefused, "port not opened", 1},
      {Ending::kAnswered, "bad file", 0},         {Ending::kRefused, "bad file", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    EXPECT_STREQ(VerdictName(c.ending), c.verdict);
    RunOutcome outcome;
    outcome.ending = c.ending;
    EXPECT_EQ(ExitStatus(outcome), c.status < 0 ? InterruptExitStatus() : c.status);
  }
}

}  // namespace
