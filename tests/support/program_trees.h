// The fixture of the tests that make patches, through the producer or the
// selfpatch tool: a program's old and new trees in a scratch folder, and a
// way to run the tool on them as a user does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/test_support.h"

namespace testing_support {

class ProgramTrees : public ::testing::Test {
 protected:
  // Writes `data` as `name` ('/'-separated, below the scratch folder),
  // making the folders on its way.
  void Write(const std::string& name, const Bytes& data);
  // `name` below the scratch folder, as a command line takes it.
  std::string Path(const std::string& name) const;
  // old/bin/app.exe, `size` random bytes from `seed`, and new/bin/app.exe:
  // the same with `inserted` bytes put in at 5,000 and `flips` bits flipped.
  void WriteProgram(uint32_t seed, size_t size, size_t inserted, int flips);

  ScratchDir dir;
};

struct ToolRun {
  int code;         // the exit status
  std::string out;  // stdout and stderr together
};

// `command` through the shell, SELFPATCH standing for the selfpatch tool.
ToolRun RunTool(std::string command);

}  // namespace testing_support
