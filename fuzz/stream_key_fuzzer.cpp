// ReadStreamKey, the decoder of key bytes as a terminal sends them. The input
// is the byte stream, where 0xFF stands for a pause longer than any wait: a
// wait with a bound sees no byte there. Keys are read until the decoder says
// the input has ended; every key is compared with what its bytes must give.
#include <cstddef>
#include <cstdint>

#include "require.h"
#include "console/console.h"

namespace {

constexpr uint8_t kPause = 0xFF;
constexpr int kMostSequenceBytes = 16;  // after ESC "[", as the decoder bounds it

bool IsFinalByte(uint8_t byte) { return byte >= 0x40 && byte <= 0x7E; }

// The bytes of one key as the decoder reads them, from its first byte on.
struct KeyScript {
  const uint8_t* data;
  size_t size;
  size_t at;
  int reads = 0;  // calls within this key
  bool sawNothing = false;

  int Next(int waitMs, bool take) {
    Require(!sawNothing, "no read after a wait that saw nothing");
    Require((reads++ == 0) == (waitMs < 0), "only a key's first byte is awaited without bound");
    Require(waitMs < 0 || waitMs == kEscapeSequenceWaitMs, "a sequence byte is awaited briefly");
    if (at < size && data[at] != kPause) return take ? data[at++] : data[at];
    sawNothing = true;
    if (at < size) ++at;  // the pause passes while the wait sees nothing
    return -1;
  }
};

// How many bytes from `first` (an ESC) make one key, a pause ending it early.
size_t EscapeKeyBytes(const uint8_t* data, size_t size, size_t first) {
  size_t end = first + 1;
  if (end == size || data[end] == kPause) return 1;
  const uint8_t introducer = data[end++];
  if (introducer != 'O' && introducer != '[') return 1;  // ESC, then a key of its own
  if (introducer == 'O') return end < size && data[end] != kPause ? 3 : 2;
  for (int i = 0; i < kMostSequenceBytes && end < size && data[end] != kPause; ++i) {
    if (IsFinalByte(data[end++])) break;
  }
  return end - first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t next = 0;;) {
    size_t first = next;  // pauses before a key pass while it is awaited
    while (first < size && data[first] == kPause) ++first;
    KeyScript script{data, size, first};
    // One reference: std::function then holds the callback without allocating.
    const int key =
        ReadStreamKey([&script](int waitMs, bool take) { return script.Next(waitMs, take); });
    next = script.at;
    Require((key == -1) == (first == size), "-1 exactly at the end of input");
    if (first == size) return 0;
    if (data[first] != 0x1B) {
      Require(key == data[first] && next == first + 1, "a byte other than ESC is its own key");
      continue;
    }
    const size_t keyBytes = EscapeKeyBytes(data, size, first);
    Require(key == (keyBytes == 1 ? kKeyEscape : kSequenceKey),
            "ESC alone or before another key is ESC, ESC [ or ESC O begins one sequence key");
    // The pause that showed a sequence (or a lone ESC) ended is taken with it.
    const size_t taken = next - first;
    Require(taken == keyBytes || (taken == keyBytes + 1 && data[first + keyBytes] == kPause),
            "a key takes its own bytes and none of the next key's");
  }
}
