#include "apply/code_transform.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// One-byte opcodes that take a ModRM operand and no immediate: the
// arithmetic and logic forms (add, or, adc, sbb, and, sub, xor, cmp), movsxd,
// test, xchg, mov, lea, and the inc/dec/call/jmp/push group.
constexpr uint8_t kRipOpcodes[] = {
    0x01, 0x03, 0x09, 0x0B, 0x11, 0x13, 0x19, 0x1B, 0x21, 0x23, 0x29, 0x2B,
    0x31, 0x33, 0x39, 0x3B, 0x63, 0x85, 0x87, 0x89, 0x8B, 0x8D, 0xFF};
// After 0F: SSE moves and arithmetic, cmovcc, imul, movzx, movsx.
constexpr uint8_t kRipOpcodes0F[] = {
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x28, 0x29, 0x2A,
    0x2C, 0x2D, 0x2E, 0x2F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46,
    0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x51, 0x54,
    0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x6E, 0x6F, 0x7E, 0x7F, 0xAF, 0xB6, 0xB7, 0xBE, 0xBF};

struct OpcodeTable {
  bool one[256] = {}, two[256] = {};
  OpcodeTable() {
    for (uint8_t op : kRipOpcodes) one[op] = true;
    for (uint8_t op : kRipOpcodes0F) two[op] = true;
  }
};
const OpcodeTable kTable;

// A set of bytes as two tables of 16 that SSSE3 looks up by nibble: x is in
// the set when low[x & 15] & high[x >> 4] is not zero. Each high nibble's
// row of low nibbles (which of x & 15 are in the set) gets a bit of its
// own, shared by the rows that are equal; the sets here have at most eight
// distinct rows, and one more does not compile.
struct NibbleSet {
  alignas(16) uint8_t low[16];
  alignas(16) uint8_t high[16];
};

template <size_t N>
constexpr NibbleSet MakeNibbleSet(const uint8_t (&set)[N]) {
  uint16_t rows[16] = {};
  for (uint8_t byte : set) rows[byte >> 4] |= uint16_t(1u << (byte & 15));
  NibbleSet out = {};
  uint16_t kept[8] = {};
  int count = 0;
  for (int high = 0; high < 16; ++high) {
    if (rows[high] == 0) continue;
    int bit = 0;
    while (bit < count && kept[bit] != rows[high]) ++bit;
    if (bit == count) kept[count++] = rows[high];
    out.high[high] = uint8_t(1u << bit);
    for (int low = 0; low < 16; ++low) {
      if ((rows[high] >> low) & 1) out.low[low] |= uint8_t(1u << bit);
    }
  }
  return out;
}

constexpr NibbleSet kOneSet = MakeNibbleSet(kRipOpcodes);
constexpr NibbleSet kTwoSet = MakeNibbleSet(kRipOpcodes0F);

uint32_t Load32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}

void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Bit 7 of the first byte x of `word` (in memory order) that has
// (x & mask) == match, and maybe bits of later bytes; 0 when there is none.
// The classic test for a zero byte, on (word & mask) ^ match: a borrow can
// only mark bytes after the first zero.
inline uint64_t FirstByte(uint64_t word, uint64_t mask, uint64_t match) {
  uint64_t v = (word & mask) ^ match;
  return (v - 0x0101010101010101u) & ~v & 0x8080808080808080u;
}

uint64_t Load64(const uint8_t* p) {
  return uint64_t{Load32(p)} | uint64_t{Load32(p + 4)} << 32;
}

#if defined(__x86_64__) || defined(__i386__)

#define SCAN_TARGET __attribute__((target("ssse3")))

bool HasVectors() {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 9)) != 0;
}

SCAN_TARGET inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// All ones in the lanes whose byte is not in `set`.
SCAN_TARGET inline __m128i NotIn(__m128i bytes, const NibbleSet& set) {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  __m128i low = _mm_shuffle_epi8(Load16(set.low), _mm_and_si128(bytes, nibble));
  __m128i high = _mm_shuffle_epi8(
      Load16(set.high), _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
  return _mm_cmpeq_epi8(_mm_and_si128(low, high), _mm_setzero_si128());
}

SCAN_TARGET inline uint64_t Bits(__m128i lanes, int part) {
  return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(lanes))}
         << (16 * part);
}

// Bit k of each: whether the bytes before position p + k end a header of
// that kind, the operands before it aside. Reads p - 3 to p + 62.
struct HeaderMasks {
  uint64_t branch = 0;  // E8 or E9
  uint64_t one = 0;     // an opcode of kRipOpcodes, RIP + disp32
  uint64_t two = 0;     // 0F, an opcode of kRipOpcodes0F, RIP + disp32
};

