// Reading the S-record file and turning its records into FlashPacket frames.
//
// A FlashPacket: 0x7F, record type, length (body bytes + 1), body (address and
// data), checksum (0xFF minus the low byte of the sum of length and body).
// Up to recordsPerPacket contiguous S2 records are merged under one address;
// an S2 address counts 4-byte words, so a record of n data bytes moves the
// run on by n >> 2.
//
// Every function works on the FlashState it is given (the driver passes
// g_flash; the validator a local record of its own) and never allocates.
// No function reads or writes outside lineBuffer or a packet buffer
// (kBufferSize bytes each), whatever the file holds.
#pragma once

#include <cstdint>

#include "run/flash_state.h"

// Offsets of the record fields in a line: "S", type digit, two count
// digits, then the address.
constexpr int kTypeOffset = 1;
constexpr int kCountOffset = 2;
constexpr int kAddressOffset = 4;

// Longest line text before its line feed that lineBuffer can hold.
constexpr int kMaxLineText = kBufferSize - 2;  // 159

// Value of `digits` hex characters from `text` on. "0"-"9", "A"-"F" and
// "a"-"f" give their hexadecimal values; any other character adds what the
// digit arithmetic (c - 48 up to "9", else c - 55, c signed) makes of it, so
// nothing is validated here. 0 when digits <= 0.
int32_t HexValue(const char* text, int digits);

// What ReadLine found, beyond the text it stored.
struct LineInfo {
  int32_t consumed = 0;   // file bytes consumed, carriage returns included
  int length = 0;         // characters stored before the line feed
  bool tooLong = false;   // more than kMaxLineText characters: stored cut, no line feed
  bool zeroByte = false;  // the line holds a 0x00 byte (stored; strlen stops early)
  bool endOfFile = false; // nothing left to read: the buffer holds an empty text
};

// Reads the next line of state.inputFile into `buffer` (kBufferSize bytes):
// its text, a line feed and a terminating zero. The stream is opened in
// binary mode; a carriage return right before a line feed is dropped here,
// and `consumed` counts it, so the byte count matches the file on every
// platform. Reads through the stream's own buffering, never past the line.
//  - A last line without a line feed is delivered as a line, with a line feed
//    added in the buffer (it is not counted in `consumed`).
//  - At end of file (or on a read error) with nothing read, the buffer holds
//    an empty text (no line feed): no record. Zero bytes alone after the last
//    line feed count as padding, not as a line.
//  - A line longer than kMaxLineText characters is stored cut to its first
//    kMaxLineText characters without a line feed, and the rest of it is
//    consumed up to and including its line feed, so that the next read
//    starts on the next line.
// Returns the number of file bytes consumed.
int32_t ReadLine(FlashState& state, char* buffer, LineInfo* info = nullptr);

// HexValue of the 2 count characters at offset 2.
int32_t RecordCount(const char* line);
// HexValue of the 6 address characters at offset 4; for S2 records only.
int32_t RecordAddress(const char* line);

// Fills marker, type, length and body of `packet` from one record line.
// Expects a line that AssemblePacket has checked; for any other line it still
// never reads past kBufferSize characters of the line nor writes past the
// packet buffer.
void StartPacket(const char* line, unsigned char* packet);
// Appends the data bytes of one S2 record to `packet` and raises its length
// (modulo 256). Bounded like StartPacket.
void AppendRecord(const char* line, unsigned char* packet);
// Stores the checksum behind the body (sum over at most the buffer).
void StoreChecksum(unsigned char* packet);

// Fewest count a record of this type must carry: its address bytes and the
// checksum byte. 2-byte address: S0 S1 S5 S9 and the reserved S4; 3 bytes:
// S2 S8 and S6 (a 24-bit record count); 4 bytes: S3 S7. Any other type: 1.
int MinimumRecordCount(char type);

// Longest packet length byte that fits the packet buffers: 158, or 155 when
// the three pad bytes follow the packet.
int PacketLengthLimit(bool padRecords);

// Why a packet assembly ended.
enum class AssembleStatus {
  kPacket,          // a complete FlashPacket
  kEndOfFile,       // the file ended (or could not be read) before a record
  kNotRecord,       // the line taken does not begin with "S"
  kLineTooLong,     // longer than kMaxLineText characters, or holds a zero byte
  kBadCount,        // count beyond the line, or too small for the record type
  kPacketTooLong,   // merging this S2 record would pass PacketLengthLimit
  kRejected,        // the LineInspector refused the line
};

// Looks at every line that the assembly reads from the file (not at a held
// line when it is reused), before the line is used. Returning false ends the
// assembly with AssembleStatus::kRejected.
class LineInspector {
 public:
  virtual ~LineInspector() = default;
  virtual bool Inspect(const FlashState& state, const LineInfo& info) = 0;
};

// The packet assembly: takes the held line or reads new ones, merges
// contiguous S2 records (at most state.recordsPerPacket; the look-ahead line
// that ends a run is held in lineBuffer with linePending set), keeps
// recordsRead and bytesRead, and stores the checksum. On any result but
// kPacket the packet holds what was built so far, without a checksum.
AssembleStatus AssembleNextPacket(FlashState& state, unsigned char* packet,
                                  LineInspector* inspector = nullptr);

// Assembles the next packet of state.inputFile into `packet` (kBufferSize
// bytes). Returns 1 when the packet is complete, 0 when the record taken is no
// sound record (or the file ended before one).
int AssemblePacket(FlashState& state, unsigned char* packet);

// Packet field helpers.
inline int PacketType(const unsigned char* packet) { return packet[1]; }
inline int PacketLength(const unsigned char* packet) { return packet[2]; }
inline int PacketWireSize(const unsigned char* packet) { return packet[2] + 3; }
inline bool IsTerminator(const unsigned char* packet) {
  return packet[1] == 5 || packet[1] == 8 || packet[1] == 9;
}
