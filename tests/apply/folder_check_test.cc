#include "apply/folder_check.h"

#include <gtest/gtest.h>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
typedef WorkerTest Folder;

const Bytes kOld = ToBytes("the old program, version one");
const Bytes kNew = ToBytes("the new program: version two, longer");
const Bytes kSameSize = ToBytes("the new program, version two");

TEST_F(Folder, StatesFromSizesThenDigests) {
  const std::vector<TestEntry> entries = {
      DirectoryEntry("data"), AddEntry("data\\new.txt", kNew),
      PatchEntry("app.exe", kOld, kNew),
      PatchEntry("same.dll", kOld, kSameSize)};
  const Files ready = {{"app.exe", kOld}, {"same.dll", kOld}};
  const Files applied = {{"data/", {}},
                         {"data/new.txt", kNew},
                         {"app.exe", kNew},
                         {"same.dll", kSameSize}};
  // The last digest differs: every new size, not every new file.
  Files digest = applied;
  digest.back().second = ToBytes("the new program, version 2.0");
  const Files half = {{"app.exe", kNew}, {"same.dll", kOld}};
  const Files journal = {{"selfpatch.journal", kOld}};
  const Files added = {{"data/", {}}, {"data/new.txt", kOld}};
  const Files inTheWay = {{"data", kOld}};  // no folder, so nothing in it
  const struct Case {
    Files files;
    FolderState state;
    size_t failedEntry;  // FolderNotHere
    ResultCode failure;
    uint64_t reads;  // ReadFile calls the check may make
  } cases[] = {
      {ready, FolderReady, 0, 0, 0},
      {applied, FolderApplied, 0, 0, 3},
      {digest, FolderMixed, 0, 0, 3},
      {half, FolderMixed, 0, 0, 0},
      {{}, FolderNotHere, 2, ResultOpenSource, 0},
      {journal, FolderMixed, 0, 0, 0},
      {added, FolderNotHere, 1, ResultTargetExists, 0},
      {inTheWay, FolderNotHere, 1, ResultNoTempName, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(&test - cases);
    Put(test.files);
    Load(entries);
    SharedArray<IHashCode> hash;
    hash.Attach(new CHashSHA256, 1);
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

TEST_F(Folder, NotHereFailsWhereARunWould) {
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  // A folder made by an earlier entry counts; a missing one is 7.
  Load({DirectoryEntry("bin"), PatchEntry("bin/sub/app.dll", kOld, kNew)});
  FolderCheck check = CheckFolder(*holder.Get(), hash);
  EXPECT_EQ(FolderNotHere, check.state);
  EXPECT_EQ(1u, check.failedEntry);
  EXPECT_EQ(ResultNoTempName, check.failure);
  // Packages without files to patch are never for another folder.
  Load({AddEntry("new.txt", kNew)});
  EXPECT_EQ(FolderReady, CheckFolder(*holder.Get(), hash).state);
  Load({});
  EXPECT_EQ(FolderReady, CheckFolder(*holder.Get(), hash).state);
}

TEST_F(Folder, AnAppliedFolderIsLeftAloneAndReportedDone) {
  fs::create_directory(In("data"));
  WriteAll(In("data/new.txt"), kNew);
  WriteAll(In("app.exe"), kNew);
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
