// Helpers shared by the S-record tests: record lines with their checksum,
// expected frames, and a reader over a scratch file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "run/flash_state.h"
#include "srecord/srecord_reader.h"
#include "support/temp_dir.h"

using Bytes = std::vector<uint8_t>;

inline std::string HexBytes(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

// One S-record line (no line end): type digit, count, `fields` (address and
// data bytes) and the one's complement checksum, or `checksum` when >= 0.
inline std::string Record(char type, const Bytes& fields, int checksum = -1) {
  const int count = static_cast<int>(fields.size()) + 1;
  unsigned sum = static_cast<unsigned>(count);
  for (uint8_t byte : fields) sum += byte;
  const int check = checksum >= 0 ? checksum : static_cast<int>(0xFFu - (sum & 0xFFu));
  return std::string("S") + type + HexBytes({static_cast<uint8_t>(count)}) + HexBytes(fields) +
         HexBytes({static_cast<uint8_t>(check)});
}

// An S2 record at a 24-bit address.
inline std::string S2(uint32_t address, const Bytes& data) {
  Bytes fields = {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address)};
  fields.insert(fields.end(), data.begin(), data.end());
  return Record('2', fields);
}

// n data bytes 1, 2, 3, ...
inline Bytes Counting(int n, uint8_t first = 1) {
  Bytes data;
  for (int i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(first + i));
  return data;
}

// The frame a packet of this type and body must be: marker, type, length,
// body, checksum over length and body.
inline Bytes Frame(uint8_t type, const Bytes& body) {
  const auto length = static_cast<uint8_t>(body.size() + 1);
  Bytes frame = {0x7F, type, length};
  unsigned sum = length;
  for (uint8_t byte : body) {
    frame.push_back(byte);
    sum += byte;
  }
  frame.push_back(static_cast<uint8_t>(0xFFu - (sum & 0xFFu)));
  return frame;
}

inline Bytes PacketBytes(const unsigned char* packet) {
  return Bytes(packet, packet + PacketWireSize(packet));
}

inline std::string JoinLines(const std::vector<std::string>& lines, const std::string& end) {
  std::string text;
  for (const auto& line : lines) text += line + end;
  return text;
}

// A FlashState reading one file, opened in binary mode as the driver does.
class ReaderOnFile {
 public:
  explicit ReaderOnFile(const std::string& path) {
    InitFlashState(state);
    state.inputFile = std::fopen(path.c_str(), "rb");
  }
  ~ReaderOnFile() {
    if (state.inputFile != nullptr) std::fclose(state.inputFile);
  }
  ReaderOnFile(const ReaderOnFile&) = delete;
  ReaderOnFile& operator=(const ReaderOnFile&) = delete;

  bool open() const { return state.inputFile != nullptr; }

  // The driver's order: the first packet as data, then look-ahead packets
  // until one of type 5, 8 or 9 comes. Returns every packet assembled;
  // `complete` tells whether a terminator ended the walk.
  std::vector<Bytes> Walk(bool* complete) {
    std::vector<Bytes> packets;
    *complete = false;
    if (AssemblePacket(state, state.currentPacket) == 0) return packets;
    packets.push_back(PacketBytes(state.currentPacket));
    while (AssemblePacket(state, state.nextPacket) == 1) {
      packets.push_back(PacketBytes(state.nextPacket));
      if (IsTerminator(state.nextPacket)) {
        *complete = true;
        break;
      }
    }
    return packets;
  }

  FlashState state;
};
