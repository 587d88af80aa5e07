#include "producer/diff_engine.h"

#include <divsufsort.h>
#include <gtest/gtest.h>

#include <random>

#include "apply/delta_decoder.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// The longest prefix of `target` anywhere in `old`, by trying every start.
size_t NaiveLongest(const Bytes& old, const Bytes& target) {
  size_t best = 0;
  for (size_t i = 0; i < old.size(); ++i) {
    size_t n = 0;
    while (i + n < old.size() && n < target.size() && old[i + n] == target[n])
      ++n;
    best = std::max(best, n);
  }
  return best;
}

TEST(LongestMatch, AgreesWithBruteForceOnTrickyInputs) {
  std::mt19937 random(20);
  for (int round = 0; round < 300; ++round) {
    size_t size = 1 + random() % 300;
    int alphabet = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 : 256;
    Bytes old(size), target(1 + random() % 60);
    for (uint8_t& b : old) b = static_cast<uint8_t>(random() % alphabet);
    for (uint8_t& b : target) b = static_cast<uint8_t>(random() % alphabet);
    if (round % 5 == 0 && size > 20 && target.size() >= 20) {  // a long match
      size_t at = random() % (size - 20);
      std::copy(old.begin() + static_cast<long>(at),
                old.begin() + static_cast<long>(at + 20), target.begin());
    }
    std::vector<int32_t> suffixes(old.size());
    divsufsort(old.data(), suffixes.data(), static_cast<int32_t>(old.size()));
    size_t position;
    size_t found = LongestMatch(old.data(), old.size(), suffixes.data(),
                                target.data(), target.size(), &position);
    ASSERT_EQ(NaiveLongest(old, target), found) << round;
    ASSERT_TRUE(std::equal(target.begin(),
                           target.begin() + static_cast<long>(found),
                           old.begin() + static_cast<long>(position)));
  }
}

TEST(BestChain, OneMatchFarAheadDoesNotDropTheRest) {
  // The first match sits at the old file's end; taking it would leave no
  // room for the three after it.
  std::vector<Match> matches = {{0, 9000, 100, 100},
                                {200, 100, 60, 60},
                                {300, 500, 60, 60},
                                {400, 900, 60, 60}};
  std::vector<Match> chain = BestChain(matches);
  ASSERT_EQ(3u, chain.size());
  EXPECT_EQ(100u, chain[0].old);
  EXPECT_EQ(900u, chain[2].old);
}

// Decodes with the applier's own decoder.
Bytes Rebuild(const Bytes& old, const Delta& delta, const ScratchDir& dir) {
  Bytes out;
  EXPECT_TRUE(DecodeWithFiles(dir, EncodeInstructions(delta.instructions), old,
                              delta.literal, &out));
  return out;
}

// What every block the engine writes must satisfy.
void ExpectWellFormed(const Delta& delta, size_t oldSize) {
  uint64_t oldUsed = 0, literalUsed = 0, bits = 7;
  for (size_t i = 0; i < delta.instructions.size(); ++i) {
    const DeltaInstruction& instruction = delta.instructions[i];
    ASSERT_NE(0u, instruction.length);
    if (i > 0) {
      ASSERT_NE(delta.instructions[i - 1].op, instruction.op) << i;
    }
    if (instruction.op != kOpInsert) oldUsed += instruction.length;
    if (instruction.op == kOpInsert || instruction.op == kOpReplace) {
      literalUsed += instruction.length;
    }
    bits += 2 + LengthCodeBits(instruction.length);
  }
  EXPECT_EQ(oldSize, oldUsed);  // the whole old file is accounted for
  EXPECT_EQ(delta.literal.size(), literalUsed);
  // The end marker lies in the block's last byte.
  EXPECT_EQ((bits + 7) / 8, EncodeInstructions(delta.instructions).size());
}

Bytes Mutate(Bytes data, std::mt19937& random) {
  for (int edit = 0; edit < 8; ++edit) {
    size_t at = data.empty() ? 0 : random() % data.size();
    switch (random() % 4) {
      case 0: {  // insertion
        Bytes more = RandomBytes(random, random() % 2000);
        data.insert(data.begin() + static_cast<long>(at), more.begin(),
                    more.end());
        break;
      }
      case 1:  // deletion
        data.erase(data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(std::min(
                                      data.size(), at + random() % 2000)));
        break;
      case 2: {  // a block moved to the end
        size_t length = std::min<size_t>(data.size() - at, random() % 3000);
        Bytes block(data.begin() + static_cast<long>(at),
                    data.begin() + static_cast<long>(at + length));
        data.erase(data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(at + length));
        data.insert(data.end(), block.begin(), block.end());
        break;
      }
      default:  // scattered byte changes, as when pointers move
        for (int i = 0; i < 20 && !data.empty(); ++i)
          data[random() % data.size()] ^= 0x10;
        break;
    }
  }
  return data;
}

