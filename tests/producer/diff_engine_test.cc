#include "producer/diff_engine.h"

#include <gtest/gtest.h>

#include <random>

#include "apply/delta_decoder.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// What the engine writes, the applier's own decoder rebuilds exactly,
// reading the whole old file and literal block.
void ExpectRoundTrip(const Bytes& old, const Bytes& target, const Delta& delta,
                     const ScratchDir& dir) {
  Bytes out;
  uint64_t consumed[2];
  EXPECT_TRUE(DecodeWithFiles(dir, EncodeInstructions(delta.instructions), old,
                              delta.literal, &out, consumed));
  EXPECT_EQ(target, out);
  EXPECT_EQ(old.size(), consumed[0]);
  EXPECT_EQ(delta.literal.size(), consumed[1]);
}

// The same for the seeking form, its instructions in either coding: every
// literal byte is taken.
void ExpectRoundTrip(const Bytes& old, const Bytes& target,
                     const SeekingDelta& delta, const ScratchDir& dir) {
  for (bool grouped : {false, true}) {
    Bytes out;
    uint64_t consumed[2];
    EXPECT_TRUE(DecodeWithFiles(
        dir,
        grouped ? EncodeGroupedInstructions(delta.instructions)
                : EncodeSeekingInstructions(delta.instructions),
        old, delta.literal, &out, consumed, &delta.differences, grouped));
    EXPECT_EQ(target, out) << grouped;
    EXPECT_EQ(delta.literal.size(), consumed[1]) << grouped;
  }
}

Bytes Mutate(Bytes data, std::mt19937& random) {
  for (int edit = 0; edit < 8; ++edit) {
    auto at = data.begin() + (data.empty() ? 0 : random() % data.size());
    Bytes piece(at, at + std::min<long>(data.end() - at, random() % 3000));
    switch (random() % 3) {
      case 0:  // insertion
        piece = RandomBytes(random, random() % 2000);
        data.insert(at, piece.begin(), piece.end());
        break;
      case 1:  // a block deleted, or moved to the end
        data.erase(at, at + static_cast<long>(piece.size()));
        if (random() % 2) data.insert(data.end(), piece.begin(), piece.end());
        break;
      default:  // scattered byte changes, as when pointers move
        for (int i = 0; i < 20 && !data.empty(); ++i)
          data[random() % data.size()] ^= 0x10;
        break;
    }
  }
  return data;
}

