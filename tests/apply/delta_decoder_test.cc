#include "apply/delta_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// Instructions over an old file and a literal block; what they build, and
// whether they end at their end marker. Those that fail write nothing.
struct Program {
  const char* what;
  Bytes instructions, old, literal = {}, out = {};
  bool ends = false;
};

class Decoding : public ::testing::Test {
 protected:
  bool Decode(const Program& program, Bytes* out) {
    return DecodeWithFiles(dir, program.instructions, program.old,
                           program.literal, out, nullptr);
  }
  ScratchDir dir;
};

TEST_F(Decoding, ProgramsEndAtTheirEndMarkerOrFail) {
  std::mt19937 random(6);
  const Bytes old = RandomBytes(random, 2000);
  const Bytes literal = RandomBytes(random, 16);
  Bytes chunk(old.begin(), old.begin() + 1024);
  chunk.insert(chunk.end(), literal.begin(), literal.end());
  // Copy 3 (7 bits), Insert 16 (12), Skip 1 (7), Insert 1 (7), end (7):
  // exactly 40 bits. The reader fails on any fetch beyond the block, so
  // success proves it fetched nothing more.
  Bytes exact = EncodeInstructions({{0, 3}, {1, 16}, {2, 1}, {1, 1}});
  ASSERT_EQ(5u, exact.size());
  Bytes trailing = exact;
  trailing.push_back(0xFF);
  const Bytes kDigits = ToBytes("0123456789ABCDEFG");
  const Bytes kBuilt = ToBytes("abc0123456789ABCDEFG");
  // Copy with a length prefix of eight one-bits (then a zero and 36 zero
  // bits), and with seven (then a zero) and a payload above 4,008,636,143;
  // each followed by the end marker.
  const Bytes eightOnes = {0x3F, 0xC0, 0x00, 0x00, 0x00, 0x01, 0x80};
  const Bytes tooBig = {0x3F, 0xBB, 0xBB, 0xBB, 0xBC, 0x30, 0x00};
  const Bytes kOld = ToBytes("abc");
  const Program cases[] = {
      {"the worked example",
       {0x0A, 0x8E, 0x16, 0x1C, 0x00},
       ToBytes("ABCDEFGHIJ"),
       ToBytes("xyzw"),
       ToBytes("ABCDExyzw"),
       true},
      {"Copy 1,024 (one chunk), Insert 16",
       {0x31, 0x78, 0x30, 0x06, 0x00},
       old,
       literal,
       chunk,
       true},
      {"the end marker alone", {0xC0}, kOld, {}, {}, true},
      {"the end marker in the block's last bits", exact, ToBytes("abcdefgh"),
       kDigits, kBuilt, true},
      {"bytes after the end marker's byte", trailing, ToBytes("abcdefgh"),
       kDigits, kBuilt, true},
      {"Copy of length 0", {0x00}, kOld},
      {"Insert of length 0", {0x40}, kOld},
      {"Skip of length 0", {0x80}, kOld},
      {"Skip 2, then the block ends", {0x84}, kOld},
      {"a length prefix cut off by the block's end", {0x3F}, kOld},
      {"an empty block", {}, kOld},
      {"Copy past the old file", EncodeInstructions({{0, 5}}), kOld},
      {"Insert past the literal block", EncodeInstructions({{1, 2}}), kOld,
       ToBytes("x")},
      {"Skip past the old file", EncodeInstructions({{2, 4}}), kOld},
      // Stops at the first short chunk instead of writing 4 GiB.
      {"a huge Copy", EncodeInstructions({{0, 0xFFFFFFFFu}}), kOld},
      {"eight one-bits in a length prefix", eightOnes, kOld},
      {"a length past 32 bits", tooBig, kOld},
      // Refused at the eighth, long before the prefix's sum would shift
      // past 64 bits.
      {"thirty one-bits", {0x3F, 0xFF, 0xFF, 0xFF}, kOld},
  };
  for (const Program& c : cases) {
    Bytes out;
    // The first wrong ending stops the table: a decoder that reads past
    // its streams would otherwise write 4 GiB at "a huge Copy".
    ASSERT_EQ(c.ends, Decode(c, &out)) << c.what;
    EXPECT_EQ(c.out, out) << c.what;
  }
}

