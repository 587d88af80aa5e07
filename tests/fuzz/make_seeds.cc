// Writes each fuzz target's seeds into FOLDER/TARGET/, for libFuzzer.
#include <cstdio>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds FOLDER\n");
    return 2;
  }
  for (const char* target : {"package", "rebuild", "seeking", "utf8", "zstd"}) {
    std::filesystem::path folder = std::filesystem::path(argv[1]) / target;
    std::filesystem::create_directories(folder);
    int n = 0;
    for (const testing_support::Bytes& seed : fuzzing::Seeds(target)) {
      testing_support::WriteAll(folder / ("seed-" + std::to_string(n++)), seed);
    }
  }
  return 0;
}