// Random edits of random and text-like files, empty ones among them,
// through both matchers.
TEST(ComputeDelta, RandomMutationsRoundTripThroughTheDecoder) {
  std::mt19937 random(21);
  ScratchDir dir;
  for (int round = 0; round < 30; ++round) {
    Bytes old = RandomBytes(random, round < 3 ? 0 : random() % 60000);
    if (round % 4 == 0) {  // text-like, repetitive
      for (uint8_t& b : old) b = static_cast<uint8_t>('a' + b % 4);
    }
    Bytes target = round % 2 == 1 && round < 4 ? Bytes() : Mutate(old, random);
    DiffOptions options;
    if (round % 3 == 0) options.suffixArrayLimit = 0;  // the block matcher
    Delta delta = ComputeDelta(old.data(), old.size(), target.data(),
                               target.size(), options);
    SCOPED_TRACE(round);
    ExpectRoundTrip(old, target, delta, dir);
    // Searches that share a memo of matches find what each finds alone.
    std::vector<int32_t> suffixes = SortSuffixes(old.data(), old.size());
    MatchMemo memo(target.size());
    for (int64_t gain : {2, 8, 32}) {
      SeekingDelta alone =
          ComputeSeekingDelta(old.data(), old.size(), suffixes.data(),
                              target.data(), target.size(), gain);
      ExpectRoundTrip(old, target, alone, dir);
      SeekingDelta shared =
          ComputeSeekingDelta(old.data(), old.size(), suffixes.data(),
                              target.data(), target.size(), gain, &memo);
      EXPECT_EQ(EncodeSeekingInstructions(alone.instructions),
                EncodeSeekingInstructions(shared.instructions));
      EXPECT_EQ(alone.literal, shared.literal);
      EXPECT_EQ(alone.differences, shared.differences);
    }
    Delta shared = ComputeDelta(old.data(), old.size(), target.data(),
                                target.size(), options, suffixes.data(), &memo);
    EXPECT_EQ(EncodeInstructions(delta.instructions),
              EncodeInstructions(shared.instructions));
    EXPECT_EQ(delta.literal, shared.literal);
  }
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// How much of the new file is copied, with either matcher: bytes that lie
// in order are, behind a misleading match too (a forward extension must not
// run on through bytes that agree only by chance, a match out of order or
// far ahead must not hide the ones in order); a match shorter than eight
// bytes costs more in instruction bits than it saves and is not.
TEST(ComputeDelta, CopiesWhatLiesInOrderAndNoMatchBelowEight) {
  std::mt19937 random(23);
  Bytes before = RandomBytes(random, 3000), after = RandomBytes(random, 3000);
  Bytes table;  // small 32-bit numbers: three bytes in four are zero
  for (int i = 0; i < 400; ++i) {
    table.insert(table.end(),
                 {static_cast<uint8_t>(1 + random() % 255), 0, 0, 0});
  }
  Bytes moved = RandomBytes(random, 1000), head = RandomBytes(random, 100),
        between = RandomBytes(random, 50);
  Bytes scattered = RandomBytes(random, 200000), changed = scattered;
  for (int i = 0; i < 50; ++i) changed[random() % changed.size()] ^= 0xFF;
  // Pieces of seven old bytes, each followed by a byte that extends it to
  // eight neither here nor at the next piece's start.
  Bytes sevens;
  size_t at = random() % (before.size() - 8) + 1;
  for (int i = 0; i < 100; ++i) {
    sevens.insert(sevens.end(), before.begin() + at, before.begin() + at + 7);
    uint8_t next = before[at + 7];
    at = random() % (before.size() - 8) + 1;
    uint8_t separator = 0;
    while (separator == next || separator == before[at - 1]) ++separator;
    sevens.push_back(separator);
  }
  struct Case {
    const char* name;
    Bytes old, target;
    size_t least, most;  // bytes copied
  } cases[] = {
      {"padding before a table", Join({before, table, after}),
       Join({before, Bytes(500, 0), table, after}), 7600 - 8, SIZE_MAX},
      {"a longer copy out of order",
       Join({before, moved, between, after, head, moved}),
       Join({before, head, moved, after}), 7000 - 8, SIZE_MAX},
      {"a match far ahead", Join({before, moved, after, head}),
       Join({head, before, moved, after}), 7000 - 8, SIZE_MAX},
      {"scattered byte changes", scattered, changed, 200000 - 50 * 4, SIZE_MAX},
      {"pieces of seven", before, sevens, 0, 0},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    for (uint64_t limit : {uint64_t{1} << 30, uint64_t{0}}) {
      SCOPED_TRACE(std::string(c.name) + (limit ? "" : ", block matcher"));
      DiffOptions options;
      options.suffixArrayLimit = limit;
      Delta delta = ComputeDelta(c.old.data(), c.old.size(), c.target.data(),
                                 c.target.size(), options);
      EXPECT_GE(delta.copied, c.least);
      EXPECT_LE(delta.copied, c.most);
      ExpectRoundTrip(c.old, c.target, delta, dir);
    }
  }
}

// The seeking form takes what moved back, repeats and pieces with a few
// differing bytes from the old file; only new bytes become literal bytes.
TEST(ComputeSeekingDelta, TakesMovedRepeatedAndNearlyEqualBytes) {
  std::mt19937 random(24);
  Bytes a = RandomBytes(random, 30000), b = RandomBytes(random, 30000),
        c = RandomBytes(random, 30000), fresh = RandomBytes(random, 500);
  Bytes changed = Join({a, b, c});
  for (size_t i = 100; i < changed.size(); i += 1000) changed[i] += 3;
  // Runs of equal bytes that fill whole count bytes: 255, then 510.
  Bytes spaced = Join({a, b, c});
  for (size_t i = 100; i < 30000; i += 256) spaced[i] += 3;
  for (size_t i = 30000; i < spaced.size(); i += 511) spaced[i] += 5;
  const struct Case {
    const char* name;
    Bytes old, target;
    size_t literal;  // literal bytes at most
  } cases[] = {
      {"blocks in another order", Join({a, b, c}), Join({c, a, fresh, b}), 500},
      {"a block twice", Join({a, b}), Join({b, a, b}), 0},
      {"pointers that moved", Join({a, b, c}), changed, 0},
      {"equal runs of whole counts", Join({a, b, c}), spaced, 0},
      {"nothing in common", a, b, b.size()},
      {"from nothing", {}, a, a.size()},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SeekingDelta delta =
        ComputeSeekingDelta(c.old.data(), c.old.size(),
                            SortSuffixes(c.old.data(), c.old.size()).data(),
                            c.target.data(), c.target.size(), kMatchGain);
    EXPECT_LE(delta.literal.size(), c.literal);
    EXPECT_EQ(c.target.size() - delta.literal.size(), delta.copied);
    ExpectRoundTrip(c.old, c.target, delta, dir);
  }
}

// A match is taken when it has the gain's more equal bytes than the last
// alignment: pieces of twelve old bytes at 8, not at 16.
TEST(ComputeSeekingDelta, TakesAMatchOnlyWhenItGainsEnough) {
  std::mt19937 random(25);
  Bytes old = RandomBytes(random, 20000), target;
  for (int i = 0; i < 200; ++i) {
    size_t at = random() % (old.size() - 12);
    target.insert(target.end(), old.begin() + at, old.begin() + at + 12);
  }
  std::vector<int32_t> suffixes = SortSuffixes(old.data(), old.size());
  auto literal = [&](int64_t gain) {
    return ComputeSeekingDelta(old.data(), old.size(), suffixes.data(),
                               target.data(), target.size(), gain)
        .literal.size();
  };
  EXPECT_LT(literal(8), target.size() / 10);
  EXPECT_GT(literal(16), target.size() * 9 / 10);
}

}  // namespace
