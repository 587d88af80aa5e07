// The applier executables, built for both architectures and embedded in
// the command-line tool at build time (empty when they were not built).
#pragma once

#include <cstddef>

extern const unsigned char kStubX86[];
extern const size_t kStubX86Size;
extern const unsigned char kStubX64[];
extern const size_t kStubX64Size;
