// What the fuzz targets share: a scratch folder holding an installed
// program, applying a patch executable there, and the invariants checked
// after every input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fuzzing {

// The installed program the patches are applied to.
extern const testing_support::Bytes kOldContent;

// Loads a patch executable, a minimal PE image with `package` appended, and
// applies it to a fresh copy of the installed program. Aborts when an invariant
// breaks: every result is one of the table's, a failed run leaves every file as
// it was (directories made by directory entries aside), and nothing outside the
// scratch folder changes.
void ApplyAndCheck(const testing_support::Bytes& package);

// Seed inputs for a target, made with the tests' package writer.
std::vector<testing_support::Bytes> Seeds(const std::string& target);

}  // namespace fuzzing
