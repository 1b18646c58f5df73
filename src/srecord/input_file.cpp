#include "srecord/input_file.h"

#include <cstddef>

#include "srecord/sha256.h"

bool HashRestOfFile(std::FILE* file, int64_t mostBytes, const std::function<bool()>& stop,
                    int64_t& size, std::string& digest) {
  Sha256 sha;
  unsigned char chunk[65536];
  size = 0;
  while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file)) {
    sha.Update(chunk, got);
    size += static_cast<int64_t>(got);
    if (size > mostBytes || (stop && stop())) return false;
  }
  if (std::ferror(file) != 0) return false;
  digest = sha.HexDigest();
  return true;
}

bool DigestOfFile(std::FILE* file, std::string& digest) {
  const long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
  int64_t size = 0;
  const bool hashed = HashRestOfFile(file, INT64_MAX, nullptr, size, digest);
  std::clearerr(file);
  return std::fseek(file, here, SEEK_SET) == 0 && hashed;
}

bool TakeFingerprint(std::FILE* file, FileFingerprint& fingerprint) {
  return IdentityOfOpenFile(file, fingerprint.identity) && DigestOfFile(file, fingerprint.digest);
}

bool FileUnchanged(const std::string& name, std::FILE* file, const FileFingerprint& checked) {
  FileIdentity named;
  FileIdentity open;
  std::string digest;
  return IdentityOfPath(name, named) && named == checked.identity &&
         IdentityOfOpenFile(file, open) && open == checked.identity &&
         DigestOfFile(file, digest) && digest == checked.digest;
}
