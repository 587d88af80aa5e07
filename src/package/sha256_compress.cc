#include "package/sha256_compress.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

void Sha256CompressPortable(uint32_t state[8], const uint8_t* data,
                            size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = (static_cast<uint32_t>(data[4 * i]) << 24) |
             (static_cast<uint32_t>(data[4 * i + 1]) << 16) |
             (static_cast<uint32_t>(data[4 * i + 2]) << 8) | data[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) +
                    ((e & f) ^ (~e & g)) + K[i] + w[i];
      uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) +
                    ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__x86_64__) || defined(__i386__)

#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace {

// Four rounds (group i of 16). The message schedule lives in m[0..3], word
// group i in m[i % 4]; sha256msg1/msg2 compute the groups 4 ahead.
template <int i>
SHA_TARGET __attribute__((always_inline)) inline void Rounds(__m128i& abef,
                                                             __m128i& cdgh,
                                                             __m128i (&m)[4]) {
  __m128i message = _mm_add_epi32(
      m[i % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * i)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
  if (i >= 3 && i <= 14) {
    __m128i carry = _mm_alignr_epi8(m[i % 4], m[(i + 3) % 4], 4);
    m[(i + 1) % 4] = _mm_add_epi32(m[(i + 1) % 4], carry);
    m[(i + 1) % 4] = _mm_sha256msg2_epu32(m[(i + 1) % 4], m[i % 4]);
  }
  message = _mm_shuffle_epi32(message, 0x0E);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
  if (i >= 1 && i <= 12) {
    m[(i + 3) % 4] = _mm_sha256msg1_epu32(m[(i + 3) % 4], m[i % 4]);
  }
}

template <int... I>
SHA_TARGET __attribute__((always_inline)) inline void AllRounds(
    __m128i& abef, __m128i& cdgh, __m128i (&m)[4]) {
  (Rounds<I>(abef, cdgh, m), ...);
}

}  // namespace

bool Sha256ShaExtensionsAvailable() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  bool ssse3 = (ecx & (1u << 9)) != 0;
  bool sse41 = (ecx & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

SHA_TARGET void Sha256CompressShaExtensions(uint32_t state[8],
                                            const uint8_t* data,
                                            size_t blocks) {
  const __m128i byteSwap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
  // The instructions keep the state as ABEF and CDGH.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    __m128i savedAbef = abef;
    __m128i savedCdgh = cdgh;
    __m128i m[4];
    for (int j = 0; j < 4; ++j) {
      m[j] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j)),
          byteSwap);
    }
    AllRounds<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>(abef, cdgh,
                                                                    m);
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

bool Sha256ShaExtensionsAvailable() { return false; }

void Sha256CompressShaExtensions(uint32_t state[8], const uint8_t* data,
                                 size_t blocks) {
  Sha256CompressPortable(state, data, blocks);
}

#endif
