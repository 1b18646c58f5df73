#include "srecord/srecord_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned char kPacketMarker = 0x7F;

// Where the data of an S2 record begin: after its 3-byte address.
constexpr int kS2DataOffset = kAddressOffset + 6;

// Longest body StartPacket copies: it reads the line up to offset
// kAddressOffset + 2 * kMaxStartBody - 1 and writes the packet up to
// offset 2 + kMaxStartBody, both inside kBufferSize.
constexpr int kMaxStartBody = (kBufferSize - 1 - kAddressOffset) / 2;
// Most data bytes AppendRecord can take from a line without reading past it.
constexpr int kMaxAppendFromLine = (kBufferSize - 1 - kS2DataOffset) / 2;

// The counters are signed 32-bit; a file of more than 2 GiB must not make
// them overflow, so they stop at the largest value.
int32_t AddSaturated(int32_t value, int32_t add) {
  return value > INT32_MAX - add ? INT32_MAX : value + add;
}

// Consumes the rest of an over-long line, up to and including its line
// feed, so that the next read starts on the next line; returns `consumed`
// raised by the bytes skipped.
int32_t SkipRestOfLine(std::FILE* file, int32_t consumed) {
  for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
    consumed = AddSaturated(consumed, 1);
    if (c == '\n') break;
  }
  return consumed;
}

// Count, address, data and checksum characters lie within the line, and the
// count covers the record's address and checksum.
bool CountFitsLine(const char* line, int length) {
  if (length < kAddressOffset) return false;
  const int32_t count = RecordCount(line);
  if (count < MinimumRecordCount(line[kTypeOffset])) return false;
  return kAddressOffset + 2 * count <= length;
}

}  // namespace

int32_t HexValue(const char* text, int digits) {
  // Unsigned arithmetic: odd characters may push the value anywhere, and
  // wrapping is then the defined outcome.
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    const int c = static_cast<signed char>(text[i]);
    int digit;
    if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c <= '9') {
      digit = c - '0';
    } else {
      digit = c - 'A' + 10;
    }
    value = value * 16u + static_cast<uint32_t>(digit);
  }
  return static_cast<int32_t>(value);
}

int32_t ReadLine(FlashState& state, char* buffer, LineInfo* info) {
  LineInfo local;
  LineInfo& out = info != nullptr ? *info : local;
  out = LineInfo{};
  std::FILE* const file = state.inputFile;
  // A clean buffer: after the read, the only line feed in it is the line's
  // own, and the text of a last line ends where the zeros begin.
  std::memset(buffer, 0, kBufferSize);
  // fgets takes the line in one go through the stream's buffer (bytes one
  // at a time would cost most of the validation time).
  if (file == nullptr || std::fgets(buffer, kBufferSize, file) == nullptr) {
    out.endOfFile = true;
    return 0;
  }

  constexpr int kMostRead = kBufferSize - 1;  // what one fgets stores at most
  int stored = 0;                             // characters before the line end
  bool lineFeed = false;
  if (const void* at = std::memchr(buffer, '\n', kMostRead)) {
    stored = static_cast<int>(static_cast<const char*>(at) - buffer);
    out.consumed = stored + 1;
    lineFeed = true;
  } else if (std::feof(file) || std::ferror(file)) {
    stored = kMostRead;  // the last line, without a line feed
    while (stored > 0 && buffer[stored - 1] == '\0') --stored;
    out.consumed = stored;
    if (stored == 0) {  // zero bytes alone after the last line: padding, no line
      out.endOfFile = true;
      return 0;
    }
  } else {
    // The buffer is full and the line goes on; it still fits when all that
    // follows is the line feed of a CR LF pair.
    stored = kMostRead;
    out.consumed = kMostRead;
    const int after = std::getc(file);
    if (after == '\n') {
      out.consumed += 1;
      lineFeed = true;
    } else if (after != EOF) {
      std::ungetc(after, file);
    }
  }
  // The file is read in binary mode: a CR LF pair ends the line like a lone
  // LF, and a CR elsewhere stays part of the text.
  if (lineFeed && stored > 0 && buffer[stored - 1] == '\r') --stored;
  if (stored > kMaxLineText) {
    out.tooLong = true;
    stored = kMaxLineText;
    if (!lineFeed) out.consumed = SkipRestOfLine(file, out.consumed);
  }
  out.zeroByte = std::memchr(buffer, '\0', static_cast<std::size_t>(stored)) != nullptr;
  out.length = stored;
  if (!out.tooLong) buffer[stored++] = '\n';
  buffer[stored] = '\0';
  return out.consumed;
}

