#include "package/sha256.h"

#include <atomic>
#include <cstring>

#include "package/sha256_compress.h"

namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                       0xa54ff53a, 0x510e527f, 0x9b05688c,
                                       0x1f83d9ab, 0x5be0cd19};

typedef void (*CompressFunction)(uint32_t*, const uint8_t*, size_t);

CompressFunction ChooseCompress() {
  return Sha256ShaExtensionsAvailable() ? &Sha256CompressShaExtensions
                                        : &Sha256CompressPortable;
}

// Chosen on first use; threads that race here store the same pointer. An
// atomic rather than a static initialised by a call, which would bring in
// the C++ runtime's guarded initialisation, and with it threads and
// exceptions, for one pointer.
CompressFunction Compress() {
  static std::atomic<CompressFunction> chosen{nullptr};
  CompressFunction compress = chosen.load(std::memory_order_relaxed);
  if (compress == nullptr) {
    compress = ChooseCompress();
    chosen.store(compress, std::memory_order_relaxed);
  }
  return compress;
}

}  // namespace

void IHashCode::FoldDigest(uint8_t* out, uint32_t length) {
  uint8_t digest[64];
  uint32_t size = GetDigestSize();
  GetDigest(digest);
  std::memset(out, 0, length);
  for (uint32_t i = 0; i < size; ++i) out[i % length] ^= digest[i];
}

bool IHashCode::CompareDigest(const uint8_t* expected) {
  uint8_t digest[64];
  GetDigest(digest);
  return std::memcmp(digest, expected, GetDigestSize()) == 0;
}

bool IHashCode::CompareFoldedDigest(const uint8_t* expected, uint32_t length) {
  uint8_t folded[64];
  FoldDigest(folded, length);
  return std::memcmp(folded, expected, length) == 0;
}

CHashSHA256::CHashSHA256() { Init(); }

void CHashSHA256::Init() {
  std::memcpy(state, kInitialState, sizeof state);
  bitCountLow = 0;
  bitCountHigh = 0;
  fill = 0;
}

void CHashSHA256::Update(const void* data, uint32_t count) {
  if (count == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t low = bitCountLow + (count << 3);
  bitCountHigh += (count >> 29) + (low < bitCountLow ? 1 : 0);
  bitCountLow = low;
  if (fill > 0) {
    uint32_t piece = 64 - fill < count ? 64 - fill : count;
    std::memcpy(block + fill, bytes, piece);
    fill += piece;
    bytes += piece;
    count -= piece;
    if (fill < 64) return;
    Compress()(state, block, 1);
    fill = 0;
  }
  // Whole blocks straight from the caller's memory.
  uint32_t whole = count / 64;
  if (whole > 0) {
    Compress()(state, bytes, whole);
    bytes += whole * 64;
    count -= whole * 64;
  }
  std::memcpy(block, bytes, count);
  fill = count;
}

void CHashSHA256::Final() {
  uint8_t length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<uint8_t>(bitCountHigh >> (24 - 8 * i));
    length[4 + i] = static_cast<uint8_t>(bitCountLow >> (24 - 8 * i));
  }
  static const uint8_t kPadding[64] = {0x80};
  uint32_t padding = fill < 56 ? 56 - fill : 120 - fill;
  Update(kPadding, padding);
  Update(length, 8);
}

void CHashSHA256::GetDigest(uint8_t* out) {
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(state[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(state[i]);
  }
}
