#include "apply/delta_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

SharedArray<uint8_t> Block(const Bytes& bytes) {
  SharedArray<uint8_t> block;
  block.Allocate(static_cast<int32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), block.data);
  return block;
}

// Runs the decoder over files holding `old` and `literal`.
class Decoding : public ::testing::Test {
 protected:
  bool Decode(const Bytes& instructions, const Bytes& old, const Bytes& literal,
              Bytes* out) {
    uint64_t consumed[2];
    bool ended =
        DecodeWithFiles(dir, instructions, old, literal, out, consumed);
    oldConsumed = consumed[0];
    literalConsumed = consumed[1];
    return ended;
  }
  ScratchDir dir;
  uint64_t oldConsumed = 0;
  uint64_t literalConsumed = 0;
};

TEST_F(Decoding, WorkedExamples) {
  Bytes out;
  EXPECT_TRUE(Decode({0x0A, 0x8E, 0x16, 0x1C, 0x00}, ToBytes("ABCDEFGHIJ"),
                     ToBytes("xyzw"), &out));
  EXPECT_EQ(ToBytes("ABCDExyzw"), out);
  EXPECT_EQ(8u, oldConsumed);  // F-H passed over, I and J never taken

  // Copy 1,024 (one chunk), Insert 16, end.
  std::mt19937 random(6);
  Bytes old = RandomBytes(random, 2000);
  Bytes literal = RandomBytes(random, 16);
  EXPECT_TRUE(Decode({0x31, 0x78, 0x30, 0x06, 0x00}, old, literal, &out));
  Bytes expected(old.begin(), old.begin() + 1024);
  expected.insert(expected.end(), literal.begin(), literal.end());
  EXPECT_EQ(expected, out);
}

