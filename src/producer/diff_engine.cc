#include "producer/diff_engine.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

// Shorter matches cost more in instructions than they save.
constexpr size_t kMinMatch = 8;
// Forward extension stops once the score falls this far below its best.
// Measured on esbuild releases and the demo executable: 12 is no worse than
// 8, 16 or 24 on any of them (bench/patch_size.py).
constexpr int64_t kExtensionSlack = 12;
// A match saves 8 bits per equal byte and costs about two instructions.
constexpr int64_t kMatchOverheadBits = 48;
// Equal runs this short between differing bytes are cheaper inside the
// Replace around them than as a Copy of their own.
constexpr size_t kShortestCopyInside = 4;
constexpr size_t kBlock = 32;  // rolling-hash block

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
      --score;
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
  // bytes: Replace what they share, then Skip or Insert the rest.
  void Gap(size_t targetAt, size_t targetGap, size_t oldGap) {
    size_t shared = std::min(targetGap, oldGap);
    Add(kOpReplace, shared, targetAt);
    Add(kOpSkip, oldGap - shared, 0);
    Add(kOpInsert, targetGap - shared, targetAt + shared);
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

std::vector<Match> SuffixArrayMatches(const uint8_t* old, size_t oldSize,
                                      const uint8_t* target,
                                      size_t targetSize) {
  std::vector<int32_t> suffixes(oldSize);
  divsufsort(old, suffixes.data(), static_cast<int32_t>(oldSize));
  std::vector<Match> matches;
  size_t j = 0;
  while (j < targetSize) {
    size_t position = 0;
    size_t length = LongestMatch(old, oldSize, suffixes.data(), target + j,
                                 targetSize - j, &position);
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

Delta ComputeDelta(const uint8_t* old, size_t oldSize, const uint8_t* target,
                   size_t targetSize, const DiffOptions& options) {
  std::vector<Match> matches =
      oldSize <= options.suffixArrayLimit
          ? SuffixArrayMatches(old, oldSize, target, targetSize)
          : BlockMatches(old, oldSize, target, targetSize);
  Delta delta;
  Emitter emit(target, &delta);
  size_t oldAt = 0, targetAt = 0;
  for (const Match& match : BestChain(matches)) {
    emit.Gap(targetAt, match.target - targetAt, match.old - oldAt);
    emit.Region(old, match);
    targetAt = match.target + match.length;
    oldAt = match.old + match.length;
  }
  // The rest of the new file, and the old bytes nobody needs: the block
  // accounts for the whole old file.
  emit.Gap(targetAt, targetSize - targetAt, oldSize - oldAt);
  return delta;
}
