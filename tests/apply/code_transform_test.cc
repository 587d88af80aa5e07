#include "apply/code_transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// Random bytes dense with headers of every kind, most with operands small
// enough to convert, some with header bytes inside other operands.
Bytes CodeLike(std::mt19937& random, size_t size) {
  Bytes data = RandomBytes(random, size);
  for (size_t i = 0; i + 12 < size; i += 1 + random() % 9) {
    static const Bytes kHeaders[] = {
        {0xE8}, {0xE9}, {0x48, 0x8B, 0x05}, {0x8D, 0x0D}, {0x0F, 0x10, 0x05}};
    const Bytes& header = kHeaders[random() % 5];
    std::copy(header.begin(), header.end(), data.begin() + i);
    data[i + header.size() + 3] = random() % 2 ? 0x00 : 0xFF;
  }
  return data;
}

// Inverse restores any bytes exactly, and the transform of whole blocks
// taken one piece at a time is the transform of the whole.
TEST(CodeTransform, InverseRestoresAnyBytesAndBlocksStandAlone) {
  std::mt19937 random(3);
  const Bytes data = CodeLike(random, 50001);
  for (uint32_t kind : {kTransformX86, kTransformX64}) {
    for (uint32_t width : {16u, 24u, 32u}) {
      SCOPED_TRACE(::testing::Message() << kind << " " << width);
      // Ranges that end inside a block, one that starts five bytes before
      // a block's end, and an address near the top.
      const CodeTransform code(kind, width,
                               {{0, 9000, 0x1000},
                                {9001, 20000, 0x400000},
                                {32763, 200, 0x2000},
                                {33000, 17001, 0xFFFFF000}});
      Bytes whole = data;
      code.Forward(whole.data(), 0, whole.size());
      EXPECT_GT(std::mismatch(whole.begin(), whole.end(), data.begin()).first,
                whole.begin());
      Bytes pieces = data;
      for (size_t at = 0; at < data.size(); at += 2 * kTransformBlock) {
        code.Forward(pieces.data() + at, at,
                     std::min<size_t>(2 * kTransformBlock, data.size() - at));
      }
      EXPECT_EQ(whole, pieces);
      code.Inverse(whole.data(), 0, whole.size());
      EXPECT_EQ(data, whole);
    }
  }
}

// The transform as the header states it, one byte at a time, over one
// range at file offset 0.
Bytes NaiveForward(Bytes bytes, uint32_t kind, uint32_t width,
                   uint32_t address) {
  auto header = [&](size_t piece, size_t i, size_t floor) {
    const uint8_t* b = bytes.data() + piece;
    if (i >= floor + 1 && (b[i - 1] == 0xE8 || b[i - 1] == 0xE9)) return true;
    if (kind != kTransformX64 || i < floor + 2 || (b[i - 1] & 0xC7) != 0x05)
      return false;
    static const Bytes one = {0x01, 0x03, 0x09, 0x0B, 0x11, 0x13, 0x19, 0x1B,
                              0x21, 0x23, 0x29, 0x2B, 0x31, 0x33, 0x39, 0x3B,
                              0x63, 0x85, 0x87, 0x89, 0x8B, 0x8D, 0xFF};
    if (std::count(one.begin(), one.end(), b[i - 2])) return true;
    static const Bytes two = {
        0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x28, 0x29, 0x2A,
        0x2C, 0x2D, 0x2E, 0x2F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46,
        0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x51, 0x54,
        0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
        0x6E, 0x6F, 0x7E, 0x7F, 0xAF, 0xB6, 0xB7, 0xBE, 0xBF};
    return i >= floor + 3 && b[i - 3] == 0x0F &&
           std::count(two.begin(), two.end(), b[i - 2]);
  };
  const int64_t span = int64_t{1} << width;
  for (size_t piece = 0; piece < bytes.size(); piece += kTransformBlock) {
    size_t size = std::min<size_t>(kTransformBlock, bytes.size() - piece);
    for (size_t i = 1, floor = 0; i + 4 <= size; ++i) {
      if (!header(piece, i, floor)) continue;
      int32_t v;
      std::memcpy(&v, &bytes[piece + i], 4);
      if (v >= -span / 2 && v < span / 2) {
        int64_t target = v + int64_t{address} + int64_t(piece + i + 4);
        target = ((target + span / 2) % span + span) % span - span / 2;
        v = static_cast<int32_t>(target);
        std::memcpy(&bytes[piece + i], &v, 4);
      }
      i += 3;
      floor = i + 1;
    }
  }
  return bytes;
}

// The transform finds every operand the plain scan finds, in every
// alignment against its eight-byte steps and its 64-position vector rounds,
// with vectors and without.
TEST(CodeTransform, SameAsTheByteByByteScan) {
  std::mt19937 random(7);
  const Bytes data = CodeLike(random, 3 * kTransformBlock + 11);
  for (uint32_t kind : {kTransformX86, kTransformX64}) {
    for (size_t skip : {0, 1, 3, 7, 40, 63}) {
      Bytes in(data.begin() + skip, data.end());
      const Bytes expected = NaiveForward(in, kind, 24, 0x401000);
      for (bool vectors : {false, true}) {
        const CodeTransform code(
            kind, 24, {{0, static_cast<uint32_t>(in.size()), 0x401000}},
            vectors);
        Bytes fast = in;
        code.Forward(fast.data(), 0, fast.size());
        EXPECT_EQ(expected, fast) << kind << " " << skip << " " << vectors;
      }
    }
    // Pieces too short for a vector round, one with a header that closes
    // at byte 1, whose operand would end past a piece of five.
    for (uint32_t size = 5; size <= 70; ++size) {
      Bytes in = CodeLike(random, size);
      if (size <= 8)
        in = Bytes({0x00, 0xE8, 0x01, 0x00, 0x00, 0x00, 0x11, 0x22});
      in.resize(size);
      const Bytes expected = NaiveForward(in, kind, 32, 0x1000);
      for (bool vectors : {false, true}) {
        const CodeTransform code(kind, 32, {{0, size, 0x1000}}, vectors);
        Bytes fast = in;
        code.Forward(fast.data(), 0, fast.size());
        EXPECT_EQ(expected, fast) << kind << " " << size << " " << vectors;
      }
    }
  }
}

