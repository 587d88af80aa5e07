// Packages that make the folder the new version: files and folders the new
// version no longer has go, and new files are rebuilt from any old file.
#include <gtest/gtest.h>

#include "apply/worker_fixture.h"

namespace {

using namespace testing_support;
typedef WorkerTest Removal;

const Bytes kLib = ToBytes("library, version 1.2");
const Bytes kLibNew = ToBytes("library, version 1.3, a little longer");
const Bytes kIni = ToBytes("[settings]\nlanguage=ja\n");
const Bytes kData = ToBytes("data of the old version");

// A renamed library (rebuilt from its old self, which goes), a patched
// program, a removed setting file and a removed folder with its file.
std::vector<TestEntry> Package() {
  return {SourcedEntry("lib-1.3.dll", "lib-1.2.dll", kLib, kLibNew),
          PatchEntry("app.exe", kOld, kNew),
          RemoveEntry("lib-1.2.dll", kLib),
          RemoveEntry("app.ini", kIni),
          RemoveEntry("old\\data.bin", kData),
          RemoveDirectoryEntry("old")};
}

const Files kOldFolder = {{"app.exe", kOld},
                          {"app.ini", kIni},
                          {"lib-1.2.dll", kLib},
                          {"old/", {}},
                          {"old/data.bin", kData}};

// What each run leaves, and what it says of each removal: a file still the
// old one goes, as does its folder once empty; one changed since stays, as
// does the folder holding it; one already gone is fine. With backups the
// removed files stay as ".bak" files, and so their folder.
TEST_F(Removal, TheFolderBecomesTheNewVersion) {
  const Bytes edited = ToBytes("[settings]\nlanguage=en\n");
  const Files kNewFolder = {{"app.exe", kNew}, {"lib-1.3.dll", kLibNew}};
  struct Case {
    const char* what;
    Files folder;
    uint32_t flags;
    Files expected;
    // The notes, in order: the removed files' when they are prepared, the
    // folder's after the commit.
    std::vector<std::pair<RemovalNote, std::string>> notes;
  };
  const Case cases[] = {
      {"the old version",
       kOldFolder,
       0,
       kNewFolder,
       {{kNoteRemoved, "lib-1.2.dll"},
        {kNoteRemoved, "app.ini"},
        {kNoteRemoved, "old/data.bin"},
        {kNoteRemoved, "old"}}},
      {"a setting the user changed",
       {{"app.exe", kOld},
        {"app.ini", edited},
        {"lib-1.2.dll", kLib},
        {"old/", {}},
        {"old/data.bin", kVictim}},
       0,
       {{"app.exe", kNew},
        {"app.ini", edited},
        {"lib-1.3.dll", kLibNew},
        {"old/", {}},
        {"old/data.bin", kVictim}},
       {{kNoteRemoved, "lib-1.2.dll"},
        {kNoteChanged, "app.ini"},
        {kNoteChanged, "old/data.bin"},
        {kNoteKept, "old"}}},
      {"removed files and folder already gone",
       {{"app.exe", kOld}, {"lib-1.2.dll", kLib}},
       0,
       kNewFolder,
       {{kNoteRemoved, "lib-1.2.dll"},
        {kNoteGone, "app.ini"},
        {kNoteGone, "old/data.bin"},
        {kNoteGone, "old"}}},
      {"an empty folder a run could not remove",
       {{"app.exe", kNew}, {"lib-1.3.dll", kLibNew}, {"old/", {}}},
       0,
       kNewFolder,
       {{kNoteRemoved, "old"}}},
      {"backups kept",
       kOldFolder,
       PackageFlagBackup,
       {{"app.exe", kNew},
        {"app.exe.bak", kOld},
        {"app.ini.bak", kIni},
        {"lib-1.2.dll.bak", kLib},
        {"lib-1.3.dll", kLibNew},
        {"old/", {}},
        {"old/data.bin.bak", kData}},
       {{kNoteRemoved, "lib-1.2.dll"},
        {kNoteRemoved, "app.ini"},
        {kNoteRemoved, "old/data.bin"},
        {kNoteKept, "old"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(c.folder);
    if (fs::exists(In("app.ini")))
      ReadOnly(In("app.ini"));  // goes all the same
    ASSERT_EQ(ResultSuccess, Apply(Package(), PackageFlagRemovals | c.flags));
    EXPECT_TRUE(Completed());
    EXPECT_EQ(c.expected, Snapshot(app.path()));
    std::vector<std::pair<RemovalNote, std::string>> notes;
    for (const RecordedMessage& note : window.Messages(WM_PATCH_NOTE)) {
      notes.push_back({static_cast<RemovalNote>(note.wParam),
                       fs::path(note.text)
                           .lexically_relative(app.path())
                           .generic_string()});
    }
    EXPECT_EQ(c.notes, notes);
    // Applied already: nothing left to do, the kept files included.
    ASSERT_EQ(ResultSuccess, Apply(Package(), PackageFlagRemovals | c.flags));
    EXPECT_EQ(kCompleteAlreadyApplied,
              window.Messages(WM_PATCH_COMPLETE).at(0).wParam);
    EXPECT_TRUE(Unchanged());
  }
}

// Each failure leaves the folder as it was, removed files included, and
// names the file at fault.
TEST_F(Removal, FailuresChangeNothing) {
  const std::vector<TestEntry> package = Package();
  Files source = kOldFolder;
  source[2].second = kLibNew;  // lib-1.2.dll is not the old library
  struct Case {
    const char* what;
    Files folder;
    std::vector<TestEntry> entries;
    ResultCode code;
    const char* at;
  };
  const Case cases[] = {
      {"the renamed file exists",
       [] {
         Files folder = kOldFolder;
         folder.push_back({"lib-1.3.dll", kLibNew});
         return folder;
       }(),
       package, ResultTargetExists, "lib-1.3.dll"},
      {"no source",
       {{"app.exe", kOld}},
       package,
       ResultOpenSource,
       "lib-1.2.dll"},
      {"another source", source, package, ResultSourceMismatch, "lib-1.2.dll"},
      // A file to remove is proved the old one, then the run fails.
      {"a later target differs",
       kOldFolder,
       {RemoveEntry("lib-1.2.dll", kLib), PatchEntry("app.exe", kNew, kOld)},
       ResultSourceMismatch,
       "app.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(c.folder);
    ExpectFailure(c.entries, PackageFlagRemovals, c.code, In(c.at));
  }
}

}  // namespace
