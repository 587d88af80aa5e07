// Writes a patch executable for the end-to-end tests with the tests'
// package writer:
//   make_patch STUB OUT FLAGS [patch NAME OLD NEW | add NAME FILE | dir
//   NAME]...
// FILE, OLD and NEW are files on disk; names are as the package stores them.
#include <cstdlib>
#include <iostream>

#include "support/test_support.h"

using namespace testing_support;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: make_patch STUB OUT FLAGS [ENTRY...]\n";
    return 2;
  }
  std::vector<TestEntry> entries;
  for (int i = 4; i < argc;) {
    std::string kind = argv[i];
    if (kind == "patch" && i + 3 < argc) {
      entries.push_back(
          PatchEntry(argv[i + 1], ReadAll(argv[i + 2]), ReadAll(argv[i + 3])));
      i += 4;
    } else if (kind == "add" && i + 2 < argc) {
      entries.push_back(AddEntry(argv[i + 1], ReadAll(argv[i + 2])));
      i += 3;
    } else if (kind == "dir" && i + 1 < argc) {
      entries.push_back(DirectoryEntry(argv[i + 1]));
      i += 2;
    } else {
      std::cerr << "make_patch: bad entry at " << kind << "\n";
      return 2;
    }
  }
  Bytes exe = ReadAll(argv[1]);
  if (exe.empty()) {
    std::cerr << "make_patch: cannot read " << argv[1] << "\n";
    return 1;
  }
  Bytes package =
      BuildPackage(entries, static_cast<uint32_t>(std::atoi(argv[3])));
  exe.insert(exe.end(), package.begin(), package.end());
  WriteAll(argv[2], exe);
  return 0;
}
