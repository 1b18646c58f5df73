#include "srecord/srecord_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace {


// Where the data of an S2 record begin: after its 3-byte address.
constexpr int kS2DataOffset = kAddressOffset + 6;

// Longest body StartPacket copies: it reads the line up to offset
// kAddressOffset + 2 * kMaxStartBody - 1 and writes the packet up to
// offset kPacketBodyAt + kMaxStartBody - 1, both inside kBufferSize.
constexpr int kMaxStartBody = (kBufferSize - 1 - kAddressOffset) / 2;
// Most data bytes AppendRecord can take from a line without reading past it.
constexpr int kMaxAppendFromLine = (kBufferSize - 1 - kS2DataOffset) / 2;

constexpr std::array<signed char, 256> MakeHexDigits() {
  std::array<signed char, 256> digits{};
  for (int c = 0; c < 256; ++c) {
    signed char value = -1;
    if (c >= '0' && c <= '9') value = static_cast<signed char>(c - '0');
    if (c >= 'A' && c <= 'F') value = static_cast<signed char>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') value = static_cast<signed char>(c - 'a' + 10);
    digits[static_cast<std::size_t>(c)] = value;
  }
  return digits;
}
constexpr std::array<signed char, 256> kHexDigits = MakeHexDigits();

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

std::string Hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// A character as the messages show it: "G", or 0x07 when it does not print.
std::string Shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte <= 0x7E) return std::string("\"") + c + "\"";
  return "0x" + Hex2(byte);
}

std::string NotHexAt(const char* line, int offset) {
  return "character " + Shown(line[offset]) + " at column " + std::to_string(offset + 1) +
         " is not a hex digit";
}

// The fields after the count: address, data, the checksum digits and what
// follows them. `count` fits the line.
std::string FieldProblem(const char* line, int length, int count) {
  const int recordEnd = kAddressOffset + 2 * count;
  // The checksum: one's complement of the low byte of the sum of count,
  // address and data.
  unsigned sum = static_cast<unsigned>(count);
  for (int i = kAddressOffset; i < recordEnd; i += 2) {
    if (HexDigit(line[i]) < 0) return NotHexAt(line, i);
    if (HexDigit(line[i + 1]) < 0) return NotHexAt(line, i + 1);
    if (i < recordEnd - 2) sum += static_cast<unsigned>(HexValue(line + i, 2));
  }
  for (int i = recordEnd; i < length; ++i) {
    if (line[i] != ' ' && line[i] != '\t') {
      return "unexpected " + Shown(line[i]) + " at column " + std::to_string(i + 1) +
             " after the checksum";
    }
  }
  const int expected = static_cast<int>(0xFFu - (sum & 0xFFu));
  const int carried = HexValue(line + recordEnd - 2, 2);
  if (carried != expected) {
    return "record checksum is " + Hex2(carried) + ", expected " + Hex2(expected);
  }
  return {};
}

}  // namespace

int HexDigit(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }

int32_t HexValue(const char* text, int digits) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    value = value * 16u + static_cast<uint32_t>(HexDigit(text[i]) & 0xF);
  }
  return static_cast<int32_t>(value);
}

bool RewindReader(SRecordReader& reader) {
  reader.linePending = false;
  reader.recordsRead = 0;
  reader.bytesRead = 0;
  reader.dataRecords = 0;
  reader.line = LineInfo{};
  if (!reader.file || std::fseek(reader.file.get(), 0, SEEK_SET) != 0) return false;
  std::clearerr(reader.file.get());
  return true;
}

