// The decoder of key bytes as a terminal sends them: where one key ends and
// the next begins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/console.h"

namespace {

TEST(ReadStreamKey, AnEscapeSequenceIsOneKeyAndTakesNoMore) {
  const int esc = kKeyEscape, seq = kSequenceKey;
  const struct {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  } cases[] = {
      {"ESC alone", "\x1b", {esc}},
      {"ESC ESC typed quickly", "\x1b\x1b", {esc, esc}},
      {"ESC Enter", "\x1b\r", {esc, '\r'}},
      {"an arrow", "\x1b[Ax", {seq, 'x'}},
      {"Ctrl and an arrow: parameters before the final byte", "\x1b[1;5Ax", {seq, 'x'}},
      {"F1 by SS3: one byte after the O", "\x1bOPx", {seq, 'x'}},
      {"SS3 takes its one byte whatever it is", "\x1bO1x", {seq, 'x'}},
      {"a sequence cut short by the end of input", "\x1b[1", {seq}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t at = 0;
    const auto next = [&](int /*waitMs*/, bool take) {
      if (at >= c.bytes.size()) return -1;
      const int byte = static_cast<unsigned char>(c.bytes[at]);
      if (take) ++at;
      return byte;
    };
    std::vector<int> keys;
    for (int key = ReadStreamKey(next); key >= 0 && keys.size() < 10; key = ReadStreamKey(next)) {
      keys.push_back(key);
    }
    EXPECT_EQ(keys, c.keys);
  }
}

}  // namespace
