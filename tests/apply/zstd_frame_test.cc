#include "apply/zstd_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// Text that repeats with changes, as programs' strings and code do.
Bytes Phrases(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"patch ",   "file ",  "old ",  "new ",
                                       "version ", "block ", "copy ", "\n"};
  std::mt19937 random(seed);
  Bytes text;
  while (text.size() < size) {
    const char* word = kWords[random() % 8];
    text.insert(text.end(), word, word + std::strlen(word));
    if (random() % 16 == 0) text.push_back(static_cast<uint8_t>(random()));
  }
  text.resize(size);
  return text;
}

// Frames the reference encoder makes decode to their data: raw,
// run-length and compressed blocks, literals in one stream or four,
// tables predefined, run-length, described and repeated, at every kind of
// level, and windows smaller than the data, which the history slides over.
TEST(ZstdFrame, DecodesWhatTheEncoderMakes) {
  std::mt19937 random(11);
  Bytes noise(200000), runs, mixed = Phrases(150000, 2);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  for (int run = 0; run < 40; ++run) runs.resize(runs.size() + 5000, run);
  mixed.insert(mixed.end(), noise.begin(), noise.begin() + 50000);
  const struct {
    const char* what;
    Bytes data;
  } inputs[] = {
      {"nothing", {}},  {"one byte", {7}}, {"text", Phrases(300000, 1)},
      {"noise", noise}, {"runs", runs},    {"text and noise", mixed}};
  for (const auto& input : inputs) {
    for (int level : {1, 5, 19}) {
      for (int windowLog : {0, 10, 16}) {
        const Bytes frame = ZstdFrameOf(input.data, level, windowLog);
        Bytes out;
        EXPECT_TRUE(DecodeZstd(frame.data(), frame.size(), &out))
            << input.what << " at level " << level << ", window " << windowLog;
        EXPECT_EQ(input.data, out) << input.what << " at level " << level;
      }
    }
  }
  const Bytes text = Phrases(400000, 3);
  const Bytes frame = ZstdFrameOf(text, 22);
  Bytes out;
  EXPECT_TRUE(DecodeZstd(frame.data(), frame.size(), &out));
  EXPECT_EQ(text, out);
  // A window of 1 MiB, which slides a quarter of itself at a time, over
  // text that refers back across the slides.
  Bytes longText = Phrases(1 << 20, 5);
  longText.insert(longText.end(), longText.begin(), longText.end());
  longText.insert(longText.end(), mixed.begin(), mixed.end());
  longText.insert(longText.end(), longText.begin() + 300000,
                  longText.begin() + 1600000);
  const Bytes slid = ZstdFrameOf(longText, 3, 20);
  Bytes back;
  EXPECT_TRUE(DecodeZstd(slid.data(), slid.size(), &back));
  EXPECT_EQ(longText, back);
}

// What the applier does not decode is refused at the header: a checksum, a
// dictionary, the reserved bit, another magic number, a window beyond the
// limit; and a frame that ends sooner or later than its content size says
// is refused at its last block.
TEST(ZstdFrame, RefusesFramesItDoesNotTake) {
  const Bytes text = Phrases(100000, 4);
  // Windows of 64 KiB and of the whole content: 2^17 bytes either way.
  const Bytes windowed = ZstdFrameOf(text, 3, 16);
  const Bytes whole = ZstdFrameOf(text, 3);
  ASSERT_EQ(0, windowed[4] & 0x20);  // names its window
  ASSERT_NE(0, whole[4] & 0x20);     // its window is its content size
  auto refused = [](Bytes frame, int at, uint8_t bits, int maxWindowLog = 26) {
    frame[at] ^= bits;
    Bytes out;
    return !DecodeZstd(frame.data(), frame.size(), &out, maxWindowLog);
  };
  EXPECT_TRUE(refused(windowed, 4, 0x04)) << "a checksum";
  EXPECT_TRUE(refused(windowed, 4, 0x01)) << "a dictionary";
  EXPECT_TRUE(refused(windowed, 4, 0x08)) << "the reserved bit";
  EXPECT_TRUE(refused(windowed, 0, 0x01)) << "another magic number";
  EXPECT_TRUE(refused(windowed, 0, 0, 15)) << "a window beyond the limit";
  EXPECT_FALSE(refused(windowed, 0, 0, 16));
  EXPECT_TRUE(refused(whole, 0, 0, 16)) << "content beyond the limit";
  EXPECT_FALSE(refused(whole, 0, 0, 17));
  // The content size after the window byte: one more, or one less.
  EXPECT_TRUE(refused(windowed, 6, 0x01)) << "a content size that differs";
  for (size_t size = 0; size < windowed.size(); size += 97) {
    Bytes out;
    EXPECT_FALSE(DecodeZstd(windowed.data(), size, &out)) << size;
  }
}

// A damaged frame never reads or writes outside the decoder's memory (the
// sanitizers watch), and when it decodes, it decodes to the size it names.
TEST(ZstdFrame, DamagedFramesDecodeToTheirSizeOrNotAtAll) {
  const Bytes text = Phrases(20000, 5);
  for (int level : {1, 19}) {
    const Bytes frame = ZstdFrameOf(text, level, 12);
    for (size_t at = 4; at < frame.size(); ++at) {
      for (uint8_t bits : {0x01, 0x10, 0x80}) {
        Bytes damaged = frame;
        damaged[at] ^= bits;
        Bytes out;
        if (DecodeZstd(damaged.data(), damaged.size(), &out)) {
          EXPECT_EQ(text.size(), out.size()) << at;
        }
      }
    }
  }
}

}  // namespace