void ReadLine(SRecordReader& reader) {
  LineInfo& out = reader.line;
  out = LineInfo{};
  char* const buffer = reader.lineBuffer;
  std::FILE* const file = reader.file.get();
  // A clean buffer: after the read, the only line feed in it is the line's
  // own, and the text of a last line ends where the zeros begin.
  std::memset(buffer, 0, kBufferSize);
  // fgets takes the line in one go through the stream's buffer (bytes one
  // at a time would cost most of the check's time).
  if (file == nullptr || std::fgets(buffer, kBufferSize, file) == nullptr) {
    out.endOfFile = true;
    return;
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
      return;
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
}

std::string RecordProblem(const char* line, const LineInfo& info) {
  const int length = info.length;
  if (info.tooLong) return "line is longer than " + std::to_string(kMaxLineText) + " characters";
  if (info.zeroByte) return "line holds a zero byte";
  if (length == 0) return "empty line where a record should be";
  if (line[0] != 'S') return "line does not begin with \"S\"";
  if (length < 2) return "record type is missing";
  const char type = line[kTypeOffset];
  if (type < '0' || type > '9') return "record type " + Shown(type) + " is not 0 to 9";
  // The instrument refuses the reserved type, and only once part of the
  // image has gone.
  if (type == '4') return "record type S4 is reserved";
  if (length < kAddressOffset) return "record count is missing";
  for (int i = kCountOffset; i < kAddressOffset; ++i) {
    if (HexDigit(line[i]) < 0) return NotHexAt(line, i);
  }
  const int count = RecordCount(line);
  if (kAddressOffset + 2 * count > length) {
    return "count " + Hex2(count) + " claims " + std::to_string(2 * count) +
           " characters after it, the line holds " + std::to_string(length - kAddressOffset);
  }
  const int minimum = MinimumRecordCount(type);
  if (count < minimum) {
    return "count " + Hex2(count) + " is too small for an S" + type + " record (at least " +
           Hex2(minimum) + ")";
  }
  return FieldProblem(line, length, count);
}

int MinimumRecordCount(char type) {
  switch (type) {
    case '0': case '1': case '4': case '5': case '9': return 3;
    case '2': case '6': case '8': return 4;
    case '3': case '7': return 5;
    default: return 1;
  }
}

int32_t RecordCount(const char* line) { return HexValue(line + kCountOffset, 2); }

int32_t RecordAddress(const char* line) { return HexValue(line + kAddressOffset, 6); }

void StartPacket(const char* line, unsigned char* packet) {
  const int32_t count = RecordCount(line);
  packet[kPacketMarkerAt] = kPacketMarker;
  packet[kPacketTypeAt] = static_cast<unsigned char>(HexValue(line + kTypeOffset, 1));
  packet[kPacketLengthAt] = static_cast<unsigned char>(count);
  const int body = std::clamp(count - 1, 0, kMaxStartBody);
  for (int i = 0; i < body; ++i) {
    packet[kPacketBodyAt + i] =
        static_cast<unsigned char>(HexValue(line + kAddressOffset + 2 * i, 2));
  }
}

void AppendRecord(const char* line, unsigned char* packet) {
  const int32_t dataBytes = RecordCount(line) - 4;
  const int length = PacketLength(packet);
  packet[kPacketLengthAt] = static_cast<unsigned char>(length + dataBytes);
  // The data go right after the body, where the checksum will follow; the
  // last one may sit no further than the byte before the checksum's slot.
  const int room = kBufferSize - kPacketHeaderBytes - length;
  const int stored = std::min({dataBytes, room, kMaxAppendFromLine});
  for (int i = 0; i < stored; ++i) {
    packet[PacketChecksumAt(length) + i] =
        static_cast<unsigned char>(HexValue(line + kS2DataOffset + 2 * i, 2));
  }
}

void StoreChecksum(unsigned char* packet) {
  const int length = std::min(PacketLength(packet), kBufferSize - kPacketHeaderBytes);
  unsigned sum = 0;
  for (int i = kPacketLengthAt; i < PacketChecksumAt(length); ++i) sum += packet[i];
  packet[PacketChecksumAt(length)] = static_cast<unsigned char>(0xFFu - (sum & 0xFFu));
}

int PacketLengthLimit(bool padded) {
  // The packet and, with the pad, its pad bytes must fit kBufferSize.
  return kBufferSize - kPacketHeaderBytes - (padded ? kPadBytes : 0);
}

AssembleStatus AssemblePacket(SRecordReader& reader, unsigned char* packet) {
  const char* const line = reader.lineBuffer;
  const int lengthLimit = PacketLengthLimit(reader.padded);
  int taken = 0;     // records in the packet so far
  int32_t next = 0;  // the address an S2 record must carry to continue the run
  do {
    if (reader.linePending) {
      // The held line passed every check below when it was read.
      reader.linePending = false;
    } else {
      ReadLine(reader);
      if (reader.line.endOfFile) return AssembleStatus::kEndOfFile;
      reader.recordsRead = AddSaturated(reader.recordsRead, 1);
      reader.bytesRead = AddSaturated(reader.bytesRead, reader.line.consumed);
      if (!RecordProblem(line, reader.line).empty()) return AssembleStatus::kBadRecord;
      if (line[kTypeOffset] >= '1' && line[kTypeOffset] <= '3') {
        reader.dataRecords = AddSaturated(reader.dataRecords, 1);
      }
    }

    const bool mergeable = line[kTypeOffset] == '2';
    // At least 4 for an S2 record (checked above), so the advance is >= 0.
    const int32_t dataBytes = RecordCount(line) - 4;
    // The instrument places a packet's data from its address on, byte after
    // byte: a record may follow on only from one that fills whole words.
    const bool wholeWords = dataBytes % 4 == 0;
    if (taken == 0) {
      StartPacket(line, packet);
      taken = 1;
      if (mergeable && wholeWords) {
        next = RecordAddress(line) + dataBytes / 4;
      } else {
        taken = reader.recordsPerPacket;  // this record alone
      }
    } else if (mergeable && RecordAddress(line) == next) {
      if (PacketLength(packet) + dataBytes > lengthLimit) return AssembleStatus::kPacketTooLong;
      next += dataBytes / 4;
      AppendRecord(line, packet);
      ++taken;
      if (!wholeWords) taken = reader.recordsPerPacket;  // the run ends with this record
    } else {
      reader.linePending = true;  // this line opens the next packet
      taken = reader.recordsPerPacket;
    }
  } while (taken != reader.recordsPerPacket);

  StoreChecksum(packet);
  return AssembleStatus::kPacket;
}
