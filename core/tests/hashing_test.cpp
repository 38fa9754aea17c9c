#include <gtest/gtest.h>

#include "weft/hashing.hpp"

namespace weft {
namespace {

void put_le64(unsigned char* out, u64 word) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(word >> (8 * i));
}

TEST(Hashing, WordHashEqualsTheByteHashOfTheLittleEndianWords) {
  const SipKeys keys = SipKeys::random();
  const u64 one[1] = {0x0123456789abcdefULL};
  unsigned char bytes[16];
  put_le64(bytes, one[0]);
  EXPECT_EQ(siphash13_words(one, keys.k0, keys.k1), siphash13(bytes, 8, keys.k0, keys.k1));

  const u64 two[2] = {~0ULL, 42};
  put_le64(bytes, two[0]);
  put_le64(bytes + 8, two[1]);
  EXPECT_EQ(siphash13_words(two, keys.k0, keys.k1), siphash13(bytes, 16, keys.k0, keys.k1));
  EXPECT_NE(siphash13_words(two, keys.k0, keys.k1), siphash13_words(two, keys.k0 + 1, keys.k1));
}

}  // namespace
}  // namespace weft
