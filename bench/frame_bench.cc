// The applier's Zstandard frame decoder over a frame from a real package,
// side by side with the reference decoder (libzstd, ZSTD_decompress) in the
// same run; best of nine each, output bytes per second.
//
//   frame_bench FRAME.zst
#include <zstd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "apply/zstd_frame.h"
#include "bench_util.h"

namespace {

// The frame decoded block by block as the applier's streams decode it, into
// `out` when given: its size, or 0 when it does not decode.
size_t Decode(const std::vector<uint8_t>& frame,
              std::vector<uint8_t>* out = nullptr) {
  ZstdFrame decoder;
  const uint8_t* at = frame.data();
  const uint8_t* end = at + frame.size();
  if (frame.size() < ZstdFrame::kHeaderStart) return 0;
  const uint32_t header = ZstdFrame::HeaderSize(at);
  if (header == 0 || header > frame.size() ||
      !decoder.Begin(at, header, 27, UINT64_MAX))
    return 0;
  at += header;
  size_t decoded = 0;
  while (!decoder.Ended()) {
    uint32_t size = 0;
    if (end - at < ZstdFrame::kBlockHeader || !decoder.BlockHeader(at, &size))
      return 0;
    at += ZstdFrame::kBlockHeader;
    if (static_cast<size_t>(end - at) < size || !decoder.Block(at, size))
      return 0;
    at += size;
    if (out != nullptr) {
      out->insert(out->end(), decoder.Pending(),
                  decoder.Pending() + decoder.PendingSize());
    }
    decoded += decoder.PendingSize();
    decoder.Take(decoder.PendingSize());
  }
  return decoded;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: frame_bench FRAME.zst\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> frame((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  const unsigned long long size =
      ZSTD_getFrameContentSize(frame.data(), frame.size());
  std::vector<uint8_t> mine, out;
  if (size != ZSTD_CONTENTSIZE_ERROR && size != ZSTD_CONTENTSIZE_UNKNOWN) {
    out.resize(size);
    Decode(frame, &mine);
  }
  if (out.empty() || mine.size() != size ||
      ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size()) !=
          size ||
      mine != out) {
    std::fprintf(stderr, "frame_bench: not a frame both decoders take alike\n");
    return 1;
  }
  const double ours = bench::BestOf(9, [&] { Decode(frame); });
  const double reference = bench::BestOf(9, [&] {
    ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
  });
  const double mib = static_cast<double>(size) / (1 << 20);
  std::printf("frame of %zu bytes, %llu decoded; best of 9\n", frame.size(),
              size);
  std::printf("  ZstdFrame          %7.1f MiB/s\n", mib / ours);
  std::printf("  libzstd            %7.1f MiB/s\n", mib / reference);
  return 0;
}
