// SHA-256 (FIPS 180-4) of a byte stream, fed in pieces of any size: the
// firmware file's digest, by which the transfer tells whether the file
// changed since the check and the flash record names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // The digest as 64 lower-case hex digits. Ends the stream: call once.
  std::string HexDigest();

 private:
  void Block(const unsigned char* block);

  uint32_t state[8];
  unsigned char pending[64] = {};
  size_t pendingSize = 0;
  uint64_t totalBytes = 0;
};
