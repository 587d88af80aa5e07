// Computes the instructions and literal bytes that rebuild a new file from
// an old one.
//
// The format reads the old file and the literal block strictly forward, so
// what decides the size is how many new bytes can be matched to old bytes
// in order, and how few of the rest become literal bytes. The engine:
//   1. finds matches: the longest match of each new position in the old file
//      (a suffix array of the old file), or, for old files above the limit,
//      aligned blocks found by a rolling hash;
//   2. extends each match forward past a few differing bytes, as long as
//      equal bytes clearly outweigh different ones (a pointer that changed
//      inside moved code costs a short Replace, not a new match);
//   3. keeps the best in-order chain of matches (a weighted longest
//      increasing subsequence over old positions), so one match far ahead
//      in the old file cannot throw the rest away;
//   4. searches each gap the chain leaves again, its new bytes against its
//      own old bytes only, and chains what it finds there: padding or a
//      block that matched better elsewhere no longer hides the in-order copy
//      of what follows it;
//   5. fills the remaining gaps: the bytes old and new gaps share are
//      compared like a match, lined up with the match before or after the
//      gap, and the rest is skipped or inserted; equal runs are copied,
//      differing bytes replaced, and neighbours with one opcode merge.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "producer/delta_encoder.h"

struct DiffOptions {
  // Old files up to this size get a suffix array (about 5 bytes of memory
  // per old byte); larger ones the rolling-hash block matcher.
  uint64_t suffixArrayLimit = uint64_t{1} << 30;
  // The level the blocks kept are compressed at (1 to 9; 0, the highest,
  // for what create writes: tests of sizes rather than bytes go quicker).
  int compressionLevel = 0;
};

struct Delta {
  std::vector<DeltaInstruction> instructions;
  std::vector<uint8_t> literal;
  uint64_t copied = 0;  // new bytes taken from the old file
};

class MatchMemo;
// `suffixes` and `memo`, when given, are the old file's SortSuffixes and a
// memo of the new file's matches in it, which the search of the whole files
// takes its matches from (the seeking form's search made them already).
Delta ComputeDelta(const uint8_t* old, size_t oldSize, const uint8_t* target,
                   size_t targetSize, const DiffOptions& options = {},
                   const int32_t* suffixes = nullptr,
                   MatchMemo* memo = nullptr);

struct SeekingDelta {
  std::vector<SeekingInstruction> instructions;
  std::vector<uint8_t> literal;
  std::vector<uint8_t> differences;  // counted, as the decoder reads them
  uint64_t copied = 0;  // new bytes taken from the old file, near-copies too
};

// The seeking form, which takes old bytes from anywhere and near-copies as
// old bytes plus differences. Matches are found as bsdiff finds them: at
// each new position the longest match anywhere in the old file (a suffix
// array), taken when it has `matchGain` more equal bytes than the alignment
// of the last match over the same new bytes; each is then extended forward
// and back while more than half the bytes agree, and what lies between two
// is inserted. Inside a match, equal runs of kCopyRun bytes and more are
// copied, the rest added to its differences. The old file must have fewer
// than 2^31 bytes; `suffixes` is its SortSuffixes.
SeekingDelta ComputeSeekingDelta(const uint8_t* old, size_t oldSize,
                                 const int32_t* suffixes, const uint8_t* target,
                                 size_t targetSize, int64_t matchGain,
                                 MatchMemo* memo = nullptr);
// The suffix array of `old`.
std::vector<int32_t> SortSuffixes(const uint8_t* old, size_t oldSize);
// bsdiff's match gain.
constexpr int64_t kMatchGain = 8;

// A region of the new file that (mostly) equals a region of the old file.
struct Match {
  size_t target;
  size_t old;
  size_t length;
  size_t equal;  // bytes that are the same in both
};

// The longest prefix of target[0..targetSize) found anywhere in `old`, by
// binary search over the suffix array `suffixes`. Returns its length and
// sets `position`.
size_t LongestMatch(const uint8_t* old, size_t oldSize, const int32_t* suffixes,
                    const uint8_t* target, size_t targetSize, size_t* position);

// The longest match of each new position, kept once found: searches of the
// same two files at other gains visit mostly the same positions, and find
// them here instead of in the suffix array. Searches on several threads
// may share one; each position is found at most once per thread.
class MatchMemo {
 public:
  explicit MatchMemo(size_t targetSize);

  // As LongestMatch for target + `at`.
  size_t Longest(const uint8_t* old, size_t oldSize, const int32_t* suffixes,
                 const uint8_t* target, size_t targetSize, size_t at,
                 size_t* position);

 private:
  // The match's old position, kNoMatch or, until found, kUnknown (an old
  // file has fewer than 2^31 bytes); its length is found again from it.
  static constexpr uint32_t kNoMatch = 0x80000000u;
  static constexpr uint32_t kUnknown = 0xFFFFFFFFu;
  std::unique_ptr<std::atomic<uint32_t>[]> found;
};

// The best chain of matches: increasing and non-overlapping in both files,
// maximising the bits saved. `matches` are in target order and do not
// overlap in the target.
std::vector<Match> BestChain(const std::vector<Match>& matches);
