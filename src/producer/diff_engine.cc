#include "producer/diff_engine.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

// Shorter matches cost more in instructions than they save.
constexpr size_t kMinMatch = 8;
// Forward extension: an equal byte scores 1, a differing one loses
// kMismatchWeight, and the extension stops once the score falls
// kExtensionSlack below its best. Equal bytes inside a Replace save nothing,
// so an extension pays only where most bytes are equal; with a weight of 1
// it ran on through tables whose zero bytes agree by chance, and swallowed
// the in-order match behind them. Measured on esbuild releases and the demo
// executable (bench/patch_size.py): weight 4 and slack 8 are no worse than
// weights 1 to 8 and slacks 4 to 24 on any of them.
constexpr int64_t kExtensionSlack = 8;
constexpr int64_t kMismatchWeight = 4;
// A match saves 8 bits per equal byte and costs about two instructions.
constexpr int64_t kMatchOverheadBits = 48;
// Equal runs this short between differing bytes are cheaper inside the
// Replace around them than as a Copy of their own (a Copy of 2 and the
// Replace it splits cost 14 bits; two literal bytes compress no smaller).
constexpr size_t kShortestCopyInside = 2;
constexpr size_t kBlock = 32;  // rolling-hash block
// Levels of gaps searched again on their own. One level takes what there
// is: on the demo executable a second finds nothing more, on esbuild
// releases a second and third change the package by under 0.1%.
constexpr int kGapDepth = 1;
// Ranges whose old and new sizes multiply to at most this are searched
// without a suffix array.
constexpr uint64_t kDirectSearch = 1 << 16;

size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Extends an exact match forward over differing bytes while equal bytes
// outweigh them; returns the extra length and adds the equal bytes.
size_t ExtendForward(const uint8_t* old, size_t oldLeft, const uint8_t* target,
                     size_t targetLeft, size_t* equal) {
  size_t limit = std::min(oldLeft, targetLeft);
  int64_t score = 0, best = 0;
  size_t bestLength = 0, equalAtBest = 0, equalSoFar = 0;
  for (size_t i = 0; i < limit; ++i) {
    if (old[i] == target[i]) {
      ++score;
      ++equalSoFar;
    } else {
      score -= kMismatchWeight;
    }
    if (score > best) {
      best = score;
      bestLength = i + 1;
      equalAtBest = equalSoFar;
    } else if (score < best - kExtensionSlack) {
      break;
    }
  }
  *equal += equalAtBest;
  return bestLength;
}

size_t EqualBytes(const uint8_t* a, const uint8_t* b, size_t size) {
  size_t n = 0;
  for (size_t i = 0; i < size; ++i) n += a[i] == b[i];
  return n;
}

class Emitter {
 public:
  Emitter(const uint8_t* target, Delta* delta)
      : target_(target), delta_(delta) {}

