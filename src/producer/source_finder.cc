#include "producer/source_finder.h"

#include <algorithm>
#include <array>
#include <fstream>

#include "package/name_rule.h"
#include "producer/patch_builder.h"

namespace fs = std::filesystem;

namespace {

// Chunks are cut where the rolling hash's low bits are zero, at least
// kMinChunk bytes apart and at most kMaxChunk: about 512 bytes each.
constexpr uint64_t kBoundaryMask = (1u << 9) - 1;
constexpr size_t kMinChunk = 64;
constexpr size_t kMaxChunk = 8192;

// The rolling hash's value of each byte: fixed pseudo-random numbers
// (splitmix64), so that sketches are the same at every run.
const std::array<uint64_t, 256>& Gear() {
  static const std::array<uint64_t, 256> table = [] {
    std::array<uint64_t, 256> values{};
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint64_t& value : values) {
      uint64_t z = state += 0x9E3779B97F4A7C15u;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      value = z ^ (z >> 31);
    }
    return values;
  }();
  return table;
}

// A name as Windows compares names (here: ASCII case folded), and with
// `digits` left out too: "libvips-cpp-#.#.#.dll".
std::string Folded(const std::string& name, bool digits) {
  std::string shape;
  for (char c : name) {
    if (digits && c >= '0' && c <= '9') {
      if (shape.empty() || shape.back() != '#') shape += '#';
    } else {
      shape += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
  }
  return shape;
}

std::string FolderOf(const std::string& name) {
  size_t separator = name.rfind('\\');
  return separator == std::string::npos ? std::string()
                                        : name.substr(0, separator);
}

// A file name without its folder, its digits left out.
std::string Shape(const std::string& name) {
  size_t separator = name.rfind('\\');
  return Folded(
      separator == std::string::npos ? name : name.substr(separator + 1), true);
}

}  // namespace

std::vector<uint64_t> Sketch(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ProducerError("cannot read " + EscapeName(path.u8string()));
  }
  const std::array<uint64_t, 256>& gear = Gear();
  std::vector<uint64_t> hashes;
  std::vector<char> buffer(1 << 20);
  uint64_t rolling = 0, chunk = 0xCBF29CE484222325u;  // FNV-1a's basis
  size_t length = 0;
  for (;;) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) {
      throw ProducerError("cannot read " + EscapeName(path.u8string()));
    }
    const size_t got = static_cast<size_t>(in.gcount());
    for (size_t i = 0; i < got; ++i) {
      const auto byte = static_cast<uint8_t>(buffer[i]);
      rolling = (rolling << 1) + gear[byte];
      chunk = (chunk ^ byte) * 0x100000001B3u;
      ++length;
      if ((length >= kMinChunk && (rolling & kBoundaryMask) == 0) ||
          length == kMaxChunk) {
        hashes.push_back(chunk);
        chunk = 0xCBF29CE484222325u;
        length = 0;
      }
    }
    if (got < buffer.size()) break;
  }
  if (length > 0) hashes.push_back(chunk);
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  if (hashes.size() > kSketchSize) hashes.resize(kSketchSize);
  return hashes;
}

SourceFinder::SourceFinder(std::vector<OldFile> olds)
    : olds_(std::move(olds)) {}

void SourceFinder::IndexSketches() {
  if (indexed_) return;
  indexed_ = true;
  for (size_t i = 0; i < olds_.size(); ++i) {
    for (uint64_t value : Sketch(olds_[i].path)) index_[value].push_back(i);
  }
}

const OldFile* SourceFinder::Find(const std::string& name,
                                  const fs::path& path) {
  const std::string shape = Shape(name);
  const std::string folder = Folded(FolderOf(name), false);
  std::vector<size_t> named;
  for (size_t i = 0; i < olds_.size(); ++i) {
    if (olds_[i].removed && Shape(olds_[i].name) == shape &&
        Folded(FolderOf(olds_[i].name), false) == folder) {
      named.push_back(i);
    }
  }
  if (named.size() == 1) return &olds_[named[0]];

  // Shared sketch values: among the names that fit, or among every file.
  IndexSketches();
  const std::vector<uint64_t> sketch = Sketch(path);
  std::unordered_map<size_t, size_t> shared;
  for (uint64_t value : sketch) {
    auto found = index_.find(value);
    if (found == index_.end()) continue;
    for (size_t i : found->second) {
      if (named.empty() || std::count(named.begin(), named.end(), i))
        ++shared[i];
    }
  }
  const OldFile* best = nullptr;
  size_t bestShared = 0;
  for (const auto& item : shared) {
    const OldFile& old = olds_[item.first];
    bool better = item.second > bestShared ||
                  (item.second == bestShared &&
                   (old.removed > best->removed ||
                    (old.removed == best->removed && old.name < best->name)));
    if (better) {
      best = &old;
      bestShared = item.second;
    }
  }
  if (!named.empty()) return best != nullptr ? best : &olds_[named.back()];
  return bestShared * 8 >= sketch.size() ? best : nullptr;
}
