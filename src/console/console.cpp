#include "console/console.h"

#include <atomic>

namespace {
Console* g_installed = nullptr;
// Written by signal handlers (POSIX) or the console's handler thread
// (Windows): lock-free atomics are safe in both.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_interruptSignal{0};
// Threads that hold the first interrupt now, and whether this one does:
// several runs at once each hold it through their own boot sector.
std::atomic<int> g_holders{0};
thread_local bool t_holding = false;
}  // namespace

int RecordInterrupt(int signalNumber) {
  int expected = 0;
  g_interruptSignal.compare_exchange_strong(expected, signalNumber);
  return g_interrupts.fetch_add(1) + 1;
}

bool InterruptPending() { return g_interrupts.load() > (g_holders.load() > 0 ? 1 : 0); }

void HoldInterrupts(bool hold) {
  if (hold == t_holding) return;
  t_holding = hold;
  g_holders.fetch_add(hold ? 1 : -1);
}

int InterruptExitStatus() { return 128 + g_interruptSignal.load(); }

Console& TheConsole() { return g_installed != nullptr ? *g_installed : PlatformConsole(); }

void SetConsole(Console* console) { g_installed = console; }

std::string ScreenText(const std::string& text, LineEnds kept) {
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte < 0xA0) shown += "M-";
    const unsigned low = byte & 0x7Fu;
    const bool crKept = kept == LineEnds::kKept ||
                        (kept == LineEnds::kCrLfKept && i + 1 < text.size() && text[i + 1] == '\n');
    const bool lineEnd = kept != LineEnds::kShown && (c == '\n' || c == '\t' || (c == '\r' && crKept));
    if (byte >= 0xA0 || (low >= 0x20 && low != 0x7F) || lineEnd) {
      shown += c;
    } else {
      shown += '^';
      shown += static_cast<char>(low ^ 0x40u);  // 0x1B: '[', 0x7F: '?'
    }
  }
  return shown;
}

int ReadStreamKey(const std::function<int(int waitMs, bool take)>& nextByte) {
  const int first = nextByte(-1, true);
  if (first != kKeyEscape) return first;
  const int introducer = nextByte(kEscapeSequenceWaitMs, false);
  if (introducer != '[' && introducer != 'O') return kKeyEscape;
  nextByte(kEscapeSequenceWaitMs, true);
  if (introducer == 'O') {
    nextByte(kEscapeSequenceWaitMs, true);
  } else {
    // A control sequence ends at its final byte (0x40-0x7E).
    for (int guard = 0; guard < 16; ++guard) {
      const int byte = nextByte(kEscapeSequenceWaitMs, true);
      if (byte < 0 || (byte >= 0x40 && byte <= 0x7E)) break;
    }
  }
  return kSequenceKey;
}
