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

TEST_F(Directories, CreatesMissingParentsWithEitherSeparator) {
  WString path = Path(u"\\a\\b/c");
  const WString copy = path;
  EXPECT_TRUE(CreateDirectoryTree(path.c_str()));
  EXPECT_EQ(copy, path);  // the caller's string is unchanged
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
  EXPECT_TRUE(CreateDirectoryTree(Path(u"/x//y").c_str()));  // doubled
  EXPECT_TRUE(fs::is_directory(dir.path() / "x" / "y"));
  // Existing, and one level below an existing one.
  EXPECT_TRUE(CreateDirectoryTree(Path(u"/a/b").c_str()));
  EXPECT_TRUE(CreateDirectoryTree(Path(u"/a/d").c_str()));
  EXPECT_TRUE(IsDirectory(Path(u"/a/d").c_str()));
  EXPECT_TRUE(CreateDirectoryTree(WTXT("")));
  EXPECT_FALSE(CreateDirectoryTree(nullptr));
}

TEST_F(Directories, FilesInTheWayFail) {
  WriteAll(dir / "file", ToBytes("x"));
  EXPECT_FALSE(IsDirectory(Path(u"/file").c_str()));
  EXPECT_FALSE(IsDirectory(Path(u"/missing").c_str()));
  // The whole path is a file.
  EXPECT_FALSE(CreateDirectoryTree(Path(u"/file").c_str()));
  // An intermediate component is a file.
  EXPECT_FALSE(CreateDirectoryTree(Path(u"/file/sub/deeper").c_str()));
  EXPECT_FALSE(fs::exists(dir.path() / "file" / "sub"));
  EXPECT_EQ(ToBytes("x"), ReadAll(dir / "file"));
}

}  // namespace