// What the transform makes of single instructions at the start of a range
// at address 0x1000 (width 24).
TEST(CodeTransform, OperandsBecomeTheAddressesTheyPointAt) {
  Bytes edge(kTransformBlock + 8, 0x90);
  const Bytes call = {0xE8, 0x10, 0x00, 0x00, 0x00};
  std::copy(call.begin(), call.end(), edge.end() - 12);  // across the block
  const struct Case {
    const char* what;
    uint32_t kind;
    Bytes in, out;
  } cases[] = {
      // 0x10 + 0x1005, the address after the operand.
      {"a call", kTransformX86, call, {0xE8, 0x15, 0x10, 0x00, 0x00}},
      {"a jump back",
       kTransformX86,
       {0xE9, 0xFB, 0xFF, 0xFF, 0xFF},
       {0xE9, 0x00, 0x10, 0x00, 0x00}},
      {"an operand beyond 24 bits",
       kTransformX86,
       {0xE8, 0x00, 0x00, 0x80, 0x00},
       {0xE8, 0x00, 0x00, 0x80, 0x00}},
      {"a RIP-relative load",
       kTransformX64,
       {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00},
       {0x48, 0x8B, 0x05, 0x17, 0x10, 0x00, 0x00}},
      {"an SSE load",
       kTransformX64,
       {0x0F, 0x10, 0x0D, 0x00, 0x00, 0x00, 0x00},
       {0x0F, 0x10, 0x0D, 0x07, 0x10, 0x00, 0x00}},
      {"the same load in x86 code",
       kTransformX86,
       {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00},
       {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00}},
      // The E8 inside the first operand heads nothing; the one after does.
      {"a header inside an operand",
       kTransformX86,
       {0xE8, 0xE8, 0x00, 0x00, 0x00, 0xE8, 0x00, 0x00, 0x00, 0x00},
       {0xE8, 0xED, 0x10, 0x00, 0x00, 0xE8, 0x0A, 0x10, 0x00, 0x00}},
      {"a call across a block's end", kTransformX86, edge, edge},
  };
  for (const Case& c : cases) {
    const CodeTransform code(c.kind, 24,
                             {{0, static_cast<uint32_t>(c.in.size()), 0x1000}});
    Bytes bytes = c.in;
    code.Forward(bytes.data(), 0, bytes.size());
    EXPECT_EQ(c.out, bytes) << c.what;
  }
}

Bytes Parameters(std::initializer_list<uint32_t> head,
                 std::initializer_list<CodeRange> ranges) {
  Bytes bytes;
  // Little-endian, byte by byte, as the package stores them.
  auto put = [&bytes](uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(uint8_t(value >> (8 * i)));
  };
  for (uint32_t field : head) put(field, 4);
  for (const CodeRange& range : ranges) {
    put(range.offset, 8);
    put(range.size, 4);
    put(range.address, 4);
  }
  return bytes;
}

// Parameters parse only in exactly their layout, with ranges in order
// inside files of 1,000 (old) and 2,000 (new) bytes.
TEST(CodeTransform, ParametersParseOnlyWhenWholeAndInsideTheFiles) {
  const struct Case {
    const char* what;
    Bytes bytes;
    bool parses;
  } cases[] = {
      {"two old ranges, one new",
       Parameters({24, 2, 1}, {{0, 10, 0}, {10, 990, 0}, {1000, 1000, 0}}),
       true},
      {"no ranges at all", Parameters({32, 0, 0}, {}), true},
      {"width 15", Parameters({15, 0, 0}, {}), false},
      {"width 33", Parameters({33, 0, 0}, {}), false},
      {"a range too few", Parameters({24, 1, 1}, {{0, 10, 0}}), false},
      {"a byte too many",
       [] {
         Bytes bytes = Parameters({24, 0, 0}, {});
         bytes.push_back(0);
         return bytes;
       }(),
       false},
      {"97 ranges", Parameters({24, 97, 0}, {}), false},
      {"overlapping ranges", Parameters({24, 2, 0}, {{0, 10, 0}, {9, 5, 0}}),
       false},
      {"ranges out of order", Parameters({24, 2, 0}, {{20, 5, 0}, {0, 5, 0}}),
       false},
      {"an empty range", Parameters({24, 1, 0}, {{0, 0, 0}}), false},
      {"an old range past the old file", Parameters({24, 1, 0}, {{0, 1001, 0}}),
       false},
      {"a range at an offset near 2^64",
       Parameters({24, 0, 1}, {{UINT64_MAX, 1, 0}}), false},
  };
  for (const Case& c : cases) {
    TransformParameters parsed;
    parsed.width = 7;
    EXPECT_EQ(c.parses, ParseTransformParameters(c.bytes.data(), c.bytes.size(),
                                                 1000, 2000, &parsed))
        << c.what;
    if (!c.parses) {
      EXPECT_EQ(7u, parsed.width) << c.what;
    }
  }
}

}  // namespace
