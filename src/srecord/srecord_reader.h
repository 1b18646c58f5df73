// Reading the S-record file and turning its records into FlashPacket frames.
//
// A FlashPacket: 0x7F, record type, length (body bytes + 1), body (address and
// data), checksum (0xFF minus the low byte of the sum of length and body).
// Up to recordsPerPacket contiguous S2 records are merged under one address;
// an S2 address counts 4-byte words, so a record of n data bytes moves the
// run on by n / 4. Only a record of whole words (n a multiple of 4) can be
// followed on: the instrument stores a packet's data byte after byte, so a
// record after one of 6 bytes would land 2 bytes off. Such a record ends the
// run it is in.
//
// Every line is checked as it is read (see RecordProblem): the whole-file
// check and the transfer assemble packets alike, so no record reaches the
// wire that is not sound, whatever happened to the file between the two.
// Nothing here allocates, and no function reads or writes outside lineBuffer
// or a packet buffer (kBufferSize bytes each), whatever the file holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "srecord/flash_packet.h"
#include "srecord/input_file.h"

// Size of the line buffer and of each packet buffer: 160 characters (or
// packet bytes) and a spare byte for the terminating zero of the line.
constexpr int kBufferSize = 161;
// Longest line text before its line feed that the line buffer can hold.
constexpr int kMaxLineText = kBufferSize - 2;  // 159
// The pad of the "-p" option: three 0xFF bytes after a data packet.
constexpr int kPadBytes = 3;
constexpr unsigned char kPadByte = 0xFF;

// Offsets of the record fields in a line: "S", type digit, two count
// digits, then the address.
constexpr int kTypeOffset = 1;
constexpr int kCountOffset = 2;
constexpr int kAddressOffset = 4;

// Value of one hex digit of either case; -1 for any other character.
int HexDigit(char c);
// Value of `digits` hex digits from `text` on (0 when digits <= 0). Only for
// checked records: a character that is no hex digit counts as 0xF.
int32_t HexValue(const char* text, int digits);

// What ReadLine found, beyond the text it stored.
struct LineInfo {
  int32_t consumed = 0;    // file bytes consumed, carriage returns included
  int length = 0;          // characters stored before the line feed
  bool tooLong = false;    // more than kMaxLineText characters: stored cut, no line feed
  bool zeroByte = false;   // the line holds a 0x00 byte (stored; strlen stops early)
  bool endOfFile = false;  // nothing left to read: the buffer holds an empty text
};

// The reader's record: the file, its line buffer with the line read ahead,
// and the counters, for the check and the transfer alike.
struct SRecordReader {
  FileHandle file;                    // the firmware file, open in binary mode
  LineInfo line;                      // what ReadLine found about the line in lineBuffer
  bool linePending = false;           // lineBuffer holds a record read but not yet used
  int32_t recordsRead = 0;            // lines read from the file
  int32_t bytesRead = 0;              // file bytes consumed, for the percentage
  int32_t dataRecords = 0;            // S1, S2 and S3 records read
  int16_t recordsPerPacket = 4;
  bool padded = false;                // packets are sent with the pad: they leave room for it
  char lineBuffer[kBufferSize] = {};  // the last line read, with its line feed; last, so that
                                      // a write past it leaves the record
};

// Puts the reader back to the start of its file, with nothing read. False
// when the file cannot be positioned.
bool RewindReader(SRecordReader& reader);

// Reads the next line of the file into reader.lineBuffer: its text, a line
// feed and a terminating zero, and sets reader.line. The file is read in
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
//    consumed up to and including its line feed (the file is regular, so
//    this ends), so that the next read starts on the next line.
void ReadLine(SRecordReader& reader);

// Why a line is no sound record, in plain words; empty when it is one. A
// sound record: at most kMaxLineText characters and no zero byte, "S", a type
// "0"-"9" but the reserved "4", hex digits of either case in count, address, data and checksum, a
// count that fits the line and covers the type's address and checksum
// (MinimumRecordCount), only blanks after the checksum, the right checksum.
std::string RecordProblem(const char* line, const LineInfo& info);

// Fewest count a record of this type must carry: its address bytes and the
// checksum byte. 2-byte address: S0 S1 S5 S9 and the reserved S4; 3 bytes:
// S2 S8 and S6 (a 24-bit record count); 4 bytes: S3 S7. Any other type: 1.
int MinimumRecordCount(char type);

// HexValue of the 2 count characters at offset 2.
int32_t RecordCount(const char* line);
// HexValue of the 6 address characters at offset 4; for S2 records only.
int32_t RecordAddress(const char* line);

// Fills marker, type, length and body of `packet` from one record line.
// Bounded for any line: never reads past kBufferSize characters of the line
// nor writes past the packet buffer.
void StartPacket(const char* line, unsigned char* packet);
// Appends the data bytes of one S2 record to `packet` and raises its length
// (modulo 256). Bounded like StartPacket.
void AppendRecord(const char* line, unsigned char* packet);
// Stores the checksum behind the body (sum over at most the buffer).
void StoreChecksum(unsigned char* packet);

// Longest packet length byte that fits the packet buffers: 158, or 155 when
// the pad bytes follow the packet.
int PacketLengthLimit(bool padded);

// Why a packet assembly ended.
enum class AssembleStatus {
  kPacket,         // a complete FlashPacket
  kEndOfFile,      // the file ended (or could not be read) before a record
  kBadRecord,      // the line read is no sound record (RecordProblem says why)
  kPacketTooLong,  // merging the S2 record read would pass PacketLengthLimit
};

// The packet assembly: takes the held line or reads new ones, merges
// contiguous S2 records (at most recordsPerPacket; the look-ahead line that
// ends a run is held with linePending set), keeps recordsRead and bytesRead,
// and stores the checksum. On any result but kPacket the packet holds what
// was built so far, without a checksum, and the offending line stays in
// lineBuffer.
AssembleStatus AssemblePacket(SRecordReader& reader, unsigned char* packet);