// Seeking programs over "ABCDEFGHIJ", the literal block "xy" and their
// differences: what they build before they end or fail.
TEST_F(Decoding, SeekingProgramsReachTheWholeOldFileAndNoFurther) {
  auto program = EncodeSeekingInstructions;
  // The old file 26 times over, its 257th byte one up: the count of 256
  // zeros takes two bytes.
  std::vector<Instruction> repeats;
  Bytes repeated;
  for (int i = 0; i < 26; ++i) {
    repeats.insert(repeats.end(), {{Add, 10}, {Seek, 10, true}});
    Bytes old = ToBytes("ABCDEFGHIJ");
    repeated.insert(repeated.end(), old.begin(), old.end());
  }
  repeated[256] += 1;
  const struct Case {
    const char* what;
    Bytes instructions, differences = {}, out = {};
    bool ends = false;
  } cases[] = {
      {"the worked example",
       {0x07, 0x47, 0x8D, 0x14, 0x20, 0x3C, 0x00},
       {1, 1, 0, 2},
       ToBytes("ABCACExyHIJ"),
       true},
      {"the whole file, back, and again",
       program({{Copy, 10}, {Seek, 10, true}, {Copy, 10}}),
       {},
       ToBytes("ABCDEFGHIJABCDEFGHIJ"),
       true},
      {"differences wrap around",
       program({{Add, 2}}),
       {0, 0xFF, 0, 0x80},
       ToBytes("@\xC2"),
       true},
      {"zeros counted across Adds and after the last difference",
       program(repeats),
       {0xFF, 1, 1, 3},
       repeated,
       true},
      {"zeros counted and not taken",
       program({{Add, 2}}),
       {0xFF, 0},
       ToBytes("AB")},
      {"a count cut short", program({{Add, 2}}), {0xFF}},
      {"a zero where a difference is counted", program({{Add, 2}}), {1, 0}},
      {"a seek to the end", program({{Seek, 10}}), {}, {}, true},
      {"a Copy at the end", program({{Seek, 10}, {Copy, 1}})},
      {"a seek past the end", program({{Seek, 11}})},
      {"a seek back past the start",
       program({{Copy, 2}, {Seek, 3, true}}),
       {},
       ToBytes("AB")},
      {"a seek of 0", program({{Seek, 0}})},
      {"an Add past the differences", program({{Add, 3}}), {0, 1, 1}},
      {"an Insert past the literal block", program({{Insert, 3}})},
      {"a Copy of length 0", program({{Copy, 0}})},
      {"a seek cut off by the block's end", {0xBF}},
      {"the original form's end marker", {0xC0}, {}, {}, true},
  };
  for (const Case& c : cases) {
    Bytes out;
    ASSERT_EQ(c.ends,
              DecodeWithFiles(dir, c.instructions, ToBytes("ABCDEFGHIJ"),
                              ToBytes("xy"), &out, nullptr, &c.differences))
        << c.what;
    EXPECT_EQ(c.out, out) << c.what;
  }
  // A count of more zeros than the new file has bytes fails as it is read,
  // not at the end of a long stream.
  const Bytes endless(1 << 20, 0xFF);
  Bytes out;
  uint64_t consumed[2];
  EXPECT_FALSE(DecodeWithFiles(dir, program({{Add, 2}}), ToBytes("ABCDEFGHIJ"),
                               {}, &out, consumed, &endless, false, 1000));
  EXPECT_LT(consumed[0], 65536u);
}

