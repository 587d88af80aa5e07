// The compressed streams of a package with PackageFlagCompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "apply/compressed_read_data.h"
#include "package/package_format.h"

// How the encoder models a stream's bytes: the bits of the previous byte
// (lc) and of the position (lp) a literal is coded in the context of, and
// the position bits the rest is (pb). The stream's header names them, and
// the decoder takes any.
struct StreamModel {
  int literalContext, literalPosition, position;
};
// LZMA's own, for files: text and programs.
constexpr StreamModel kFileModel = {3, 0, 2};
// Instruction parts and the differences of near-copies are bytes with no
// alignment, where a byte says little of the next: with fewer contexts
// each is learnt sooner. Measured on the benchmark's programs, the parts
// come out 1-2% smaller, the differences about 0.5%.
constexpr StreamModel kInstructionModel = {1, 0, 0};
constexpr StreamModel kDifferenceModel = {2, 0, 0};

// `data` as one LZMA stream with its end marker, at `level` (1 to 9; 0, the
// default, is the highest, with the longest matches), with a dictionary no
// larger than the data and 2^maxWindowLog (at most the applier's limit).
// Throws ProducerError when the encoder fails.
std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size,
                                   int maxWindowLog = kMaxWindowLog,
                                   int level = 0,
                                   const StreamModel& model = kFileModel);
// What the differences of near-copies share lies close together: an 8 MiB
// dictionary finds it, and bounds what the applier holds besides the
// literal stream's dictionary.
constexpr int kDifferenceWindowLog = 23;
// `data` as one Zstandard frame (see EntryOptionZstd) at `level` as
// CompressBlock, with a window no larger than the data and 2^maxWindowLog.
// Throws ProducerError when the encoder fails.
std::vector<uint8_t> CompressFrame(const uint8_t* data, size_t size,
                                   int maxWindowLog = kMaxWindowLog,
                                   int level = 0);
// `data` as CompressBlock codes it with `model`, or as CompressFrame, by
// `codec`.
std::vector<uint8_t> CompressStream(const uint8_t* data, size_t size,
                                    int maxWindowLog, int level,
                                    const StreamModel& model,
                                    StreamCodec codec);
// A compressed instruction block: the 4-byte count of `instructions` (at
// most INT32_MAX of them), then their stream in `codec`, at `level` as
// CompressBlock.
std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions, int level = 0,
    StreamCodec codec = StreamCodec::kLzma);
