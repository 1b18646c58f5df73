// The whole-file check against the transfer's packet assembly. The input is
// the file, tried as it is and again with its record checksums put right.
// For every file the check passes, without and with pad bytes: the transfer
// assembles it within the buffers (the bytes behind the reader's line buffer
// are poisoned and the packets sit in heap buffers of exactly kBufferSize
// bytes, so ASan reports any overrun), never counts more bytes than the file holds,
// and sends exactly the packets the check assembled.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// The only call into the check: its verdict, and the packets it assembled.
bool CheckFile(const std::string& path, bool padRecords, Packets& packets) {
  SRecordReader reader;
  reader.file.reset(std::fopen(path.c_str(), "rb"));
  reader.padded = padRecords;
  return ValidateFile(reader, [&](const unsigned char* p) { Keep(packets, p); }).ok;
}

// The transfer's assembly as the driver runs it: the first packet, then one
// look-ahead packet after each one sent, until a terminator comes next.
Packets Transfer(const std::string& path, bool padRecords, long fileSize) {
  auto reader = std::make_unique<SRecordReader>();
  reader->file.reset(std::fopen(path.c_str(), "rb"));
  reader->padded = padRecords;
  char* const behindLine = reader->lineBuffer + kBufferSize;
  const auto behindSize = static_cast<size_t>(reinterpret_cast<char*>(reader.get() + 1) - behindLine);
  ASAN_POISON_MEMORY_REGION(behindLine, behindSize);
  std::vector<unsigned char> current(kBufferSize), next(kBufferSize);
  Packets sent;
  Require(AssemblePacket(*reader, current.data()) == AssembleStatus::kPacket,
          "a checked file gives a first packet");
  for (;;) {
    Require(!padRecords || PacketWireSize(current.data()) + kPadBytes <= kBufferSize,
            "a packet and its pad bytes fit the buffer");
    Keep(sent, current.data());
    Require(AssemblePacket(*reader, next.data()) == AssembleStatus::kPacket,
            "a checked file assembles to its terminator");
    Require(reader->bytesRead >= 0 && reader->bytesRead <= fileSize, "bytesRead within the file size");
    current = next;
    if (IsTerminator(current.data())) break;
  }
  Keep(sent, current.data());
  ASAN_UNPOISON_MEMORY_REGION(behindLine, behindSize);
  return sent;
}

// The input with the checksum digits of every line that looks like a record
// put right, so that most mutated files pass the check and reach the transfer.
std::string WithRightChecksums(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const auto digitAt = [&text](size_t at) {  // -256 for no hex digit
    const char* const hex = "0123456789abcdef";
    const int c = std::tolower(static_cast<unsigned char>(text[at]));
    const char* const found = c != 0 ? std::strchr(hex, c) : nullptr;
    return found != nullptr ? static_cast<int>(found - hex) : -256;
  };
  const auto byteAt = [&](size_t at) { return std::max(digitAt(at) * 16 + digitAt(at + 1), -1); };
  for (size_t line = 0; line < text.size();) {
    const size_t end = std::min(text.find('\n', line), text.size());
    const int count = end - line >= 4 && text[line] == 'S' ? byteAt(line + 2) : -1;
    const size_t checksumAt = line + 2 + 2 * static_cast<size_t>(count);
    if (count > 0 && checksumAt + 2 <= end) {
      unsigned sum = static_cast<unsigned>(count);
      size_t at = line + 4;
      for (; at < checksumAt && byteAt(at) >= 0; at += 2) sum += static_cast<unsigned>(byteAt(at));
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", 0xFFu - (sum & 0xFFu));
      if (at == checksumAt) text.replace(at, 2, digits);
    }
    line = end + 1;
  }
  return text;
}

// A file that passes counts as new coverage for each number of packets it
// makes (libFuzzer reads this section as extra counters), so that passing
// files are kept and grown rather than lost among the refused ones.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_packetsPassed[2][64];

// The file lives in memory; the check and the transfer open it by name.
int TheFile() {
  static const int fd = memfd_create("talvorn-fuzz", 0);
  Require(fd >= 0, "a memory file can be made");
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = TheFile();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string repaired = WithRightChecksums(data, size);
  for (const std::string* file : {&input, &repaired}) {
    if (file == &repaired && repaired == input) break;
    Require(ftruncate(fd, 0) == 0 &&
                pwrite(fd, file->data(), file->size(), 0) == static_cast<ssize_t>(file->size()),
            "the memory file takes the input");
    // The pad bytes only lower the packet limit: a file refused without them
    // is refused with them.
    for (const bool padRecords : {false, true}) {
      Packets checked;
      if (!CheckFile(path, padRecords, checked)) break;
      ++g_packetsPassed[padRecords][std::min<size_t>(checked.size(), 63)];
      Require(Transfer(path, padRecords, static_cast<long>(file->size())) == checked,
              "the transfer sends the packets the check assembled");
    }
  }
  return 0;
}
