// The whole-file check against the transfer's packet assembly, on the input
// as it is and with its record checksums put right. For every file the check
// passes, without and with pad bytes, the transfer assembles it within the
// buffers (ASan guards the bytes behind the reader's line buffer, and packet
// buffers of exactly kBufferSize bytes on the heap), never counts more bytes
// than the file holds, and sends exactly the packets the check assembled.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "require.h"
#include "srecord/srecord_reader.h"
#include "srecord/srecord_validator.h"

namespace {

using Packets = std::vector<std::vector<unsigned char>>;

void Keep(Packets& packets, const unsigned char* packet) {
  packets.emplace_back(packet, packet + PacketWireSize(packet));
}

// A passing file is new coverage for each number of packets it makes (libFuzzer
// reads this section as extra counters): passing files are kept and grown.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_packetsPassed[2][64];

// Checks the file (false when refused), then assembles it as the driver's
// transfer does: the reader rewound, the first packet sent whatever its type,
// then one look-ahead packet after each one sent until a terminator is next.
bool CheckAndTransfer(std::string& file, bool padded) {
  auto reader = std::make_unique<SRecordReader>();
  reader->file.reset(fmemopen(file.data(), file.size(), "rb"));
  reader->padded = padded;
  // No unpoisoning needed: ASan clears heap memory when it is handed out again.
  char* const behindLine = reader->lineBuffer + kBufferSize;
  ASAN_POISON_MEMORY_REGION(behindLine, reinterpret_cast<char*>(reader.get() + 1) - behindLine);
  Packets checked, sent;
  if (!ValidateFile(*reader, [&](const unsigned char* p) { Keep(checked, p); }).ok) return false;
  ++g_packetsPassed[padded][std::min<size_t>(checked.size(), 63)];

  std::vector<unsigned char> current(kBufferSize), next(kBufferSize);
  Require(RewindReader(*reader) && AssemblePacket(*reader, current.data()) == AssembleStatus::kPacket,
          "a checked file gives a first packet");
  do {
    Require(!padded || PacketWireSize(current.data()) + kPadBytes <= kBufferSize,
            "a packet and its pad bytes fit the buffer");
    Keep(sent, current.data());
    Require(AssemblePacket(*reader, next.data()) == AssembleStatus::kPacket,
            "a checked file assembles to its terminator");
    Require(reader->bytesRead >= 0 && static_cast<size_t>(reader->bytesRead) <= file.size(),
            "bytesRead within the file size");
    current = next;
  } while (!IsTerminator(current.data()));
  Keep(sent, current.data());
  Require(sent == checked, "the transfer sends the packets the check assembled");
  return true;
}

// The file with the checksum digits of every line that looks like a record
// put right, so that most mutated files pass the check and reach the transfer.
std::string WithRightChecksums(std::string text) {
  const auto byteAt = [&text](size_t at) {  // -1 for no two hex digits
    const int high = HexDigit(text[at]), low = HexDigit(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
  };
  for (size_t line = 0, end = 0; line < text.size(); line = end + 1) {
    end = std::min(text.find('\n', line), text.size());
    const int count = end - line >= 4 && text[line] == 'S' ? byteAt(line + 2) : -1;
    const size_t checksumAt = line + 2 + 2 * static_cast<size_t>(count);
    if (count <= 0 || checksumAt + 2 > end) continue;
    size_t at = line + 4;
    unsigned sum = static_cast<unsigned>(count);
    for (; at < checksumAt && byteAt(at) >= 0; at += 2) sum += static_cast<unsigned>(byteAt(at));
    if (at < checksumAt) continue;
    const unsigned checksum = 0xFFu - (sum & 0xFFu);
    text[at] = "0123456789ABCDEF"[checksum >> 4];
    text[at + 1] = "0123456789ABCDEF"[checksum & 0xFu];
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string repaired = WithRightChecksums(input);
  // The pad bytes only lower the packet limit: a file refused without them
  // is refused with them.
  if (CheckAndTransfer(input, false)) CheckAndTransfer(input, true);
  if (repaired != input && CheckAndTransfer(repaired, false)) CheckAndTransfer(repaired, true);
  return 0;
}