  void Add(uint32_t op, size_t length, size_t targetAt) {
    if (length == 0) return;
    if (op == kOpInsert || op == kOpReplace) {
      delta_->literal.insert(delta_->literal.end(), target_ + targetAt,
                             target_ + targetAt + length);
    }
    if (op == kOpCopy) delta_->copied += length;
    std::vector<DeltaInstruction>& out = delta_->instructions;
    while (length > 0) {
      auto piece = static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX));
      if (!out.empty() && out.back().op == op &&
          uint64_t{out.back().length} + piece <= UINT32_MAX) {
        out.back().length += piece;
      } else {
        // Only a run longer than 4 GiB - 1 ever repeats an opcode.
        out.push_back({op, piece});
      }
      length -= piece;
    }
  }

  // A gap of `targetGap` new bytes (from `targetAt`) against `oldGap` old
  // bytes (from `oldAt`): as many of them as both have are a region, lined
  // up with the match before the gap or with the one after it, whichever
  // leaves more bytes equal; the rest is skipped or inserted.
  void Gap(const uint8_t* old, size_t oldAt, size_t oldGap, size_t targetAt,
           size_t targetGap) {
    size_t shared = std::min(targetGap, oldGap);
    size_t oldRest = oldGap - shared, targetRest = targetGap - shared;
    if (EqualBytes(old + oldAt, target_ + targetAt, shared) >=
        EqualBytes(old + oldAt + oldRest, target_ + targetAt + targetRest,
                   shared)) {
      Region(old, {targetAt, oldAt, shared, 0});
      Add(kOpSkip, oldRest, 0);
      Add(kOpInsert, targetRest, targetAt + shared);
    } else {
      Add(kOpSkip, oldRest, 0);
      Add(kOpInsert, targetRest, targetAt);
      Region(old, {targetAt + targetRest, oldAt + oldRest, shared, 0});
    }
  }

  // A matched region: equal runs are copied, differing bytes replaced;
  // equal runs too short to pay for themselves go into the Replace.
  void Region(const uint8_t* old, const Match& match) {
    const uint8_t* target = target_ + match.target;
    const uint8_t* source = old + match.old;
    size_t i = 0;
    while (i < match.length) {
      size_t same = CommonPrefix(source + i, target + i, match.length - i);
      if (same > 0) {
        Add(kOpCopy, same, match.target + i);
        i += same;
        continue;
      }
      size_t start = i;
      while (i < match.length) {
        size_t run = CommonPrefix(source + i, target + i, match.length - i);
        if (run >= kShortestCopyInside || i + run == match.length) break;
        i += run + 1;
      }
      Add(kOpReplace, i - start, match.target + start);
    }
  }

 private:
  const uint8_t* target_;
  Delta* delta_;
};

// The longest prefix of target[0..targetSize) in `old`, trying every start.
size_t DirectLongestMatch(const uint8_t* old, size_t oldSize,
                          const uint8_t* target, size_t targetSize,
                          size_t* position) {
  size_t best = 0;
  *position = 0;
  for (size_t at = 0; at < oldSize; ++at) {
    size_t length =
        CommonPrefix(old + at, target, std::min(oldSize - at, targetSize));
    if (length > best) {
      best = length;
      *position = at;
    }
  }
  return best;
}

// LongestMatch for target + `at`, from `memo` when there is one.
size_t LongestAt(MatchMemo* memo, const uint8_t* old, size_t oldSize,
                 const int32_t* suffixes, const uint8_t* target,
                 size_t targetSize, size_t at, size_t* position) {
  return memo != nullptr ? memo->Longest(old, oldSize, suffixes, target,
                                         targetSize, at, position)
                         : LongestMatch(old, oldSize, suffixes, target + at,
                                        targetSize - at, position);
}

// `sorted` and `memo`: see ComputeDelta.
std::vector<Match> SuffixArrayMatches(const uint8_t* old, size_t oldSize,
                                      const uint8_t* target, size_t targetSize,
                                      const int32_t* sorted, MatchMemo* memo) {
  // Building a suffix array costs a fixed 256 KiB of buckets: the many
  // small gaps of a chain are searched directly.
  bool direct =
      sorted == nullptr && uint64_t{oldSize} * targetSize <= kDirectSearch;
  std::vector<int32_t> suffixes;
  if (!direct && sorted == nullptr) {
    suffixes.resize(oldSize);
    divsufsort(old, suffixes.data(), static_cast<int32_t>(oldSize));
    sorted = suffixes.data();
  }
  std::vector<Match> matches;
  size_t j = 0;
  while (j < targetSize) {
    size_t position = 0;
    size_t length = direct ? DirectLongestMatch(old, oldSize, target + j,
                                                targetSize - j, &position)
                           : LongestAt(memo, old, oldSize, sorted, target,
                                       targetSize, j, &position);
    if (length < kMinMatch) {
      ++j;
      continue;
    }
    size_t equal = length;
    length +=
        ExtendForward(old + position + length, oldSize - position - length,
                      target + j + length, targetSize - j - length, &equal);
    matches.push_back({j, position, length, equal});
    j += length;
  }
  return matches;
}

