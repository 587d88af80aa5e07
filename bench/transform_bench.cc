// The code transform over a real program, forward and back, with the
// vector scan side by side with the portable one (the baseline) and with a
// plain copy of the same bytes, in the same run; best of seven each. The
// whole file is taken as one x64 code range, in 64 KiB pieces as the
// applier's streams hand them over.
//
//   transform_bench FILE [WIDTH]
#include <cstdio>
#include <fstream>
#include <iterator>

#include "apply/code_transform.h"
#include "bench_util.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: transform_bench FILE [WIDTH]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  const uint32_t width =
      argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 32;
  if (file.empty() || file.size() > UINT32_MAX || width < kMinTransformWidth ||
      width > 32) {
    std::fprintf(stderr,
                 "transform_bench: an empty or too large file, or a width "
                 "outside 16..32\n");
    return 2;
  }
  const std::vector<CodeRange> ranges = {
      {0, static_cast<uint32_t>(file.size()), 0x1000}};
  constexpr size_t kPiece = 65536;
  std::vector<uint8_t> bytes = file;
  auto run = [&](const CodeTransform& code, bool inverse) {
    for (size_t at = 0; at < bytes.size(); at += kPiece) {
      size_t size = bytes.size() - at < kPiece ? bytes.size() - at : kPiece;
      if (inverse)
        code.Inverse(bytes.data() + at, at, size);
      else
        code.Forward(bytes.data() + at, at, size);
    }
  };

  std::printf("code transform of %s (%zu bytes, x64, width %u), best of 7\n",
              argv[1], file.size(), width);
  std::vector<uint8_t> forward[2];
  for (bool vectors : {false, true}) {
    const CodeTransform code(kTransformX64, width, ranges, vectors);
    double there = bench::BestOf(7, [&] {
      bytes = file;
      run(code, false);
    });
    forward[vectors] = bytes;
    double back = bench::BestOf(7, [&] {
      bytes = forward[vectors];
      run(code, true);
    });
    if (bytes != file) {
      std::fprintf(stderr, "transform_bench: the inverse differs\n");
      return 1;
    }
    double copy = bench::BestOf(7, [&] { bytes = file; });
    std::printf("  %-9s forward %7.0f MiB/s   inverse %7.0f MiB/s\n",
                vectors ? "vectors" : "portable",
                bench::MiBPerSecond(file.size(), there - copy),
                bench::MiBPerSecond(file.size(), back - copy));
  }
  if (forward[0] != forward[1]) {
    std::fprintf(stderr, "transform_bench: the two scans differ\n");
    return 1;
  }
  std::printf("  (each net of a plain copy of the file, %0.f MiB/s)\n",
              bench::MiBPerSecond(file.size(),
                                  bench::BestOf(7, [&] { bytes = file; })));
  return 0;
}
