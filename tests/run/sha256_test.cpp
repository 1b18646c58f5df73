#include "run/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// The FIPS 180-4 examples and NIST's byte-oriented vectors, fed whole and in
// pieces that cross the 64-byte blocks and the 55/56-byte padding edge.
TEST(Sha256, DigestsOfKnownVectors) {
  const struct {
    std::string message;
    int repeat;
    const char* digest;
  } cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(55, 'a'), 1, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), 1, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), 1, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string("\x00\xff\x80", 3), 1,
       "f742b965f156c10374bc23aea96e3a8aff8facd6fc079defeaa30219ad86f211"},
  };
  for (const auto& c : cases) {
    std::string whole;
    for (int i = 0; i < c.repeat; ++i) whole += c.message;
    for (size_t piece : {whole.size() + 1, size_t{1}, size_t{63}}) {
      Sha256 sha;
      for (size_t at = 0; at < whole.size(); at += piece) {
        sha.Update(whole.data() + at, std::min(piece, whole.size() - at));
      }
      EXPECT_EQ(sha.HexDigest(), c.digest) << c.message.substr(0, 20) << " in pieces of " << piece;
    }
  }
}

}  // namespace