uint64_t BlockHash(const uint8_t* p) {
  uint64_t hash = 0;
  for (size_t i = 0; i < kBlock; ++i) hash = hash * 0x100000001B3ull + p[i];
  return hash;
}

std::vector<Match> BlockMatches(const uint8_t* old, size_t oldSize,
                                const uint8_t* target, size_t targetSize) {
  std::unordered_map<uint64_t, size_t> blocks;
  blocks.reserve(oldSize / kBlock + 1);
  for (size_t i = 0; i + kBlock <= oldSize; i += kBlock) {
    blocks.emplace(BlockHash(old + i), i);
  }
  uint64_t power = 1;  // the weight of the byte leaving the window
  for (size_t i = 1; i < kBlock; ++i) power *= 0x100000001B3ull;
  std::vector<Match> matches;
  size_t j = 0;
  size_t matchedUpTo = 0;
  uint64_t hash = targetSize >= kBlock ? BlockHash(target) : 0;
  while (j + kBlock <= targetSize) {
    auto found = blocks.find(hash);
    if (found != blocks.end() &&
        std::memcmp(old + found->second, target + j, kBlock) == 0) {
      size_t position = found->second;
      // Back over equal bytes the last match left, then forward.
      size_t back = 0;
      while (back < position && back < j - matchedUpTo &&
             old[position - back - 1] == target[j - back - 1]) {
        ++back;
      }
      size_t start = j - back, from = position - back;
      size_t length = back + kBlock +
                      CommonPrefix(old + position + kBlock, target + j + kBlock,
                                   std::min(oldSize - position - kBlock,
                                            targetSize - j - kBlock));
      size_t equal = length;
      length += ExtendForward(old + from + length, oldSize - from - length,
                              target + start + length,
                              targetSize - start - length, &equal);
      matches.push_back({start, from, length, equal});
      j = matchedUpTo = start + length;
      if (j + kBlock <= targetSize) hash = BlockHash(target + j);
      continue;
    }
    if (j + kBlock < targetSize) {
      hash = (hash - target[j] * power) * 0x100000001B3ull + target[j + kBlock];
    }
    ++j;
  }
  return matches;
}

// Fenwick tree of (best score, match index) over prefix positions.
class PrefixBest {
 public:
  explicit PrefixBest(size_t size) : tree_(size + 1, {0, -1}) {}
  void Raise(size_t at, int64_t score, int64_t index) {
    for (size_t i = at + 1; i < tree_.size(); i += i & (~i + 1)) {
      if (score > tree_[i].first) tree_[i] = {score, index};
    }
  }
  std::pair<int64_t, int64_t> Best(size_t upTo) const {  // positions < upTo
    std::pair<int64_t, int64_t> best{0, -1};
    for (size_t i = upTo; i > 0; i -= i & (~i + 1)) {
      if (tree_[i].first > best.first) best = tree_[i];
    }
    return best;
  }

 private:
  std::vector<std::pair<int64_t, int64_t>> tree_;
};

}  // namespace