int32_t RecordCount(const char* line) { return HexValue(line + kCountOffset, 2); }

int32_t RecordAddress(const char* line) { return HexValue(line + kAddressOffset, 6); }

void StartPacket(const char* line, unsigned char* packet) {
  const int32_t count = RecordCount(line);
  packet[0] = kPacketMarker;
  packet[1] = static_cast<unsigned char>(HexValue(line + kTypeOffset, 1));
  packet[2] = static_cast<unsigned char>(count);
  const int body = std::clamp(count - 1, 0, kMaxStartBody);
  for (int i = 0; i < body; ++i) {
    packet[3 + i] = static_cast<unsigned char>(HexValue(line + kAddressOffset + 2 * i, 2));
  }
}

void AppendRecord(const char* line, unsigned char* packet) {
  const int32_t dataBytes = RecordCount(line) - 4;
  const int length = packet[2];
  packet[2] = static_cast<unsigned char>(length + dataBytes);
  // The data go right after the body, where the checksum will follow; the
  // last one may sit no further than the byte before the checksum's slot.
  const int room = kBufferSize - 3 - length;
  const int stored = std::min({dataBytes, room, kMaxAppendFromLine});
  for (int i = 0; i < stored; ++i) {
    packet[length + 2 + i] = static_cast<unsigned char>(HexValue(line + kS2DataOffset + 2 * i, 2));
  }
}

void StoreChecksum(unsigned char* packet) {
  const int length = std::min(static_cast<int>(packet[2]), kBufferSize - 3);
  unsigned sum = 0;
  for (int i = 2; i < length + 2; ++i) sum += packet[i];
  packet[length + 2] = static_cast<unsigned char>(0xFFu - (sum & 0xFFu));
}

int MinimumRecordCount(char type) {
  switch (type) {
    case '0': case '1': case '4': case '5': case '9': return 3;
    case '2': case '6': case '8': return 4;
    case '3': case '7': return 5;
    default: return 1;
  }
}

int PacketLengthLimit(bool padRecords) {
  // The packet and, with -p, its three pad bytes must fit kBufferSize.
  return padRecords ? kBufferSize - 6 : kBufferSize - 3;
}

AssembleStatus AssembleNextPacket(FlashState& state, unsigned char* packet,
                                  LineInspector* inspector) {
  char* const line = state.lineBuffer;
  const int lengthLimit = PacketLengthLimit(state.padRecords);
  int taken = 0;     // records in the packet so far
  int32_t next = 0;  // the address an S2 record must carry to continue the run
  do {
    if (state.linePending) {
      // The held line passed every check below when it was read.
      state.linePending = false;
    } else {
      LineInfo info;
      ReadLine(state, line, &info);
      if (info.endOfFile) return AssembleStatus::kEndOfFile;
      state.recordsRead = AddSaturated(state.recordsRead, 1);
      state.bytesRead = AddSaturated(state.bytesRead, info.consumed);
      if (inspector != nullptr && !inspector->Inspect(state, info)) {
        return AssembleStatus::kRejected;
      }
      if (line[0] != 'S') return AssembleStatus::kNotRecord;
      if (info.tooLong || info.zeroByte) return AssembleStatus::kLineTooLong;
      if (!CountFitsLine(line, info.length)) return AssembleStatus::kBadCount;
    }

    const bool mergeable = line[kTypeOffset] == '2';
    // At least 4 for an S2 record (checked above), so the advance is >= 0.
    const int32_t dataBytes = RecordCount(line) - 4;
    if (taken == 0) {
      StartPacket(line, packet);
      taken = 1;
      if (mergeable) {
        next = RecordAddress(line) + (dataBytes >> 2);
      } else {
        taken = state.recordsPerPacket;  // this record alone
      }
    } else if (mergeable && RecordAddress(line) == next) {
      if (packet[2] + dataBytes > lengthLimit) return AssembleStatus::kPacketTooLong;
      next += dataBytes >> 2;
      AppendRecord(line, packet);
      ++taken;
    } else {
      state.linePending = true;  // this line opens the next packet
      taken = state.recordsPerPacket;
    }
  } while (taken != state.recordsPerPacket);

  StoreChecksum(packet);
  return AssembleStatus::kPacket;
}

int AssemblePacket(FlashState& state, unsigned char* packet) {
  return AssembleNextPacket(state, packet) == AssembleStatus::kPacket ? 1 : 0;
}