// The grouped coding decodes every program as the bits do, and fails,
// writing nothing, wherever its parts do not fit together.
TEST_F(Decoding, GroupedInstructionsDecodeAsTheirBitsDo) {
  const Bytes differences = {1, 1, 0, 2};
  const std::vector<std::vector<Instruction>> programs = {
      {{Copy, 3}, {Seek, 3, true}, {Add, 3}, {Insert, 2}, {Seek, 4}, {Copy, 3}},
      {{Copy, 10}, {Seek, 10, true}, {Copy, 10}},
      {{Seek, 10}, {Copy, 1}},
      {{Copy, 2}, {Seek, 3, true}},
      {{Add, 4}},
      {{Insert, 3}},
      {},
  };
  for (const std::vector<Instruction>& program : programs) {
    Bytes bits, fields;
    const bool ends = DecodeWithFiles(dir, EncodeSeekingInstructions(program),
                                      ToBytes("ABCDEFGHIJ"), ToBytes("xy"),
                                      &bits, nullptr, &differences);
    EXPECT_EQ(ends, DecodeWithFiles(dir, EncodeGroupedInstructions(program),
                                    ToBytes("ABCDEFGHIJ"), ToBytes("xy"),
                                    &fields, nullptr, &differences, true))
        << program.size();
    EXPECT_EQ(bits, fields) << program.size();
  }
  const Bytes example = {6, 0, 0, 0, 0, 4, 3, 1, 2, 0, 3, 3, 2, 3, 4, 3};
  auto with = [&example](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes block = example;
    block.resize(std::min(at, block.size()));
    block.insert(block.end(), bytes);
    return block;
  };
  const struct Case {
    const char* what;
    Bytes block;
  } broken[] = {
      {"bytes left over", with(16, {0})},
      {"the last group cut short", with(15, {})},
      {"an unknown opcode", with(4, {5, 4, 3, 1, 2, 0, 3, 3, 2, 3, 4, 3})},
      {"a count past the part", {100, 0, 0, 0, 0, 3}},
      {"no count", {0, 0}},
      {"a length of 0", {1, 0, 0, 0, 0, 0}},
      {"a length of 2^32 + 3", {1, 0, 0, 0, 0, 0x83, 0x80, 0x80, 0x80, 0x10}},
      {"a length of six bytes",
       {1, 0, 0, 0, 0, 0x81, 0x80, 0x80, 0x80, 0x80, 0}},
  };
  Bytes out;
  ASSERT_TRUE(DecodeWithFiles(dir, example, ToBytes("ABCDEFGHIJ"),
                              ToBytes("xy"), &out, nullptr, &differences,
                              true));
  EXPECT_EQ(ToBytes("ABCACExyHIJ"), out);
  for (const Case& c : broken) {
    EXPECT_FALSE(DecodeWithFiles(dir, c.block, ToBytes("ABCDEFGHIJ"),
                                 ToBytes("xy"), &out, nullptr, &differences,
                                 true))
        << c.what;
    EXPECT_EQ(Bytes(), out) << c.what;
  }
}

// At every alignment, at the block's end and with bytes after it (read a
// whole code at once); the reader stands at the end marker after the code.
// Codes beyond 32 bits fail either way.
TEST(BitReaderTest, LengthClassBoundaries) {
  for (int after : {0, 8}) {
    for (uint32_t length : {0u, 15u, 16u, 271u, 272u, 4367u, 4368u, 69903u,
                            69904u, 1118479u, 1118480u, 17895695u, 17895696u,
                            286331151u, 286331152u, 4294967295u}) {
      for (int lead = 0; lead < 8; ++lead) {  // every alignment
        BitWriter writer;
        if (lead > 0) writer.WriteBits(0, lead);
        writer.WriteLength(length);
        Bytes bytes = writer.Finish();
        bytes.insert(bytes.end(), after, 0xFF);
        SharedArray<uint8_t> block;
        block.Allocate(static_cast<int32_t>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), block.data);
        BitReader reader(block);
        if (lead > 0) reader.ReadBits(lead);
        EXPECT_EQ(length, reader.ReadLength()) << length << " after " << lead;
        EXPECT_EQ(0x60u, reader.ReadBits(7)) << length << " after " << lead;
        EXPECT_FALSE(reader.Failed());
      }
    }
    // Eight one-bits; seven with a payload past 32 bits.
    for (Bytes code : {Bytes{0xFF, 0x00, 0, 0, 0, 0},
                       Bytes{0xFE, 0xEE, 0xEE, 0xEE, 0xF0, 0}}) {
      code.insert(code.end(), after, 0);
      SharedArray<uint8_t> block;
      block.Allocate(static_cast<int32_t>(code.size()));
      std::copy(code.begin(), code.end(), block.data);
      BitReader reader(block);
      EXPECT_EQ(0u, reader.ReadLength());
      EXPECT_TRUE(reader.Failed());
    }
  }
}

}  // namespace
