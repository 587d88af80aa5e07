// The compressed streams of a package with PackageFlagCompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/package_format.h"

// `data` as one LZMA stream with its end marker, at `level` (1 to 9; 0, the
// default, is the highest, with the longest matches), with a dictionary no
// larger than the data and 2^maxWindowLog (at most the applier's limit).
// Throws ProducerError when the encoder fails.
std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size,
                                   int maxWindowLog = kMaxWindowLog,
                                   int level = 0);
// The differences of near-copies are mostly zeros, and what they share lies
// close together: an 8 MiB dictionary finds it, and bounds what the applier
// holds besides the literal stream's dictionary.
constexpr int kDifferenceWindowLog = 23;
// A compressed instruction block: the 4-byte count of `instructions` (at
// most INT32_MAX of them), then their stream, at `level` as CompressBlock.
std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions, int level = 0);
