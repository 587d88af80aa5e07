// Replays a fuzz target's seeds and every saved input under the normal test
// runner, so that a crash found once stays fixed:
//   fuzz_replay_TARGET [FILE or FOLDER]...
#include <cstdio>
#include <filesystem>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t inputs = 0;
  for (const testing_support::Bytes& seed :
       fuzzing::Seeds(SELFPATCH_FUZZ_TARGET)) {
    LLVMFuzzerTestOneInput(seed.data(), seed.size());
    ++inputs;
  }
  for (int i = 1; i < argc; ++i) {
    if (!fs::exists(argv[i])) continue;
    std::vector<fs::path> files;
    if (fs::is_directory(argv[i])) {
      for (const auto& item : fs::directory_iterator(argv[i]))
        files.push_back(item.path());
    } else {
      files.push_back(argv[i]);
    }
    for (const fs::path& file : files) {
      testing_support::Bytes data = testing_support::ReadAll(file);
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++inputs;
    }
  }
  std::printf("%s: %zu inputs replayed\n", SELFPATCH_FUZZ_TARGET, inputs);
  return 0;
}
