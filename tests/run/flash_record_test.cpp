// The flash record's strings and time stamps: what a log reader's JSON parser
// and a sort by time rely on, for inputs the simulated runs seldom produce.
#include "run/flash_record.h"

#include <gtest/gtest.h>

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
      {"three-byte sequence", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
      {"four-byte sequence, U+10FFFF", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
      {"lead byte past U+10FFFF, byte by byte", "\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"Latin-1 letter", "Andr\xe9", "\"Andr\\u00e9\""},
      {"truncated sequence at the end", "x\xe2\x82", "\"x\\u00e2\\u0082\""},
      {"overlong slash", "\xc0\xaf", "\"\\u00c0\\u00af\""},
      {"surrogate half", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"continuation byte alone", "\x80", "\"\\u0080\""},
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
      {0, "1970-01-01T00:00:00.000Z"},
      {999, "1970-01-01T00:00:00.999Z"},
      {1000, "1970-01-01T00:00:01.000Z"},
      {86399999, "1970-01-01T23:59:59.999Z"},
      {86400000, "1970-01-02T00:00:00.000Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},
      {1798761599999, "2026-12-31T23:59:59.999Z"},
      {1798761600000, "2027-01-01T00:00:00.000Z"},
      {4107542400000, "2100-03-01T00:00:00.000Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsoTime(std::chrono::system_clock::time_point(milliseconds(c.ms))), c.text) << c.ms;
  }
}

}  // namespace