size_t LongestMatch(const uint8_t* old, size_t oldSize, const int32_t* suffixes,
                    const uint8_t* target, size_t targetSize,
                    size_t* position) {
  *position = 0;
  if (oldSize == 0 || targetSize == 0) return 0;
  // Narrow [low, high] to the suffixes around where the target would sort.
  size_t low = 0, high = oldSize - 1;
  while (high - low > 1) {
    size_t middle = low + (high - low) / 2;
    size_t at = static_cast<size_t>(suffixes[middle]);
    size_t common = std::min(oldSize - at, targetSize);
    int order = std::memcmp(old + at, target, common);
    if (order < 0 || (order == 0 && oldSize - at < targetSize)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  size_t best = 0;
  for (size_t candidate : {low, high}) {
    size_t at = static_cast<size_t>(suffixes[candidate]);
    size_t length =
        CommonPrefix(old + at, target, std::min(oldSize - at, targetSize));
    if (length > best) {
      best = length;
      *position = at;
    }
  }
  return best;
}

MatchMemo::MatchMemo(size_t targetSize)
    : found(new std::atomic<uint32_t>[targetSize]) {
  for (size_t i = 0; i < targetSize; ++i)
    found[i].store(kUnknown, std::memory_order_relaxed);
}

size_t MatchMemo::Longest(const uint8_t* old, size_t oldSize,
                          const int32_t* suffixes, const uint8_t* target,
                          size_t targetSize, size_t at, size_t* position) {
  const uint32_t known = found[at].load(std::memory_order_relaxed);
  if (known == kUnknown) {
    size_t length = LongestMatch(old, oldSize, suffixes, target + at,
                                 targetSize - at, position);
    found[at].store(length == 0 ? kNoMatch : static_cast<uint32_t>(*position),
                    std::memory_order_relaxed);
    return length;
  }
  *position = known == kNoMatch ? 0 : known;
  return known == kNoMatch
             ? 0
             : CommonPrefix(old + known, target + at,
                            std::min(oldSize - known, targetSize - at));
}

std::vector<Match> BestChain(const std::vector<Match>& matches) {
  // Scores: bits saved. The chain's predecessor must end (in the old file)
  // at or before a match's start; old end positions are ranked.
  std::vector<size_t> ends;
  for (const Match& m : matches) ends.push_back(m.old + m.length);
  std::sort(ends.begin(), ends.end());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  PrefixBest best(ends.size());
  std::vector<int64_t> previous(matches.size(), -1);
  int64_t bestScore = 0, bestLast = -1;
  for (size_t k = 0; k < matches.size(); ++k) {
    const Match& m = matches[k];
    int64_t gain = static_cast<int64_t>(m.equal) * 8 - kMatchOverheadBits;
    if (gain <= 0) continue;
    size_t reachable = static_cast<size_t>(
        std::upper_bound(ends.begin(), ends.end(), m.old) - ends.begin());
    std::pair<int64_t, int64_t> before = best.Best(reachable);
    int64_t score = before.first + gain;
    previous[k] = before.second;
    size_t rank = static_cast<size_t>(
        std::lower_bound(ends.begin(), ends.end(), m.old + m.length) -
        ends.begin());
    best.Raise(rank, score, static_cast<int64_t>(k));
    if (score > bestScore) {
      bestScore = score;
      bestLast = static_cast<int64_t>(k);
    }
  }
  std::vector<Match> chain;
  for (int64_t k = bestLast; k >= 0; k = previous[static_cast<size_t>(k)]) {
    chain.push_back(matches[static_cast<size_t>(k)]);
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

namespace {

// Appends the best chain of target[targetAt, targetEnd) against
// old[oldAt, oldEnd), then, `depth` levels down, the chains inside the gaps
// it leaves: the whole-file search takes each position's longest match
// anywhere, which can hide a shorter one that fits in order. `sorted` and
// `memo` (see ComputeDelta) serve the whole files only.
void ChainIn(const uint8_t* old, size_t oldAt, size_t oldEnd,
             const uint8_t* target, size_t targetAt, size_t targetEnd,
             int depth, const DiffOptions& options, std::vector<Match>* out,
             const int32_t* sorted = nullptr, MatchMemo* memo = nullptr) {
  size_t oldSize = oldEnd - oldAt, targetSize = targetEnd - targetAt;
  if (oldSize < kMinMatch || targetSize < kMinMatch) return;
  std::vector<Match> matches =
      oldSize <= options.suffixArrayLimit
          ? SuffixArrayMatches(old + oldAt, oldSize, target + targetAt,
                               targetSize, sorted, memo)
          : BlockMatches(old + oldAt, oldSize, target + targetAt, targetSize);
  for (Match& match : matches) {
    match.old += oldAt;
    match.target += targetAt;
  }
  std::vector<Match> chain = BestChain(matches);
  if (chain.empty()) return;
  for (const Match& match : chain) {
    if (depth > 0) {
      ChainIn(old, oldAt, match.old, target, targetAt, match.target, depth - 1,
              options, out);
    }
    out->push_back(match);
    oldAt = match.old + match.length;
    targetAt = match.target + match.length;
  }
  if (depth > 0) {
    ChainIn(old, oldAt, oldEnd, target, targetAt, targetEnd, depth - 1, options,
            out);
  }
}

}  // namespace

Delta ComputeDelta(const uint8_t* old, size_t oldSize, const uint8_t* target,
                   size_t targetSize, const DiffOptions& options,
                   const int32_t* suffixes, MatchMemo* memo) {
  std::vector<Match> chain;
  ChainIn(old, 0, oldSize, target, 0, targetSize, kGapDepth, options, &chain,
          suffixes, memo);
  Delta delta;
  Emitter emit(target, &delta);
  size_t oldAt = 0, targetAt = 0;
  for (const Match& match : chain) {
    emit.Gap(old, oldAt, match.old - oldAt, targetAt, match.target - targetAt);
    emit.Region(old, match);
    targetAt = match.target + match.length;
    oldAt = match.old + match.length;
  }
  // The rest of the new file, and the old bytes nobody needs: the block
  // accounts for the whole old file.
  emit.Gap(old, oldAt, oldSize - oldAt, targetAt, targetSize - targetAt);
  return delta;
}

namespace {

// An equal run inside a near-copy at least this long is copied on its own.
// Zero differences compress to almost nothing, instructions do not: on the
// programs of bench/patch_size.py runs of 32 made packages 10% larger than
// runs of 1,024, and 1,024 is within 0.3% of never splitting.
constexpr size_t kCopyRun = 1024;

class SeekingEmitter {
 public:
  SeekingEmitter(const uint8_t* old, const uint8_t* target, SeekingDelta* delta)
      : old_(old), target_(target), delta_(delta) {}

  // `length` new bytes from `targetAt` against the old bytes at `oldAt`.
  void Region(size_t oldAt, size_t targetAt, size_t length) {
    if (length == 0) return;
    if (oldAt != position_) {
      bool back = oldAt < position_;
      uint64_t distance = back ? position_ - oldAt : oldAt - position_;
      Add(kOpSeek, distance, back);
      position_ = oldAt;
    }
    const uint8_t* a = old_ + oldAt;
    const uint8_t* b = target_ + targetAt;
    size_t done = 0, run = 0;  // bytes emitted; equal bytes just before i
    for (size_t i = 0; i <= length; ++i) {
      if (i < length && a[i] == b[i]) {
        ++run;
        continue;
      }
      if (run >= kCopyRun || run == length) {
        Near(a, b, done, i - run);
        Add(kOpCopy, run, false);
        done = i;
      }
      run = 0;
    }
    Near(a, b, done, length);
    position_ += length;
    delta_->copied += length;
  }

  void Insert(size_t targetAt, size_t length) {
    if (length == 0) return;
    delta_->literal.insert(delta_->literal.end(), target_ + targetAt,
                           target_ + targetAt + length);
    Add(kOpInsert, length, false);
  }

  // The zero differences after the last non-zero one, as their count.
  void Finish() {
    if (zeros_ > 0) Count();
  }

 private:
  // Bytes [from, to) of a region as a near-copy. Its differences are
  // stored as the decoder reads them: each non-zero one after the count of
  // zero ones before it.
  void Near(const uint8_t* a, const uint8_t* b, size_t from, size_t to) {
    if (to <= from) return;
    for (size_t i = from; i < to; ++i) {
      auto difference = static_cast<uint8_t>(b[i] - a[i]);
      if (difference == 0) {
        ++zeros_;
        continue;
      }
      Count();
      delta_->differences.push_back(difference);
    }
    Add(kOpAdd, to - from, false);
  }

  // The zeros since the last non-zero difference: a byte of 255 for each
  // 255, then the rest.
  void Count() {
    for (; zeros_ >= 255; zeros_ -= 255) delta_->differences.push_back(255);
    delta_->differences.push_back(static_cast<uint8_t>(zeros_));
    zeros_ = 0;
  }

  void Add(uint32_t op, uint64_t length, bool back) {
    std::vector<SeekingInstruction>& out = delta_->instructions;
    while (length > 0) {
      auto piece =
          static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
      if (!out.empty() && out.back().op == op && out.back().back == back &&
          uint64_t{out.back().length} + piece <= UINT32_MAX) {
        out.back().length += piece;
      } else {
        out.push_back({op, piece, back});
      }
      length -= piece;
    }
  }

  const uint8_t* old_;
  const uint8_t* target_;
  SeekingDelta* delta_;
  size_t position_ = 0;  // in the old file, where the applier stands
  size_t zeros_ = 0;     // differences since the last non-zero one
};

}  // namespace

std::vector<int32_t> SortSuffixes(const uint8_t* old, size_t oldSize) {
  std::vector<int32_t> suffixes(oldSize);
  if (oldSize > 0)
    divsufsort(old, suffixes.data(), static_cast<int32_t>(oldSize));
  return suffixes;
}

SeekingDelta ComputeSeekingDelta(const uint8_t* old, size_t oldSize,
                                 const int32_t* suffixes, const uint8_t* target,
                                 size_t targetSize, int64_t matchGain,
                                 MatchMemo* memo) {
  SeekingDelta delta;
  SeekingEmitter emit(old, target, &delta);
  const auto n = static_cast<int64_t>(targetSize);
  const auto m = static_cast<int64_t>(oldSize);
  // The last match: its new and old starts, and old minus new.
  int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
  int64_t scan = 0, length = 0, pos = 0;
  auto agrees = [&](int64_t at, int64_t offset) {
    return at + offset < m && old[at + offset] == target[at];
  };
  while (scan < n) {
    // Equal bytes of the last alignment over [scan, scan + length).
    int64_t oldScore = 0;
    int64_t scored = scan += length;
    for (; scan < n; ++scan) {
      size_t at = 0;
      length = static_cast<int64_t>(LongestAt(memo, old, oldSize, suffixes,
                                              target, targetSize,
                                              static_cast<size_t>(scan), &at));
      pos = static_cast<int64_t>(at);
      for (; scored < scan + length; ++scored)
        oldScore += agrees(scored, lastOffset);
      if ((length == oldScore && length != 0) ||
          length > oldScore + matchGain) {
        break;
      }
      oldScore -= agrees(scan, lastOffset);
    }
    if (length == oldScore && scan != n) continue;  // the alignment goes on
    // How far the last match reaches forward, and this one back, while
    // more than half their bytes agree.
    int64_t forward = 0, back = 0;
    for (int64_t i = 0, same = 0, best = 0;
         lastScan + i < scan && lastPos + i < m;) {
      same += old[lastPos + i] == target[lastScan + i];
      ++i;
      if (same * 2 - i > best * 2 - forward) {
        best = same;
        forward = i;
      }
    }
    if (scan < n) {
      for (int64_t i = 1, same = 0, best = 0; scan >= lastScan + i && pos >= i;
           ++i) {
        same += old[pos - i] == target[scan - i];
        if (same * 2 - i > best * 2 - back) {
          best = same;
          back = i;
        }
      }
    }
    // Where they overlap, the split that keeps the most equal bytes.
    if (lastScan + forward > scan - back) {
      int64_t overlap = lastScan + forward - (scan - back);
      int64_t score = 0, best = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        score += target[lastScan + forward - overlap + i] ==
                 old[lastPos + forward - overlap + i];
        score -= target[scan - back + i] == old[pos - back + i];
        if (score > best) {
          best = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      back -= split;
    }
    emit.Region(static_cast<size_t>(lastPos), static_cast<size_t>(lastScan),
                static_cast<size_t>(forward));
    emit.Insert(static_cast<size_t>(lastScan + forward),
                static_cast<size_t>(scan - back - lastScan - forward));
    lastScan = scan - back;
    lastPos = pos - back;
    lastOffset = pos - scan;
  }
  emit.Finish();
  return delta;
}
