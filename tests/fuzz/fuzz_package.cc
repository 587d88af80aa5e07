// Arbitrary bytes appended to a real stub image, through Load and a full
// Run of the worker in a scratch folder. Fuzzing builds accept any package
// digest, so generated entry tables and blocks are reached; the seeds
// include packages whose literal blocks are compressed streams, so that
// hostile streams reach the decoder.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  testing_support::Bytes executable = fuzzing::Stub();
  executable.insert(executable.end(), data, data + size);
  fuzzing::ApplyAndCheck(executable);
  return 0;
}
