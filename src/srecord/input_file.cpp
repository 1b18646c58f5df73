#include "srecord/input_file.h"

#include <cstddef>

namespace {

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

}  // namespace

bool DigestOfFile(std::FILE* file, uint64_t& digest) {
  const long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
  uint64_t hash = kFnvOffsetBasis;
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (std::size_t i = 0; i < got; ++i) hash = (hash ^ chunk[i]) * kFnvPrime;
  }
  const bool readError = std::ferror(file) != 0;
  std::clearerr(file);
  if (std::fseek(file, here, SEEK_SET) != 0 || readError) return false;
  digest = hash;
  return true;
}

bool TakeFingerprint(std::FILE* file, FileFingerprint& fingerprint) {
  return IdentityOfOpenFile(file, fingerprint.identity) && DigestOfFile(file, fingerprint.digest);
}

bool FileUnchanged(const std::string& name, std::FILE* file, const FileFingerprint& checked) {
  FileIdentity named;
  FileIdentity open;
  uint64_t digest = 0;
  return IdentityOfPath(name, named) && named == checked.identity &&
         IdentityOfOpenFile(file, open) && open == checked.identity &&
         DigestOfFile(file, digest) && digest == checked.digest;
}