SCAN_TARGET HeaderMasks FindHeaders(const uint8_t* p, bool x64) {
  HeaderMasks masks;
  for (int part = 0; part < 4; ++part) {
    const uint8_t* at = p + 16 * part;
    __m128i last = Load16(at - 1);
    masks.branch |= Bits(_mm_cmpeq_epi8(_mm_and_si128(last, _mm_set1_epi8(-2)),
                                        _mm_set1_epi8(-0x18)),
                         part);
    if (!x64) continue;
    __m128i rip = _mm_cmpeq_epi8(
        _mm_and_si128(last, _mm_set1_epi8(static_cast<char>(0xC7))),
        _mm_set1_epi8(0x05));
    __m128i opcode = Load16(at - 2);
    masks.one |= Bits(_mm_andnot_si128(NotIn(opcode, kOneSet), rip), part);
    __m128i escaped =
        _mm_and_si128(rip, _mm_cmpeq_epi8(Load16(at - 3), _mm_set1_epi8(0x0F)));
    masks.two |= Bits(_mm_andnot_si128(NotIn(opcode, kTwoSet), escaped), part);
  }
  return masks;
}

#else

bool HasVectors() { return false; }

#endif

}  // namespace

CodeTransform::CodeTransform(uint32_t kind, uint32_t width,
                             std::vector<CodeRange> ranges, bool vectors)
    : kind_(kind),
      span_(uint64_t{1} << width),
      vectors_(vectors && HasVectors()),
      ranges_(std::move(ranges)) {
  for (int byte = 0; byte < 256; ++byte) {
    lead_[byte] = byte == 0xE8 || byte == 0xE9 ||
                  (kind_ == kTransformX64 && (byte & 0xC7) == 0x05);
  }
}

void CodeTransform::Forward(uint8_t* data, uint64_t offset, size_t size) const {
  Run(data, offset, size, false);
}

void CodeTransform::Inverse(uint8_t* data, uint64_t offset, size_t size) const {
  Run(data, offset, size, true);
}

void CodeTransform::Run(uint8_t* data, uint64_t offset, size_t size,
                        bool inverse) const {
  const uint64_t end = offset + size;
  for (const CodeRange& range : ranges_) {
    uint64_t from = range.offset > offset ? range.offset : offset;
    uint64_t to =
        range.offset + range.size < end ? range.offset + range.size : end;
    while (from < to) {
      uint64_t blockEnd = (from / kTransformBlock + 1) * kTransformBlock;
      uint64_t pieceEnd = blockEnd < to ? blockEnd : to;
      Piece(data + (from - offset), static_cast<uint32_t>(pieceEnd - from),
            range.address + static_cast<uint32_t>(from - range.offset),
            inverse);
      from = pieceEnd;
    }
  }
}

uint64_t CodeTransform::Leads(const uint8_t* p) const {
  uint64_t word;
  std::memcpy(&word, p, 8);  // the first byte lowest: a little-endian machine
  uint64_t leads = FirstByte(word, 0xFEFEFEFEFEFEFEFEu, 0xE8E8E8E8E8E8E8E8u);
  if (kind_ == kTransformX64)
    leads |= FirstByte(word, 0xC7C7C7C7C7C7C7C7u, 0x0505050505050505u);
  return leads;
}

bool CodeTransform::Header(const uint8_t* bytes, uint32_t i,
                           uint32_t floor) const {
  if (i >= floor + 1 && (bytes[i - 1] == 0xE8 || bytes[i - 1] == 0xE9))
    return true;
  if (kind_ != kTransformX64 || i < floor + 2 || (bytes[i - 1] & 0xC7) != 0x05)
    return false;
  if (kTable.one[bytes[i - 2]]) return true;
  return i >= floor + 3 && bytes[i - 3] == 0x0F && kTable.two[bytes[i - 2]];
}

void CodeTransform::Piece(uint8_t* bytes, uint32_t size, uint32_t address,
                          bool inverse) const {
  if (size < 5) return;
  uint32_t floor = 0;  // where the bytes after the last operand start
  uint32_t i = 1;
  if (vectors_) {
    // Positions 1 and 2 (of those an operand fits after) go byte by byte.
    i = ScanBytes(bytes, size, i, size - 3 < 3 ? size - 3 : 3, address, inverse,
                  &floor);
    i = ScanVectors(bytes, size, i, address, inverse, &floor);
  }
  ScanBytes(bytes, size, i, size - 3, address, inverse, &floor);
}

