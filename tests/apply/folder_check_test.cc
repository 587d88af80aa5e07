#include "apply/folder_check.h"

#include <gtest/gtest.h>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
typedef WorkerTest Folder;

const Bytes kSameSize = ToBytes("the new program, version two");
const std::vector<TestEntry> kEntries = {
    DirectoryEntry("data"), AddEntry("data\\new.txt", kNew),
    PatchEntry("app.exe", kOld, kNew), PatchEntry("same.dll", kOld, kSameSize)};

// A folder's state from its files' sizes, then digests; packages without
// files to patch are never for another folder.
TEST_F(Folder, StatesFromSizesThenDigests) {
  const Files ready = {{"app.exe", kOld}, {"same.dll", kOld}};
  const Files applied = {{"data/", {}},
                         {"data/new.txt", kNew},
                         {"app.exe", kNew},
                         {"same.dll", kSameSize}};
  // The last digest differs: every new size, not every new file.
  Files digest = applied;
  digest.back().second = ToBytes("the new program, version 2.0");
  const Files half = {{"app.exe", kNew}, {"same.dll", kOld}};
  const ResultCode kExists = ResultTargetExists;
  // A renamed file, a removed file: it is applied once the old one is
  // gone, or changed since (the run keeps it).
  const std::vector<TestEntry> rename = {
      SourcedEntry("new.dll", "old.dll", kOld, kNew),
      RemoveEntry("old.dll", kOld), RemoveEntry("gone.txt", kSameSize),
      RemoveDirectoryEntry("dir")};
  const Bytes sameSizeChanged = ToBytes("the new program, version TWO");
  const struct Case {
    Files files;
    FolderState state;
    size_t failedEntry = 0;  // FolderNotHere
    ResultCode failure = 0;
    uint64_t reads = 0;  // ReadFile calls the check may make
    std::vector<TestEntry> package = kEntries;
    uint32_t flags = 0;
  } cases[] = {
      {ready, FolderReady},
      {applied, FolderApplied, 0, 0, 3},
      {digest, FolderMixed, 0, 0, 3},
      {half, FolderMixed},
      {{}, FolderNotHere, 2, ResultOpenSource},
      {{{"selfpatch.journal", kOld}}, FolderMixed},
      {{{"data/", {}}, {"data/new.txt", kOld}}, FolderNotHere, 1, kExists},
      // No folder, so nothing in it.
      {{{"data", kOld}}, FolderNotHere, 1, ResultNoTempName},
      {{}, FolderReady, 0, 0, 0, {AddEntry("new.txt", kNew)}},
      {{}, FolderReady, 0, 0, 0, {}},
      {{{"old.dll", kOld}}, FolderReady, 0, 0, 0, rename, PackageFlagRemovals},
      // A folder to remove that is not empty stays; an empty one goes.
      {{{"new.dll", kNew}, {"dir/", {}}, {"dir/mine", kOld}},
       FolderApplied,
       0,
       0,
       3,
       rename,
       PackageFlagRemovals},
      {{{"new.dll", kNew}, {"gone.txt", sameSizeChanged}},
       FolderApplied,
       0,
       0,
       6,
       rename,
       PackageFlagRemovals},
      {{{"new.dll", kNew}, {"dir/", {}}},
       FolderFilesApplied,
       0,
       0,
       3,
       rename,
       PackageFlagRemovals},
      {{{"new.dll", kNew}, {"old.dll", kOld}},
       FolderMixed,
       0,
       0,
       6,
       rename,
       PackageFlagRemovals},
      {{}, FolderNotHere, 0, ResultOpenSource, 0, rename, PackageFlagRemovals},
  };
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  for (const Case& test : cases) {
    SCOPED_TRACE(&test - cases);
    Put(test.files);
    Load(test.package, test.flags);
    standin::ResetCalls();
    FolderCheck check = CheckFolder(*holder.Get(), hash);
    EXPECT_LE(standin::CallCount("ReadFile"), test.reads);
    EXPECT_EQ(test.state, check.state);
    if (test.state == FolderNotHere) {
      EXPECT_EQ(test.failedEntry, check.failedEntry);
      EXPECT_EQ(test.failure, check.failure);
    }
  }
}

TEST_F(Folder, AnAppliedFolderIsLeftAloneAndReportedDone) {
  Put({{"app.exe", kNew}, {"data/", {}}, {"data/new.txt", kNew}});
  ASSERT_EQ(ResultSuccess,
            Apply({DirectoryEntry("data"), AddEntry("data/new.txt", kNew),
                   PatchEntry("app.exe", kOld, kNew)},
                  PackageFlagBackup));
  std::vector<RecordedMessage> done = window.Messages(WM_PATCH_COMPLETE);
  ASSERT_EQ(1u, done.size());
  EXPECT_EQ(kCompleteAlreadyApplied, done[0].wParam);
  EXPECT_TRUE(window.Messages(WM_PATCH_FILENAME).empty());
  EXPECT_TRUE(Unchanged());  // no backup, no journal, no temporary file
}

}  // namespace
