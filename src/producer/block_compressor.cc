#include "producer/block_compressor.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>

#include "package/package_format.h"
#include "producer/patch_builder.h"

namespace {

// Zstandard's smallest window, 1 KiB.
constexpr int kMinWindowLog = 10;

void Check(size_t result) {
  if (ZSTD_isError(result)) {
    throw ProducerError(std::string("compressing a block failed: ") +
                        ZSTD_getErrorName(result));
  }
}

}  // namespace

std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size,
                                   int maxWindowLog, int level) {
  // An empty block may come as a null pointer, which the compressor would
  // offset.
  static const uint8_t kNothing = 0;
  if (size == 0) data = &kNothing;
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(),
                                                             &ZSTD_freeCCtx);
  if (!context) throw ProducerError("cannot start the compressor");
  // The smallest window that holds the whole block: a larger one finds
  // nothing more and costs the applier memory.
  int windowLog = kMinWindowLog;
  while (windowLog < maxWindowLog && (size_t{1} << windowLog) < size)
    ++windowLog;
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel,
                               level != 0 ? level : ZSTD_maxCLevel()));
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog));
  std::vector<uint8_t> block(ZSTD_compressBound(size));
  size_t written =
      ZSTD_compress2(context.get(), block.data(), block.size(), data, size);
  Check(written);
  block.resize(written);
  return block;
}

std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions, int level) {
  std::vector<uint8_t> block(4);
  uint32_t count = static_cast<uint32_t>(instructions.size());
  std::memcpy(block.data(), &count, 4);
  std::vector<uint8_t> stream = CompressBlock(
      instructions.data(), instructions.size(), kMaxWindowLog, level);
  block.insert(block.end(), stream.begin(), stream.end());
  return block;
}
