// Helpers shared by the S-record tests: record lines, expected frames and a
// reader on one file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "srecord/srecord_reader.h"
#include "support/temp_dir.h"

using Bytes = std::vector<uint8_t>;

inline std::string HexBytes(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) text.append(pair, std::snprintf(pair, sizeof pair, "%02X", byte));
  return text;
}

// Count byte, fields and checksum, alike in a record (count, address, data)
// and a frame (length, body): the checksum is the one's complement of the low
// byte of the sum of the count and the fields.
inline Bytes Counted(const Bytes& fields) {
  Bytes counted = {static_cast<uint8_t>(fields.size() + 1)};
  unsigned sum = counted[0];
  for (uint8_t byte : fields) {
    counted.push_back(byte);
    sum += byte;
  }
  counted.push_back(static_cast<uint8_t>(0xFFu - (sum & 0xFFu)));
  return counted;
}

// An S-record line (no line end) of this type carrying address and data.
inline std::string Record(char type, const Bytes& fields) {
  return std::string("S") + type + HexBytes(Counted(fields));
}

// The frame a packet of this type and body must be.
inline Bytes Frame(uint8_t type, const Bytes& body) {
  Bytes frame = Counted(body);
  frame.insert(frame.begin(), {0x7F, type});
  return frame;
}

// A 24-bit address followed by data: the fields of an S2 record.
inline Bytes At(uint32_t address, Bytes data) {
  data.insert(data.begin(), {static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
  return data;
}
inline std::string S2(uint32_t address, const Bytes& data) {
  return Record('2', At(address, data));
}

// n data bytes: first, first + 1, ...
inline Bytes Counting(int n, int first = 1) {
  Bytes data;
  for (int i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(first + i));
  return data;
}

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// Lines of S2 records of these sizes from word 0, each continuing the run of
// the one before; the data bytes count on from 1 across the records.
inline std::string S2Run(const std::vector<int>& sizes) {
  std::string text;
  uint32_t word = 0;
  int carried = 0;
  for (int n : sizes) {
    text += S2(word, Counting(n, 1 + carried)) + "\n";
    word += static_cast<uint32_t>(n) >> 2;
    carried += n;
  }
  return text;
}

// A reader on one file, opened in binary mode as the loader does.
struct ReaderOnFile : SRecordReader {
  explicit ReaderOnFile(const std::string& path, bool pad = false) {
    file.reset(std::fopen(path.c_str(), "rb"));
    padded = pad;
  }
};

