// The compressed streams of a package with PackageFlagCompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/package_format.h"

// `data` as one Zstandard frame at the highest level, with a window no
// larger than the data and 2^maxWindowLog (at most the applier's limit).
// Throws ProducerError when the encoder fails.
std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size,
                                   int maxWindowLog = kMaxWindowLog);
// The differences of near-copies are mostly zeros, and what they share lies
// close together: an 8 MiB window finds it, and bounds what the applier
// holds besides the literal stream's window.
constexpr int kDifferenceWindowLog = 23;
// A compressed instruction block: the 4-byte count of `instructions` (at
// most INT32_MAX of them), then their stream.
std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions);
