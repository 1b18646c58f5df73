// The instrument's flash memory as written by S2 data, and the S-record files
// it is compared with or saved to.
//
// S2 addresses count 4-byte words: the data of a record at address A starts
// at byte address A * 4. Both the packets and the reference file are read
// that way, so the image holds byte addresses.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class MemoryImage {
 public:
  void Store(uint32_t byteAddress, const std::vector<uint8_t>& data);
  void Clear() { bytes_.clear(); }
  bool Empty() const { return bytes_.empty(); }
  size_t Size() const { return bytes_.size(); }
  const std::map<uint32_t, uint8_t>& Bytes() const { return bytes_; }

 private:
  std::map<uint32_t, uint8_t> bytes_;
};

// Reads the S2 data of a Motorola S-record file into `image`. Every record is
// checked (hex digits, count against the line, checksum); other record types
// are checked and skipped. On failure returns false with `error` naming the
// file and the line.
bool ReadReferenceImage(const std::string& path, MemoryImage& image, std::string& error);

// Writes `image` to `path`: raw bytes from the lowest address with gaps filled
// with 0xFF when the name ends in ".bin", otherwise an S-record file of word-
// addressed S2 records (16 data bytes each) between an S0 header and an S8.
bool WriteImageFile(const std::string& path, const MemoryImage& image, std::string& error);

struct ImageComparison {
  bool match = false;
  size_t bytes = 0;        // bytes expected (on a match: bytes compared)
  uint32_t lowest = 0;     // lowest and highest byte address, on a match
  uint32_t highest = 0;
  std::string difference;  // first difference in words, on a mismatch
};

// Compares byte for byte: both images must hold the same addresses with the
// same values.
ImageComparison CompareImages(const MemoryImage& expected, const MemoryImage& received);