uint32_t CodeTransform::ScanBytes(uint8_t* bytes, uint32_t size, uint32_t i,
                                  uint32_t to, uint32_t address, bool inverse,
                                  uint32_t* floor) const {
  while (i < to) {
    // Most bytes cannot end a header: find the next one that can, eight
    // bytes at a time, and byte by byte at the piece's end.
    if (i + 7 <= size) {
      uint64_t leads = Leads(bytes + i - 1);
      if (leads == 0) {
        i += 8;
        continue;
      }
      i += static_cast<uint32_t>(__builtin_ctzll(leads)) >> 3;
      if (i >= to) break;
    } else if (!lead_[bytes[i - 1]]) {
      ++i;
      continue;
    }
    if (!Header(bytes, i, *floor)) {
      ++i;
      continue;
    }
    Convert(bytes + i, i, address, inverse);
    i += 4;
    *floor = i;
  }
  return i;
}

#if defined(__x86_64__) || defined(__i386__)
SCAN_TARGET
#endif
uint32_t CodeTransform::ScanVectors(uint8_t* bytes, uint32_t size, uint32_t i,
                                    uint32_t address, bool inverse,
                                    uint32_t* floor) const {
#if defined(__x86_64__) || defined(__i386__)
  // Every position of a round is at most size - 4, and its header bytes
  // are read before any operand among them is converted: a header that
  // reaches into a converted operand starts below the floor, and fails
  // here as it fails in the byte scan.
  const bool x64 = kind_ == kTransformX64;
  uint32_t low = *floor;  // a local: stores through `bytes` may alias it
  for (; i + 67 <= size; i += 64) {
    const HeaderMasks masks = FindHeaders(bytes + i, x64);
    for (uint64_t left = masks.branch | masks.one | masks.two; left != 0;
         left &= left - 1) {
      const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(left));
      const uint32_t at = i + k;
      const uint64_t found = ((masks.branch >> k) & (at >= low + 1)) |
                             ((masks.one >> k) & (at >= low + 2)) |
                             ((masks.two >> k) & (at >= low + 3));
      if ((found & 1) != 0) {
        Convert(bytes + at, at, address, inverse);
        low = at + 4;
      }
    }
  }
  *floor = low;
#else
  (void)bytes, (void)size, (void)address, (void)inverse, (void)floor;
#endif
  return i;
}

void CodeTransform::Convert(uint8_t* operand, uint32_t i, uint32_t address,
                            bool inverse) const {
  // Shifted by half the span: the range of `width` bits is [0, span). An
  // operand outside it is written back as it was; no branch to mispredict.
  const uint64_t half = span_ / 2;
  const uint32_t stored = Load32(operand);
  const uint64_t value = (uint64_t{stored} + half) & 0xFFFFFFFFu;
  const uint64_t at = (uint64_t{address} + i + 4) & (span_ - 1);
  const uint64_t moved =
      ((value + (inverse ? span_ - at : at)) & (span_ - 1)) - half;
  Store32(operand, value < span_ ? static_cast<uint32_t>(moved) : stored);
}

bool ParseTransformParameters(const uint8_t* data, size_t size,
                              uint64_t oldSize, uint64_t newSize,
                              TransformParameters* out) {
  if (size < 12) return false;
  TransformParameters parsed;
  parsed.width = Load32(data);
  uint32_t counts[2] = {Load32(data + 4), Load32(data + 8)};
  if (parsed.width < kMinTransformWidth || parsed.width > 32 ||
      counts[0] > kMaxCodeRanges || counts[1] > kMaxCodeRanges ||
      size != 12 + 16 * size_t{counts[0] + counts[1]}) {
    return false;
  }
  const uint8_t* at = data + 12;
  for (int file = 0; file < 2; ++file) {
    std::vector<CodeRange>& ranges = file == 0 ? parsed.old : parsed.target;
    uint64_t next = 0;  // the least offset the next range may start at
    for (uint32_t n = 0; n < counts[file]; ++n, at += 16) {
      CodeRange range = {Load64(at), Load32(at + 8), Load32(at + 12)};
      uint64_t fileSize = file == 0 ? oldSize : newSize;
      if (range.size == 0 || range.offset < next || range.offset > fileSize ||
          range.size > fileSize - range.offset) {
        return false;
      }
      next = range.offset + range.size;
      ranges.push_back(range);
    }
  }
  *out = std::move(parsed);
  return true;
}
