#include "producer/code_sections.h"

#include <algorithm>
#include <cstring>

namespace {

// Section characteristics: contains code, or may be executed.
constexpr uint32_t kSectionCode = 0x20;
constexpr uint32_t kSectionExecute = 0x20000000;

template <typename T>
bool Get(const uint8_t* data, size_t size, uint64_t at, T* value) {
  if (at > size || sizeof(T) > size - at) return false;
  std::memcpy(value, data + at, sizeof(T));
  return true;
}

template <typename T>
void Append(std::vector<uint8_t>* out, T value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  out->insert(out->end(), bytes, bytes + sizeof value);
}

}  // namespace

CodeLayout FindCode(const uint8_t* data, size_t size) {
  CodeLayout layout;
  uint16_t mz = 0, machine = 0, sections = 0, optionalSize = 0;
  uint32_t ntOffset = 0, signature = 0, imageSize = 0;
  if (!Get(data, size, 0, &mz) || mz != 0x5A4D ||
      !Get(data, size, 60, &ntOffset) ||
      !Get(data, size, ntOffset, &signature) || signature != 0x00004550 ||
      !Get(data, size, uint64_t{ntOffset} + 4, &machine) ||
      !Get(data, size, uint64_t{ntOffset} + 6, &sections) ||
      !Get(data, size, uint64_t{ntOffset} + 20, &optionalSize) ||
      !Get(data, size, uint64_t{ntOffset} + 24 + 56, &imageSize)) {
    return layout;
  }
  uint32_t kind = machine == 0x14C    ? kTransformX86
                  : machine == 0x8664 ? kTransformX64
                                      : kTransformNone;
  uint64_t table = uint64_t{ntOffset} + 24 + optionalSize;
  std::vector<CodeRange> ranges;
  for (uint32_t i = 0; i < sections && kind != kTransformNone; ++i) {
    uint64_t at = table + 40 * uint64_t{i};
    uint32_t address = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
    if (!Get(data, size, at + 12, &address) ||
        !Get(data, size, at + 16, &rawSize) ||
        !Get(data, size, at + 20, &rawOffset) ||
        !Get(data, size, at + 36, &characteristics)) {
      return layout;
    }
    if ((characteristics & (kSectionCode | kSectionExecute)) == 0 ||
        rawOffset >= size) {
      continue;
    }
    uint32_t clipped =
        static_cast<uint32_t>(std::min<uint64_t>(rawSize, size - rawOffset));
    if (clipped > 0) ranges.push_back({rawOffset, clipped, address});
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const CodeRange& a, const CodeRange& b) {
              return a.offset < b.offset;
            });
  uint64_t next = 0;
  for (const CodeRange& range : ranges) {
    if (range.offset < next || layout.ranges.size() == kMaxCodeRanges) continue;
    layout.ranges.push_back(range);
    next = range.offset + range.size;
  }
  if (!layout.ranges.empty()) {
    layout.kind = kind;
    layout.imageSize = imageSize;
  }
  return layout;
}

uint32_t SharedTransform(const CodeLayout& old, const CodeLayout& target,
                         std::vector<uint8_t>* parameters,
                         TransformParameters* parsed) {
  parameters->clear();
  if (old.kind == kTransformNone || old.kind != target.kind)
    return kTransformNone;
  // Every address of either image lies in [0, 2^(width-1)): a relative
  // operand that reaches inside the image converts to the address itself.
  uint32_t width = kMinTransformWidth;
  uint64_t largest = std::max(old.imageSize, target.imageSize);
  while (width < 32 && (uint64_t{1} << (width - 1)) < largest) ++width;
  Append(parameters, width);
  Append(parameters, static_cast<uint32_t>(old.ranges.size()));
  Append(parameters, static_cast<uint32_t>(target.ranges.size()));
  for (const std::vector<CodeRange>* ranges : {&old.ranges, &target.ranges}) {
    for (const CodeRange& range : *ranges) {
      Append(parameters, range.offset);
      Append(parameters, range.size);
      Append(parameters, range.address);
    }
  }
  parsed->width = width;
  parsed->old = old.ranges;
  parsed->target = target.ranges;
  return old.kind;
}
