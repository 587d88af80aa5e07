#include "apply/directory.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

class Directories : public ::testing::Test {
 protected:
  WString Path(const char16_t* relative) {
    return Wide(dir.path()) + Wide(relative);
  }
  ScratchDir dir;
};

// Folders on the way are made from the deepest one that exists down;
// a file on the way fails the call and stays as it was.
TEST_F(Directories, CreatesMissingParentsUnlessAFileIsInTheWay) {
  WString path = Path(u"\\a\\b//c");  // either separator, one doubled
  const WString copy = path;
  EXPECT_TRUE(CreateDirectoryTree(path.c_str()));
  EXPECT_EQ(copy, path);  // the caller's string is unchanged
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
  EXPECT_TRUE(CreateDirectoryTree(Path(u"/a/b").c_str()));  // existing
  EXPECT_TRUE(CreateDirectoryTree(WTXT("")));
  EXPECT_FALSE(CreateDirectoryTree(nullptr));
  WriteAll(dir / "file", ToBytes("x"));
  EXPECT_FALSE(CreateDirectoryTree(Path(u"/file").c_str()));
  EXPECT_FALSE(CreateDirectoryTree(Path(u"/file/sub/deeper").c_str()));
  EXPECT_FALSE(fs::exists(dir.path() / "file" / "sub"));
  EXPECT_EQ(ToBytes("x"), ReadAll(dir / "file"));
}

}  // namespace
