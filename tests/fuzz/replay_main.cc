// Replays a fuzz target's seeds and every input saved in the folders given,
// under the normal test runner, so that a crash found once stays fixed:
//   fuzz_replay_TARGET [FOLDER]...
#include <cstdio>
#include <filesystem>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<testing_support::Bytes> inputs =
      fuzzing::Seeds(SELFPATCH_FUZZ_TARGET);
  for (int i = 1; i < argc; ++i) {
    std::error_code missing;  // a target may have no saved inputs yet
    for (const auto& item :
         std::filesystem::directory_iterator(argv[i], missing))
      inputs.push_back(testing_support::ReadAll(item.path()));
  }
  for (const testing_support::Bytes& input : inputs) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%s: %zu inputs replayed\n", SELFPATCH_FUZZ_TARGET,
              inputs.size());
  return 0;
}
