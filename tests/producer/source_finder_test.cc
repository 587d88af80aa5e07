#include "producer/source_finder.h"

#include <gtest/gtest.h>

#include <random>

#include "support/program_trees.h"

namespace {

using namespace testing_support;
typedef ProgramTrees Sources;

// Which old file a new one is rebuilt from: a removed file in its folder
// whose name differs only in digits, else the one sharing the most of its
// content (a removed one on a tie), else none.
TEST_F(Sources, NamesThenContent) {
  std::mt19937 random(3);
  const Bytes library = RandomBytes(random, 40000);
  Bytes edited = library;
  edited.insert(edited.begin() + 20000, 300, 0x90);
  const Bytes other = RandomBytes(random, 40000);
  Write("old/lib/foo-1.2.dll", other);  // named like it, unlike it
  Write("old/lib/bar.dll", library);
  Write("old/moved/bar.dll", library);
  Write("old/kept.dat", other);
  Write("new/lib/foo-1.3.dll", other);
  Write("new/lib/baz.dll", edited);
  Write("new/unrelated.bin", RandomBytes(random, 40000));
  Write("new/lib2/foo-1.3.dll", edited);
  SourceFinder finder({{"lib\\Foo-1.2.dll", dir / "old/lib/foo-1.2.dll", true},
                       {"lib\\bar.dll", dir / "old/lib/bar.dll", false},
                       {"moved\\bar.dll", dir / "old/moved/bar.dll", true},
                       {"kept.dat", dir / "old/kept.dat", false}});
  const struct {
    const char* name;
    const char* source;  // nullptr: none
  } cases[] = {
      {"lib\\foo-1.3.dll", "lib\\Foo-1.2.dll"},
      {"lib\\baz.dll", "moved\\bar.dll"},
      {"unrelated.bin", nullptr},
      // In another folder the name says nothing: the content does.
      {"lib2\\foo-1.3.dll", "moved\\bar.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = std::string("new/") + c.name;
    for (char& ch : path) ch = ch == '\\' ? '/' : ch;
    const OldFile* found = finder.Find(c.name, dir / path);
    EXPECT_EQ(c.source ? c.source : "", found ? found->name : "");
  }
}

}  // namespace
