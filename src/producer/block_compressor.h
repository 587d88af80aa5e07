// The compressed streams of a package with PackageFlagCompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// `data` as one Zstandard frame at the highest level, with a window no
// larger than the data and the applier's limit. Throws ProducerError when
// the encoder fails.
std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size);
// A compressed instruction block: the 4-byte count of `instructions` (at
// most INT32_MAX of them), then their stream.
std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions);
