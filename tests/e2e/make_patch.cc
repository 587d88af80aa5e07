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
  std::vector<TestEntry> entries;
  int i = 4;
  for (int size = 0; i < argc; i += size) {
    std::string kind = argv[i];
    size = kind == "patch" ? 4 : kind == "add" ? 3 : kind == "dir" ? 2 : argc;
    if (i + size > argc) break;
    if (kind == "patch")
      entries.push_back(
          PatchEntry(argv[i + 1], ReadAll(argv[i + 2]), ReadAll(argv[i + 3])));
    if (kind == "add")
      entries.push_back(AddEntry(argv[i + 1], ReadAll(argv[i + 2])));
    if (kind == "dir") entries.push_back(DirectoryEntry(argv[i + 1]));
  }
  Bytes exe = argc < 4 ? Bytes() : ReadAll(argv[1]);
  if (i != argc || exe.empty()) {
    std::cerr << "usage: make_patch STUB OUT FLAGS [ENTRY...]\n";
    return 2;
  }
  Bytes package =
      BuildPackage(entries, static_cast<uint32_t>(std::atoi(argv[3])));
  exe.insert(exe.end(), package.begin(), package.end());
  WriteAll(argv[2], exe);
  return 0;
}
