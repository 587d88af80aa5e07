#include "support/program_trees.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace testing_support {

namespace fs = std::filesystem;

void ProgramTrees::Write(const std::string& name, const Bytes& data) {
  fs::create_directories((dir / name).parent_path());
  WriteAll(dir / name, data);
}

std::string ProgramTrees::Path(const std::string& name) const {
  return (dir / name).string();
}

void ProgramTrees::WriteProgram(uint32_t seed, size_t size, size_t inserted,
                                int flips) {
  std::mt19937 random(seed);
  Bytes program = RandomBytes(random, size);
  Bytes newer = program;
  newer.insert(newer.begin() + 5000, inserted, 0x90);
  for (int i = 0; i < flips; ++i) newer[random() % newer.size()] ^= 1;
  Write("old/bin/app.exe", program);
  Write("new/bin/app.exe", newer);
}

ToolRun RunTool(std::string command) {
  for (size_t at; (at = command.find("SELFPATCH")) != std::string::npos;)
    command.replace(at, 9, SELFPATCH_CLI);
  FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
  std::string out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
    out.append(buffer, n);
  int status = pclose(pipe);
  return {WEXITSTATUS(status), out};
}

}  // namespace testing_support
