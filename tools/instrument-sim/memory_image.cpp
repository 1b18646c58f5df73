#include "memory_image.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes the hex pairs after "Sn" into bytes; false on a non-hex character
// or an odd number of digits.
bool DecodeHexPairs(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::string TrimLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// Checks one record line and, for S2, stores its data. Returns the problem in
// words, or an empty string.
std::string TakeRecord(const std::string& line, MemoryImage& image) {
  if (line.size() < 4 || line[0] != 'S') return "not an S-record";
  if (line[1] < '0' || line[1] > '9') return "bad record type";
  std::vector<uint8_t> bytes;  // count, address, data, checksum
  if (!DecodeHexPairs(line.substr(2), bytes)) return "bad hex digits";
  if (bytes.size() < 2 || bytes[0] + 1u != bytes.size()) return "count does not match the line";
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  if (static_cast<uint8_t>(0xFFu - (sum & 0xFFu)) != bytes.back()) return "bad checksum";
  if (line[1] != '2') return {};
  if (bytes.size() < 5) return "S2 record too short";
  const uint32_t word = (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  image.Store(word * 4u, std::vector<uint8_t>(bytes.begin() + 4, bytes.end() - 1));
  return {};
}

uint8_t RecordChecksum(const std::vector<uint8_t>& countAddressData) {
  unsigned sum = 0;
  for (uint8_t b : countAddressData) sum += b;
  return static_cast<uint8_t>(0xFFu - (sum & 0xFFu));
}

std::string FormatRecord(char type, const std::vector<uint8_t>& addressData) {
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>(addressData.size() + 1));
  bytes.insert(bytes.end(), addressData.begin(), addressData.end());
  bytes.push_back(RecordChecksum(bytes));
  std::string text = std::string("S") + type;
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    text += hex;
  }
  return text + "\n";
}

std::string FormatS2(uint32_t byteAddress, const std::vector<uint8_t>& data) {
  const uint32_t word = byteAddress / 4u;
  std::vector<uint8_t> addressData = {static_cast<uint8_t>(word >> 16),
                                      static_cast<uint8_t>(word >> 8),
                                      static_cast<uint8_t>(word)};
  addressData.insert(addressData.end(), data.begin(), data.end());
  return FormatRecord('2', addressData);
}

// Every run of the image starts at a word boundary, since the data of every
// packet does; records of 16 bytes keep each following record on one too.
std::string ImageAsSRecords(const MemoryImage& image) {
  const std::string header = "talvorn-sim image";
  std::vector<uint8_t> headerRecord = {0, 0};
  headerRecord.insert(headerRecord.end(), header.begin(), header.end());
  std::string text = FormatRecord('0', headerRecord);
  std::vector<uint8_t> data;
  uint32_t start = 0;
  for (const auto& [address, value] : image.Bytes()) {
    if (!data.empty() && (address != start + data.size() || data.size() == 16)) {
      text += FormatS2(start, data);
      data.clear();
    }
    if (data.empty()) start = address;
    data.push_back(value);
  }
  if (!data.empty()) text += FormatS2(start, data);
  return text + FormatRecord('8', std::vector<uint8_t>(3, 0));
}

std::string ImageAsBinary(const MemoryImage& image) {
  if (image.Empty()) return {};
  const uint32_t lowest = image.Bytes().begin()->first;
  const uint32_t highest = image.Bytes().rbegin()->first;
  std::string raw(size_t{highest} - lowest + 1, '\xFF');
  for (const auto& [address, value] : image.Bytes()) raw[address - lowest] = static_cast<char>(value);
  return raw;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ByteText(const std::map<uint32_t, uint8_t>& bytes, uint32_t address) {
  const auto it = bytes.find(address);
  if (it == bytes.end()) return "nothing";
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", it->second);
  return text;
}

}  // namespace

void MemoryImage::Store(uint32_t byteAddress, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); ++i) bytes_[byteAddress + static_cast<uint32_t>(i)] = data[i];
}

bool ReadReferenceImage(const std::string& path, MemoryImage& image, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = TrimLineEnd(line);
    if (line.empty()) continue;
    const std::string problem = TakeRecord(line, image);
    if (!problem.empty()) {
      error = path + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  return true;
}

bool WriteImageFile(const std::string& path, const MemoryImage& image, std::string& error) {
  const std::string content = EndsWith(path, ".bin") ? ImageAsBinary(image) : ImageAsSRecords(image);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    error = path + ": cannot write";
    return false;
  }
  return true;
}

ImageComparison CompareImages(const MemoryImage& expected, const MemoryImage& received) {
  ImageComparison result;
  result.bytes = expected.Size();
  const auto& want = expected.Bytes();
  const auto& got = received.Bytes();
  auto w = want.begin();
  auto g = got.begin();
  while (w != want.end() && g != got.end() && w->first == g->first && w->second == g->second) {
    ++w;
    ++g;
  }
  if (w == want.end() && g == got.end()) {
    result.match = !want.empty();
    if (want.empty()) result.difference = "the reference holds no S2 data";
    else {
      result.lowest = want.begin()->first;
      result.highest = want.rbegin()->first;
    }
    return result;
  }
  uint32_t address = 0;
  if (w == want.end()) address = g->first;
  else if (g == got.end()) address = w->first;
  else address = w->first < g->first ? w->first : g->first;
  char where[16];
  std::snprintf(where, sizeof where, "0x%06X", address);
  result.difference = std::string("byte at ") + where + ": expected " + ByteText(want, address) +
                      ", received " + ByteText(got, address);
  return result;
}
