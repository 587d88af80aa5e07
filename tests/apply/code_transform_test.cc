#include "apply/code_transform.h"

#include <gtest/gtest.h>

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
      // Ranges that end inside a block, and an address near the top.
      const CodeTransform code(kind, width,
                               {{0, 9000, 0x1000},
                                {9001, 20000, 0x400000},
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