TEST_F(Decoding, EndMarkersAndZeroLengths) {
  Bytes out;
  EXPECT_TRUE(Decode({0xC0}, ToBytes("old"), Bytes(), &out));  // end only
  EXPECT_TRUE(out.empty());
  // Copy, Insert or Skip of length 0 is invalid.
  for (uint8_t invalid : {0x00, 0x40, 0x80}) {
    EXPECT_FALSE(Decode({invalid}, ToBytes("old"), Bytes(), &out))
        << int(invalid);
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(Decoding, BlocksThatEndEarlyFailWithoutReadingPastThem) {
  Bytes out;
  // Copy 5 then nothing: the next opcode lies beyond the block.
  EXPECT_FALSE(Decode({0x0A}, ToBytes("ABCDEFGH"), Bytes(), &out));
  // A length prefix cut off by the end of the block.
  EXPECT_FALSE(Decode({0x3F}, ToBytes("ABCDEFGH"), Bytes(), &out));
  EXPECT_FALSE(Decode({}, ToBytes("A"), Bytes(), &out));
}

TEST_F(Decoding, InstructionsBeyondTheirStreamsFail) {
  Bytes out;
  // Copy 5 from an old file of 3 bytes, Insert 2 from a literal block of 1,
  // Skip past the old file's end.
  EXPECT_FALSE(
      Decode(EncodeInstructions({{0, 5}}), ToBytes("abc"), Bytes(), &out));
  EXPECT_FALSE(
      Decode(EncodeInstructions({{1, 2}}), ToBytes("abc"), ToBytes("x"), &out));
  EXPECT_FALSE(
      Decode(EncodeInstructions({{2, 4}}), ToBytes("abc"), Bytes(), &out));
  // A huge Copy stops at the first short chunk instead of writing 4 GiB.
  EXPECT_FALSE(Decode(EncodeInstructions({{0, 0xFFFFFFFFu}}), ToBytes("abc"),
                      Bytes(), &out));
  EXPECT_TRUE(out.empty());
}

TEST_F(Decoding, LengthsThatDoNotFitIn32BitsFail) {
  Bytes out;
  BitWriter eightOnes;  // a prefix of eight one-bits
  eightOnes.WriteBits(0, 2);
  eightOnes.WriteBits(0xFF, 8);
  eightOnes.WriteBits(0, 1);
  eightOnes.WriteBits(0, 32);
  eightOnes.WriteBits(0, 4);
  EXPECT_FALSE(Decode(eightOnes.Finish(), ToBytes("x"), Bytes(), &out));

  BitWriter tooBig;  // seven ones, payload above 4,008,636,143
  tooBig.WriteBits(0, 2);
  tooBig.WriteBits(0x7F, 7);
  tooBig.WriteBits(0, 1);
  tooBig.WriteBits(4008636144u, 32);
  EXPECT_FALSE(Decode(tooBig.Finish(), ToBytes("x"), Bytes(), &out));
  // Thirty one-bits: refused at the eighth, long before the prefix's sum
  // would shift past 64 bits.
  EXPECT_FALSE(Decode({0x3F, 0xFF, 0xFF, 0xFF}, ToBytes("x"), Bytes(), &out));
}

TEST(BitReaderTest, LengthClassBoundaries) {
  for (uint32_t length :
       {0u, 15u, 16u, 271u, 272u, 4367u, 4368u, 69903u, 69904u, 1118479u,
        1118480u, 17895695u, 17895696u, 286331151u, 286331152u, 4294967295u}) {
    for (int lead = 0; lead < 8; ++lead) {  // every alignment
      BitWriter writer;
      if (lead > 0) writer.WriteBits(0, lead);
      writer.WriteLength(length);
      Bytes bytes = writer.Finish();
      BitReader reader(Block(bytes));
      if (lead > 0) reader.ReadBits(lead);
      EXPECT_EQ(length, reader.ReadLength()) << length << " after " << lead;
      EXPECT_FALSE(reader.Failed());
    }
  }
}

TEST(BitReaderTest, FieldsUpTo32BitsAndNoFetchBeyondTheLastBit) {
  BitReader reader(Block({0xDE, 0xAD, 0xBE, 0xEF, 0x12}));
  EXPECT_EQ(0x6u, reader.ReadBits(3));          // 110
  EXPECT_EQ(0x1EADBEEFu, reader.ReadBits(29));  // through the end of 0xEF
  EXPECT_FALSE(reader.Failed());
  EXPECT_EQ(0x12u, reader.ReadBits(8));
  EXPECT_FALSE(reader.Failed());  // ended exactly at the block's end
  EXPECT_EQ(0u, reader.ReadBits(1));
  EXPECT_TRUE(reader.Failed());

  BitReader wide(Block({0x80, 0, 0, 1}));
  EXPECT_EQ(0x80000001u, wide.ReadBits(32));
  EXPECT_FALSE(wide.Failed());
}

TEST_F(Decoding, EndMarkerInTheLastBitsOfTheBlock) {
  // Copy 3 (7 bits), Insert 16 (12), Skip 1 (7), Insert 1 (7), end (7):
  // exactly 40 bits, so the end marker's last bit is the block's last bit.
  // The reader fails on any fetch beyond the block, so success proves it
  // fetched nothing more.
  Bytes block = EncodeInstructions({{0, 3}, {1, 16}, {2, 1}, {1, 1}});
  ASSERT_EQ(5u, block.size());
  Bytes out;
  ASSERT_TRUE(
      Decode(block, ToBytes("abcdefgh"), ToBytes("0123456789ABCDEFG"), &out));
  EXPECT_EQ(ToBytes("abc0123456789ABCDEFG"), out);
  // Bytes after the end marker's byte are never read.
  block.push_back(0xFF);
  ASSERT_TRUE(
      Decode(block, ToBytes("abcdefgh"), ToBytes("0123456789ABCDEFG"), &out));
}

TEST_F(Decoding, ReplaceTakesLiteralBytesAndChunksAre1024) {
  std::mt19937 random(7);
  Bytes old = RandomBytes(random, 3000);
  Bytes literal = RandomBytes(random, 2000);
  std::vector<Instruction> program = {{0, 1025}, {3, 1025}, {1, 975}, {0, 10}};
  Bytes out;
  ASSERT_TRUE(Decode(EncodeInstructions(program), old, literal, &out));
  EXPECT_EQ(ApplyInstructions(program, old, literal), out);
  EXPECT_EQ(2060u, oldConsumed);
  EXPECT_EQ(2000u, literalConsumed);
}

TEST_F(Decoding, RandomProgramsMatchTheReference) {
  std::mt19937 random(8);
  for (int round = 0; round < 40; ++round) {
    Bytes old = RandomBytes(random, 1 + random() % 20000);
    Bytes literal;
    std::vector<Instruction> program;
    size_t oldLeft = old.size();
    uint32_t previous = 4;
    for (int i = 0; i < 30; ++i) {
      uint32_t op = random() % 4;
      if (op == previous) continue;
      uint32_t length = 1 + random() % (random() % 2 ? 20 : 5000);
      if (op != 1) {
        if (oldLeft == 0) continue;
        length = std::min<uint32_t>(length, static_cast<uint32_t>(oldLeft));
        oldLeft -= length;
      }
      if (op == 1 || op == 3) {
        Bytes more = RandomBytes(random, length);
        literal.insert(literal.end(), more.begin(), more.end());
      }
      program.push_back({op, length});
      previous = op;
    }
    Bytes out;
    ASSERT_TRUE(Decode(EncodeInstructions(program), old, literal, &out));
    ASSERT_EQ(ApplyInstructions(program, old, literal), out) << round;
  }
}

}  // namespace
