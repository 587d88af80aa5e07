// Arbitrary bytes as a Zstandard frame: the applier's decoder refuses
// them, or decodes them to what the reference decoder makes of them, all
// of them. Input: the frame. The history is held to 1 MiB, as a fuzzer's
// memory would have it.
#include <zstd.h>

#include <cstdlib>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kWindowLog = 20;
  testing_support::Bytes ours;
  if (!testing_support::DecodeZstd(data, size, &ours, kWindowLog)) return 0;
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kWindowLog);
  testing_support::Bytes theirs(ours.size() + 1);
  ZSTD_inBuffer in = {data, size, 0};
  ZSTD_outBuffer out = {theirs.data(), theirs.size(), 0};
  const size_t left = ZSTD_decompressStream(context, &out, &in);
  ZSTD_freeDCtx(context);
  theirs.resize(out.pos);
  // The reference decoder has ended the frame (0 left) where it ends.
  if (ZSTD_isError(left) || left != 0 || in.pos != size || theirs != ours)
    std::abort();
  return 0;
}
