#include "package/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "package/sha256_compress.h"
#include "support/test_support.h"

namespace {

using testing_support::Bytes;

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string HashInPieces(const std::string& message, size_t piece) {
  CHashSHA256 hash;
  for (size_t i = 0; i < message.size(); i += piece) {
    size_t n = std::min(piece, message.size() - i);
    hash.Update(message.data() + i, static_cast<uint32_t>(n));
  }
  hash.Final();
  Bytes digest(hash.GetDigestSize());
  hash.GetDigest(digest.data());
  return Hex(digest);
}

TEST(Sha256, Fips180Vectors) {
  struct Vector {
    std::string message;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // 55 bytes leave room for the padding and the length in one block.
      {std::string(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& vector : vectors) {
    // Whole, and in pieces that cross block boundaries every way.
    for (size_t piece :
         {size_t{1000000}, size_t{1}, size_t{63}, size_t{64}, size_t{65}}) {
      EXPECT_EQ(vector.digest, HashInPieces(vector.message, piece))
          << vector.message.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(Sha256, InitStartsOverAndDigestsCompareWhole) {
  CHashSHA256 hash;
  hash.Update("junk", 4);
  hash.Init();
  hash.Update("abc", 3);
  hash.Final();
  Bytes digest = testing_support::Sha256(testing_support::ToBytes("abc"));
  EXPECT_TRUE(hash.CompareDigest(digest.data()));
  digest[31] ^= 1;
  EXPECT_FALSE(hash.CompareDigest(digest.data()));
}

using Compress = void (*)(uint32_t*, const uint8_t*, size_t);

#if defined(__i386__)
// Calls `compress` with the stack pointer 4 mod 16 at the call. 32-bit
// Windows keeps its stack only 4-byte aligned, and enters our code that
// way from a window procedure or a thread start; the compiler's default
// assumes 16.
__attribute__((naked, noinline)) void Call(Compress, uint32_t*, const uint8_t*,
                                           size_t) {
  asm("push %ebp\n\t"
      "mov %esp, %ebp\n\t"
      "and $-16, %esp\n\t"
      "pushl 20(%ebp)\n\t"  // blocks
      "pushl 16(%ebp)\n\t"  // data
      "pushl 12(%ebp)\n\t"  // state: %esp is now 4 mod 16
      "call *8(%ebp)\n\t"
      "leave\n\t"
      "ret");
}
#else
void Call(Compress compress, uint32_t* state, const uint8_t* data,
          size_t blocks) {
  compress(state, data, blocks);
}
#endif

TEST(Sha256, ShaExtensionsAgreeWithPortableCode) {
  if (!Sha256ShaExtensionsAvailable()) GTEST_SKIP() << "no SHA extensions";
  std::mt19937 random(1);
  for (int round = 0; round < 200; ++round) {
    size_t blocks = 1 + random() % 40;
    Bytes data = testing_support::RandomBytes(random, blocks * 64);
    uint32_t portable[8], accelerated[8];
    for (uint32_t& word : portable) word = random();
    std::memcpy(accelerated, portable, sizeof portable);
    Sha256CompressPortable(portable, data.data(), blocks);
    Call(&Sha256CompressShaExtensions, accelerated, data.data(), blocks);
    ASSERT_EQ(0, std::memcmp(portable, accelerated, sizeof portable))
        << blocks << " blocks";
  }
}

}  // namespace