TEST(ComputeDelta, RandomMutationsRoundTripThroughTheDecoder) {
  std::mt19937 random(21);
  ScratchDir dir;
  for (int round = 0; round < 30; ++round) {
    Bytes old = RandomBytes(random, random() % 60000);
    if (round % 4 == 0) {  // text-like, repetitive
      for (uint8_t& b : old) b = static_cast<uint8_t>('a' + b % 4);
    }
    Bytes target = Mutate(old, random);
    DiffOptions options;
    if (round % 3 == 0) options.suffixArrayLimit = 0;  // the block matcher
    Delta delta = ComputeDelta(old.data(), old.size(), target.data(),
                               target.size(), options);
    ExpectWellFormed(delta, old.size());
    ASSERT_EQ(target, Rebuild(old, delta, dir)) << round;
  }
}

TEST(ComputeDelta, ScatteredChangesCostLittle) {
  std::mt19937 random(22);
  Bytes old = RandomBytes(random, 200000);
  Bytes target = old;
  for (int i = 0; i < 50; ++i) target[random() % target.size()] ^= 0xFF;
  for (uint64_t limit : {uint64_t{1} << 30, uint64_t{0}}) {
    DiffOptions options;
    options.suffixArrayLimit = limit;
    Delta delta = ComputeDelta(old.data(), old.size(), target.data(),
                               target.size(), options);
    EXPECT_LE(delta.literal.size(), 50u * 4) << limit;
    EXPECT_GE(delta.copied, target.size() - 50 * 4) << limit;
  }
}

// Bytes that lie in order behind a misleading match are still copied: a
// forward extension must not run on through bytes that agree only by
// chance, and a match out of order must not hide one inside the gap.
TEST(ComputeDelta, CopiesWhatLiesInOrderBehindAMisleadingMatch) {
  std::mt19937 random(23);
  Bytes before = RandomBytes(random, 3000), after = RandomBytes(random, 3000);
  Bytes table;  // small 32-bit numbers: three bytes in four are zero
  for (int i = 0; i < 400; ++i) {
    table.insert(table.end(),
                 {static_cast<uint8_t>(1 + random() % 255), 0, 0, 0});
  }
  Bytes moved = RandomBytes(random, 1000), head = RandomBytes(random, 100);
  Bytes between = RandomBytes(random, 50);
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
      all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  struct Case {
    const char* name;
    Bytes old, target;
    size_t inOrder;  // bytes an in-order copy can take
  } cases[] = {
      {"padding before a table", join({before, table, after}),
       join({before, Bytes(500, 0), table, after}), 7600},
      {"a longer copy out of order",
       join({before, moved, between, after, head, moved}),
       join({before, head, moved, after}), 7000},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    Delta delta = ComputeDelta(c.old.data(), c.old.size(), c.target.data(),
                               c.target.size());
    ExpectWellFormed(delta, c.old.size());
    EXPECT_GE(delta.copied, c.inOrder - 8) << c.name;
    ASSERT_EQ(c.target, Rebuild(c.old, delta, dir)) << c.name;
  }
}

// A match shorter than eight bytes costs more in instruction bits than it
// saves: pieces of seven old bytes among new ones are inserted, not copied.
TEST(ComputeDelta, MatchesShorterThanEightAreNotTaken) {
  std::mt19937 random(24);
  Bytes old = RandomBytes(random, 4000), target;
  size_t at = random() % (old.size() - 8) + 1;
  for (int i = 0; i < 100; ++i) {
    target.insert(target.end(), old.begin() + at, old.begin() + at + 7);
    // A byte between pieces that extends neither to eight.
    uint8_t after = old[at + 7];
    at = random() % (old.size() - 8) + 1;
    uint8_t separator = 0;
    while (separator == after || separator == old[at - 1]) ++separator;
    target.push_back(separator);
  }
  Delta delta =
      ComputeDelta(old.data(), old.size(), target.data(), target.size());
  EXPECT_EQ(0u, delta.copied);
}

TEST(ComputeDelta, EmptyFiles) {
  Bytes some = ToBytes("content");
  Delta fromNothing = ComputeDelta(nullptr, 0, some.data(), some.size());
  ASSERT_EQ(1u, fromNothing.instructions.size());
  EXPECT_EQ(kOpInsert, fromNothing.instructions[0].op);
  Delta toNothing = ComputeDelta(some.data(), some.size(), nullptr, 0);
  ASSERT_EQ(1u, toNothing.instructions.size());
  EXPECT_EQ(kOpSkip, toNothing.instructions[0].op);
  EXPECT_TRUE(ComputeDelta(nullptr, 0, nullptr, 0).instructions.empty());
}

}  // namespace
