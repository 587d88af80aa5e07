#include "apply/directory.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Folders on the way are made from the deepest one that exists down;
// a file on the way fails the call and stays as it was.
TEST(Directories, CreatesMissingParentsUnlessAFileIsInTheWay) {
  ScratchDir dir;
  auto path = [&dir](const char16_t* relative) {
    return Wide(dir.path()) + Wide(relative);
  };
  // Either separator, one doubled.
  EXPECT_TRUE(CreateDirectoryTree(path(u"\\a\\b//c").c_str()));
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
  WriteAll(dir / "file", ToBytes("x"));
  EXPECT_FALSE(CreateDirectoryTree(path(u"/file").c_str()));
  EXPECT_FALSE(CreateDirectoryTree(path(u"/file/sub/deeper").c_str()));
  EXPECT_FALSE(fs::exists(dir.path() / "file" / "sub"));
  EXPECT_EQ(ToBytes("x"), ReadAll(dir / "file"));
}

}  // namespace
