#include "srecord/srecord_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

constexpr unsigned char kPacketMarker = 0x7F;

// Offsets of the record fields in a line.
constexpr int kTypeOffset = 1;
constexpr int kCountOffset = 2;
constexpr int kAddressOffset = 4;
constexpr int kS2DataOffset = 10;

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
  int stored = 0;
  if (file != nullptr) {
    for (;;) {
      int c = std::getc(file);
      if (c == EOF) break;
      out.consumed = AddSaturated(out.consumed, 1);
      if (c == '\r') {
        // The file is read in binary mode: a CR LF pair ends the line like
        // a lone LF, and a CR elsewhere stays part of the text.
        const int after = std::getc(file);
        if (after == '\n') {
          out.consumed = AddSaturated(out.consumed, 1);
          c = '\n';
        } else if (after != EOF) {
          std::ungetc(after, file);
        }
      }
      if (c == '\n') break;
      if (c == 0) out.zeroByte = true;
      if (stored < kMaxLineText) {
        buffer[stored++] = static_cast<char>(c);
      } else {
        out.tooLong = true;  // keep consuming: the next read starts on the next line
      }
    }
  }
  out.length = stored;
  if (out.consumed == 0) {
    out.endOfFile = true;
    buffer[0] = '\0';
    return 0;
  }
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
