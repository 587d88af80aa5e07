// Arbitrary bytes appended to a stub image, through Load and a full
// Run of the worker in a scratch folder. Fuzzing builds accept any package
// digest, so generated entry tables and blocks are reached; the seeds
// include packages whose literal blocks are compressed streams, so that
// hostile streams reach the decoder, and packages in the compact form.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ApplyAndCheck(testing_support::Bytes(data, data + size));
  return 0;
}
