#include "apply/patch_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <random>

#include "apply/worker_fixture.h"

namespace {

using namespace testing_support;
typedef WorkerTest Worker;

// Entries of every kind in one run: folders made or found, files added and
// patched (to nothing too), kinds it does not know skipped (only the low
// byte of a kind counts). The dialog is told each entry in turn and the bar
// ends full.
TEST_F(Worker, PatchesAddsAndCreatesDirectories) {
  Put({{"app.exe", kOld}, {"exists/", {}}, {"shrinks.bin", kOld}});
  TestEntry unknown = AddEntry("ignored.txt", kNew);
  unknown.kind = 2;
  TestEntry patch = PatchEntry("app.exe", kOld, kNew);
  patch.kind = 257;
  ASSERT_EQ(ResultSuccess,
            Apply({DirectoryEntry("data"), AddEntry("data\\new.txt", kNew),
                   patch, DirectoryEntry("data/sub"), DirectoryEntry("exists"),
                   AddEntry("empty.txt", Bytes()),
                   PatchEntry("shrinks.bin", kOld, Bytes()), unknown}));
  EXPECT_TRUE(Completed());
  const Files expected = {{"app.exe", kNew},      {"data/", {}},
                          {"data/new.txt", kNew}, {"data/sub/", {}},
                          {"empty.txt", {}},      {"exists/", {}},
                          {"shrinks.bin", {}}};
  EXPECT_EQ(expected, Snapshot(app.path()));  // no temporary, no journal
  std::vector<RecordedMessage> names = window.Messages(WM_PATCH_FILENAME);
  ASSERT_EQ(8u, names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(i, names[i].wParam);
  EXPECT_EQ(In("app.exe"), fs::path(names[2].text));
  std::vector<RecordedMessage> progress = window.Messages(WM_PATCH_PROGRESS);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(1.0, progress.back().fraction);
}

TEST_F(Worker, CompressedPackagesApply) {
  WriteAll(In("app.exe"), kOld);
  TestEntry patch = Compressed(PatchEntry("app.exe", kOld, kNew));
  // A stream of 3,000 numbered lines: matches, repeated distances and
  // literals all coded.
  std::string lines;
  for (int i = 0; i < 3000; ++i)
    lines += "line " + std::to_string(i % 37) + " of the new file\n";
  TestEntry text = AddEntry("lines.txt", ToBytes(lines));
  text.literal = CompressedStream(ToBytes(lines));
  ASSERT_EQ(ResultSuccess, Apply({patch, text}, PackageFlagCompressed));
  const Files expected = {{"app.exe", kNew}, {"lines.txt", ToBytes(lines)}};
  EXPECT_EQ(expected, Snapshot(app.path()));
}

// Each failure before the commit, and a stop (code 0), at the entry it
// names.
TEST_F(Worker, FailuresBeforeTheCommitChangeNothing) {
  const TestEntry fits = PatchEntry("a.bin", kOld, kNew);
  const TestEntry differs = PatchEntry("b.bin", kNew, kOld);
  Bytes sameSize = kOld;
  sameSize[0] ^= 1;
  const TestEntry digest = PatchEntry("a.bin", sameSize, kNew);
  TestEntry size = fits;
  size.oldSize += 1;
  const ResultCode kDiffers = ResultSourceMismatch;
  const Files both = {{"a.bin", kOld}, {"b.bin", kOld}};
  const Files a = {{"a.bin", kOld}};
  const struct Case {
    Files files;
    std::vector<TestEntry> package;
    ResultCode code;
    fs::path at;
    bool stop = false;  // asked for once the first entry is shown
  } cases[] = {
      {both, {fits, differs}, kDiffers, In("b.bin")},
      // b.bin is already new: a folder half applied fails at its first entry.
      {both, {differs, fits}, kDiffers, In("b.bin")},
      {{both[1]}, {DirectoryEntry("made"), differs}, kDiffers, In("b.bin")},
      {a, {digest}, kDiffers, In("a.bin")},
      {a, {size}, kDiffers, In("a.bin")},
      {a, {AddEntry("a.bin", kNew)}, ResultTargetExists, In("a.bin")},
      {{{"dir/", {}}}, {AddEntry("dir", kNew)}, ResultTargetExists, In("dir")},
      {a, {DirectoryEntry("a.bin")}, ResultTargetExists, In("a.bin")},
      {{}, {AddEntry("no/new.txt", kNew)}, ResultNoTempName, In("no/new.txt")},
      {{}, {DirectoryEntry("no/child")}, ResultNoTempName, In("no/child")},
      // A name without a file part.
      {{}, {DirectoryEntry("dir\\")}, ResultNoTempName, fs::path("dir\\")},
      {a, {fits, AddEntry("b.txt", kNew)}, ResultSuccess, In("a.bin"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Put(c.files);
    window.onMessage = [&](const RecordedMessage& message) {
      if (c.stop && message.id == WM_PATCH_FILENAME) worker->RequestStop();
    };
    ExpectFailure(c.package, PackageFlagBackup, c.code, c.at);
  }
  window.onMessage = nullptr;
  // A seeking entry whose differences run out fails before the commit too.
  Put(a);
  ExpectFailure({SeekingEntry("a.bin", {}, kTransformNone, false, 1)},
                PackageFlagEntryOptions, ResultUpdateFailed, In("a.bin"));
  // A seeking entry's old file is proven while the entry rebuilds from it:
  // one of its size that differs fails as the old file, also where the
  // blocks fail too.
  Put({{"a.bin", sameSize}});
  for (uint32_t cut : {0u, 1u}) {
    ExpectFailure({SeekingEntry("a.bin", {}, kTransformNone, true, cut)},
                  PackageFlagEntryOptions | PackageFlagCompressed, kDiffers,
                  In("a.bin"));
  }
  Put(a);
  // An entry whose blocks cannot be opened (a transform nobody knows) is
  // refused for them only once its old file is the one it names.
  TestEntry unknown = SeekingEntry("a.bin", {}, kTransformNone, false);
  unknown.kind |= 7u << kEntryTransformShift;
  ExpectFailure({unknown}, PackageFlagEntryOptions, ResultUpdateFailed,
                In("a.bin"));
  Put({{"a.bin", sameSize}});
  ExpectFailure({unknown}, PackageFlagEntryOptions, kDiffers, In("a.bin"));
}

// Backups replace older ones, and only with the flag; a read-only target
// stays read-only, its backup does not; kept times go to rebuilt files only.
// A target a scanner holds for a moment is waited for.
TEST_F(Worker, ATargetHeldForAMomentIsWaitedFor) {
  Put({{"a.dll", kOld}, {"a.dll.bak", ToBytes("older")}, {"ro.exe", kOld}});
  ReadOnly(In("ro.exe"));
  // Whole seconds: file times keep 100 ns ticks at best.
  auto past = std::chrono::time_point_cast<std::chrono::seconds>(
      fs::last_write_time(In("a.dll")) - std::chrono::hours(24 * 400));
  fs::last_write_time(In("a.dll"), past);
  auto attributes = [this](const char* name) {
    return GetFileAttributesW(Wide(In(name)).c_str());
  };
  HeldElsewhere hold(In("ro.exe"), 3000);
  ASSERT_TRUE(hold.Held());
  ASSERT_EQ(ResultSuccess,
            Apply({PatchEntry("a.dll", kOld, kNew),
                   PatchEntry("ro.exe", kOld, kNew), AddEntry("new.txt", kNew)},
                  PackageFlagBackup | PackageFlagKeepTimes));
  Files expected = {{"a.dll", kNew},
                    {"a.dll.bak", kOld},
                    {"new.txt", kNew},
                    {"ro.exe", kNew},
                    {"ro.exe.bak", kOld}};
  EXPECT_EQ(expected, Snapshot(app.path()));
  EXPECT_TRUE(attributes("ro.exe") & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(attributes("ro.exe.bak") & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(past, fs::last_write_time(In("a.dll")));
  EXPECT_GT(fs::last_write_time(In("new.txt")), past + std::chrono::hours(24));

  fs::last_write_time(In("a.dll"), past);
  ASSERT_EQ(ResultSuccess, Apply({PatchEntry("a.dll", kNew, kOld)}));
  expected[0].second = kOld;  // a.dll.bak untouched without the flag
  EXPECT_EQ(expected, Snapshot(app.path()));
  EXPECT_GT(fs::last_write_time(In("a.dll")), past + std::chrono::hours(24));
}

// A large new file is read back through a second handle while a thread
// flushes it: it is proven all the same, and the times it keeps are set
// after both.
TEST_F(Worker, ALargeFileIsProvenWhileItGoesToDisk) {
  std::mt19937 random(27);
  const Bytes old = RandomBytes(random, (1 << 20) + 4096);
  Bytes target = old;
  target[4000] ^= 1;
  target.resize(target.size() + 100, 'x');
  auto past = std::chrono::time_point_cast<std::chrono::seconds>(
      fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  Put({{"big.dll", old}});
  fs::last_write_time(In("big.dll"), past);
  ASSERT_EQ(ResultSuccess, Apply({PatchEntry("big.dll", old, target),
                                  AddEntry("big.dat", target)},
                                 PackageFlagKeepTimes));
  const Files expected = {{"big.dat", target}, {"big.dll", target}};
  EXPECT_EQ(expected, Snapshot(app.path()));
  EXPECT_EQ(past, fs::last_write_time(In("big.dll")));

  TestEntry patched = PatchEntry("big.dll", old, target);
  patched.newDigest[31] ^= 1;
  TestEntry added = AddEntry("big.dat", target);
  added.newDigest[31] ^= 1;
  Put({{"big.dll", old}});
  ExpectFailure({patched}, 0, ResultTargetMismatch, In("big.dll"));
  ExpectFailure({added}, 0, ResultTargetMismatch, In("big.dat"));
}

// Paths past MAX_PATH: a name of 300 units (no component of a name may pass
// 255 bytes) in a folder of 600. The run, its backups and its journal
// work there, the dialog shows the plain path, and nothing is left behind.
// The test reads the folder by names relative to it, and lists it by its
// long form.
TEST_F(Worker, LongNamesApplyInADeepFolder) {
  fs::path deep = app.path();
  while (deep.u16string().size() < 600 - 101) deep /= std::string(100, 'd');
  deep /= std::string(600 - 1 - deep.u16string().size(), 'e');
  ASSERT_EQ(600u, deep.u16string().size());
  fs::create_directories(deep);
  CurrentDirectory inside(deep);
  const std::string top = std::string(150, 'a');
  const std::string folder = top + "/" + std::string(100, 'b');
  const std::string name = std::string(44, 'p') + ".exe";
  const std::string made = std::string(48, 'm');
  ASSERT_EQ(300u, (folder + "/" + name).size());
  fs::create_directories(folder);
  WriteAll(folder + "/" + name, kOld);
  Load({PatchEntry(folder + "/" + name, kOld, kNew),
        DirectoryEntry(folder + "/" + made)},
       PackageFlagBackup);
  window.Clear();
  ASSERT_EQ(ResultSuccess, worker->Run());
  window.Pump();
  EXPECT_TRUE(Completed());
  EXPECT_EQ(std::vector<std::string>{top}, ListFolder(deep));  // no journal
  const std::vector<std::string> files = {made, name, name + ".bak"};
  EXPECT_EQ(files, ListFolder(deep / folder));  // no temporary
  EXPECT_EQ(kNew, ReadAll(folder + "/" + name));
  EXPECT_EQ(kOld, ReadAll(folder + "/" + name + ".bak"));
  std::vector<RecordedMessage> names = window.Messages(WM_PATCH_FILENAME);
  ASSERT_EQ(2u, names.size());
  EXPECT_EQ(deep / folder / name, fs::path(names[0].text));
}

TEST_F(Worker, LockedTargetFailsTheCommitAndUndoesIt) {
  Put({{"first.dll", kOld}, {"locked.exe", kOld}, {"locked.exe.bak", kNew}});
  // A running program: open without delete sharing, for longer than the
  // commit waits for it.
  HANDLE held =
      CreateFileW(Wide(In("locked.exe")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ExpectFailure(
      {PatchEntry("first.dll", kOld, kNew), AddEntry("added.txt", kNew),
       PatchEntry("locked.exe", kOld, kNew)},
      PackageFlagBackup, ResultUpdateFailed, In("locked.exe"));
  CloseHandle(held);
}

std::string Step(char kind, const std::string& target,
                 const std::string& other = "", const std::string& aside = "") {
  return std::string(1, kind) + "\t00000020\t" + target + "\t" + other + "\t" +
         aside;
}

TEST_F(Worker, AnInterruptedCommitIsUndoneBeforeTheNextRun) {
  // Killed after the new file went in: the old one is still aside.
  WriteAll(In("app.exe"), kNew);
  WriteAll(In("ptfA.tmp"), kOld);
  WriteAll(
      In("selfpatch.journal"),
      Journal({"T\tptfB.tmp", "T\tptfA.tmp", Step('R', "app.exe", "ptfA.tmp"),
               Step('P', "app.exe", "ptfB.tmp", "ptfA.tmp")}));
  ASSERT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOld, kNew)}));
  const Files expected = {{"app.exe", kNew}};
  EXPECT_EQ(expected, Snapshot(app.path()));
}

TEST_F(Worker, AJournalThatIsNotOursIsLeftAlone) {
  // Whatever lies under the journal's name, the elevated applier acts only
  // on its own temporaries and the targets it moves them to or from, never
  // through a link, and never deletes a stranger; another run's journal,
  // still open, is left to that run.
  const fs::path victim = tools / "victim.txt";
  const std::string outsideName = victim.u8string();
  const std::string relativeOutside =
      "..\\" + tools.path().filename().u8string() + "\\victim.txt";
  const std::string kReserveA = "T\tptfA.tmp";
  const std::string kReserveLinked = "T\tsub\\ptf1.tmp";
  struct Case {
    const char* what;
    Bytes journal;
    bool linked = false;  // "sub" leads to the outside folder
    bool theirs = false;  // planted by another user
    bool held = false;    // open without sharing, by another run
  };
  const Case cases[] = {
      {"not a journal",
       ToBytes("a user's own notes, saved under an unlucky name")},
      {"deletes a full path outside", Journal({Step('D', outsideName)}, true)},
      {"adds to a full path outside",
       Journal({kReserveA, Step('A', outsideName, "ptfA.tmp")})},
      {"adds to a relative path outside",
       Journal({kReserveA, Step('A', relativeOutside, "ptfA.tmp")})},
      {"moves a target outside", Journal({Step('R', "app.exe", outsideName)})},
      {"names a stream", Journal({Step('A', "app.exe:stream", "x.tmp")})},
      {"reserves a target", Journal({"T\tapp.exe"})},
      {"moves aside onto a target",
       Journal({kReserveA, Step('R', "app.exe", "lib.dll")})},
      {"a temporary never reserved",
       Journal({Step('A', "new.txt", "ptfA.tmp")})},
      {"a temporary in another folder",
       Journal({"T\tsub\\ptfA.tmp", Step('R', "app.exe", "sub\\ptfA.tmp")})},
      {"a full path inside the folder",
       Journal({"T\t" + In("ptfA.tmp").u8string()})},
      {"a reserved name through a link", Journal({kReserveLinked}), true},
      {"a deletion through a link",
       Journal({kReserveLinked, Step('D', "sub\\ptf1.tmp")}, true), true},
      {"a step through a link",
       Journal({kReserveLinked, Step('R', "sub\\lib.dll", "sub\\ptf1.tmp")}),
       true},
      {"another user's, deleting a target",
       Journal({"T\tptfB.tmp", Step('A', "lib.dll", "ptfB.tmp")}), false, true},
      {"another run's, held open", Bytes(), false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveLinks();
    Put({{"app.exe", kOld}, {"lib.dll", kNew}, {"ptfA.tmp", kNew}});
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    WriteAll(outside / "ptf1.tmp", kVictim);
    if (c.linked && !Link("sub", outside.path())) {
      std::cout << "[ skipped ] " << c.what << ": no links here\n";
      continue;
    }
    WriteAll(In("selfpatch.journal"), c.journal);
    if (c.theirs && !GiveToAnotherUser(In("selfpatch.journal"))) {
      std::cout << "[ skipped ] " << c.what << ": no other user here\n";
      continue;
    }
    HANDLE held = c.held ? CreateFileW(Wide(In("selfpatch.journal")).c_str(),
                                       GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)
                         : INVALID_HANDLE_VALUE;
    ExpectFailure({PatchEntry("app.exe", kOld, kNew)}, 0, ResultUpdateFailed,
                  In(c.linked ? "sub" : "selfpatch.journal"));
    if (c.held) CloseHandle(held);
    EXPECT_EQ(kVictim, ReadAll(victim));
  }
}

TEST_F(Worker, NothingIsWrittenThroughALink) {
  // A link planted in the folder leads to a folder (or file) outside it;
  // each case has a harmless entry first, so a temporary exists when the
  // link is met.
  struct Case {
    const char* what;
    const char* link;
    TestEntry entry;
  };
  const Case cases[] = {
      {"an added file's folder", "data", AddEntry("data\\new.txt", kNew)},
      {"a patched file's folder", "data",
       PatchEntry("data\\lib.dll", kOld, kNew)},
      {"a new folder's parent", "data", DirectoryEntry("data\\sub")},
      {"a folder entry itself", "data", DirectoryEntry("data")},
      {"a patched file itself", "app.exe", PatchEntry("app.exe", kOld, kNew)},
      {"a removed file's folder", "data", RemoveEntry("data\\lib.dll", kOld)},
      {"a removed file itself", "app.exe", RemoveEntry("app.exe", kOld)},
      {"a source's folder", "data",
       SourcedEntry("lib.dll", "data\\lib.dll", kOld, kNew)},
      {"a folder to remove", "data", RemoveDirectoryEntry("data")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveLinks();
    Put({{"first.bin", kOld}});
    ClearFolder(outside.path());
    fs::create_directory(outside / "data");
    WriteAll(outside / "data" / "lib.dll", kOld);
    WriteAll(outside / "app.exe", kOld);
    if (!Link(c.link, outside / c.link)) {
      std::cout << "[ skipped ] " << c.what << ": no such link here\n";
      continue;
    }
    ExpectFailure({PatchEntry("first.bin", kOld, kNew), c.entry},
                  PackageFlagBackup | PackageFlagRemovals, ResultLinkOnPath,
                  In(c.link));
  }
}

TEST_F(Worker, AFolderOnTheWayIsHeldUntilTheRunEnds) {
  // Another user who tries to swap a folder the run has checked for links
  // (to carry its writes, renames or deletions out of the folder) finds it
  // held: it cannot be renamed while the run goes on. Here a patched file's
  // folder and a new folder's parent, while the last entry is prepared.
  Put({{"app.exe", kOld},
       {"data/", {}},
       {"data/lib.dll", kOld},
       {"more/", {}}});
  std::vector<BOOL> moved;
  window.onMessage = [&](const RecordedMessage& message) {
    if (message.id != WM_PATCH_FILENAME || message.wParam != 2) return;
    for (const char* folder : {"data", "more"}) {
      moved.push_back(
          MoveFileW(Wide(In(folder)).c_str(), Wide(outside / folder).c_str()));
    }
  };
  EXPECT_EQ(ResultSuccess, Apply({PatchEntry("data\\lib.dll", kOld, kNew),
                                  DirectoryEntry("more\\sub"),
                                  PatchEntry("app.exe", kOld, kNew)}));
  window.onMessage = nullptr;
  EXPECT_EQ((std::vector<BOOL>{FALSE, FALSE}), moved);
  EXPECT_TRUE(Snapshot(outside.path()).empty());
}

// A run that only checks (selfpatch verify) answers what a run would do in
// the same folder, and changes nothing: the same code at the same path.
TEST_F(Worker, ACheckAnswersWhatARunDoes) {
  const std::vector<TestEntry> package = {PatchEntry("a.bin", kOld, kNew),
                                          DirectoryEntry("data"),
                                          AddEntry("data\\new.txt", kNew)};
  const TestEntry inLib = PatchEntry("lib\\b.dll", kOld, kNew);
  const Files ready = {{"a.bin", kOld}, {"lib/", {}}, {"lib/b.dll", kOld}};
  const fs::path windows = WindowsFolder();
  const struct {
    const char* what;
    Files files;
    std::vector<TestEntry> package;
    ResultCode code;
    std::string at;
    std::function<bool()> plant = nullptr;  // false: not here
    uint32_t flags = 0;
  } rows[] = {
      {"ready", ready, package, ResultSuccess, ""},
      {"already applied",
       {{"a.bin", kNew}, {"data/", {}}, {"data/new.txt", kNew}},
       package,
       ResultSuccess,
       ""},
      {"differs", {{"a.bin", kNew}}, package, ResultSourceMismatch, "a.bin"},
      {"missing",
       {{"b.bin", kOld}, {"lib/", {}}},
       {PatchEntry("b.bin", kOld, kNew), inLib},
       ResultOpenSource,
       "lib/b.dll"},
      {"no folder",
       {{"a.bin", kOld}},
       {AddEntry("no/x.txt", kNew)},
       ResultNoTempName,
       "no/x.txt"},
      {"in a folder made first",
       {},
       {DirectoryEntry("d"), DirectoryEntry("d\\e"), AddEntry("d/e/x", kNew)},
       ResultSuccess,
       ""},
      {"at an added name",
       {{"a.bin", kOld}, {"data/", {}}, {"data/new.txt", kOld}},
       package,
       ResultTargetExists,
       "data/new.txt"},
      {"at a folder's name",
       {{"a.bin", kOld}, {"data", kOld}},
       package,
       ResultTargetExists,
       "data"},
      {"a link on the way",
       {{"a.bin", kOld}},
       {inLib},
       ResultLinkOnPath,
       "lib",
       [&] { return Link("lib", outside.path()); }},
      {"a second name",
       ready,
       {inLib},
       ResultLinkOnPath,
       "lib/b.dll",
       [&] {
         fs::create_hard_link(In("lib/b.dll"), outside / "b.dll");
         return true;
       }},
      {"another user's",
       ready,
       {inLib},
       ResultLinkOnPath,
       "lib/b.dll",
       [&] { return GiveToAnotherUser(In("lib/b.dll")); }},
      // A removed folder inside one already gone is gone too.
      {"removed folders gone",
       {{"a.bin", kOld}},
       {PatchEntry("a.bin", kOld, kNew), RemoveEntry("old\\sub\\x.dat", kOld),
        RemoveDirectoryEntry("old\\sub"), RemoveDirectoryEntry("old")},
       ResultSuccess,
       "",
       nullptr,
       PackageFlagRemovals},
      {"the Windows folder",
       {},
       {AddEntry("selfpatch-test.txt", kNew)},
       ResultInWindowsFolder,
       windows.u8string(),
       [&] {
         fs::current_path(windows);
         return true;
       }},
      {"a folder at a backup's name",
       {{"a.bin", kOld}, {"a.bin.bak/", {}}},
       {PatchEntry("a.bin", kOld, kNew)},
       ResultUpdateFailed,
       "a.bin",
       nullptr,
       PackageFlagBackup},
      {"only an empty folder to remove left",
       {{"a.bin", kNew}, {"old/", {}}},
       {PatchEntry("a.bin", kOld, kNew), RemoveDirectoryEntry("old")},
       ResultSuccess,
       "",
       nullptr,
       PackageFlagRemovals},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::pair<ResultCode, fs::path>> answers;
    for (bool checkOnly : {true, false}) {
      fs::current_path(app.path());
      RemoveLinks();
      ClearFolder(outside.path());
      Put(row.files);
      if (row.plant && !row.plant()) break;
      ResultCode result =
          Apply(row.package, row.flags, [&] { worker->checkOnly = checkOnly; });
      std::vector<RecordedMessage> errors = window.Messages(WM_PATCH_ERROR);
      answers.emplace_back(
          result, errors.empty() ? fs::path() : fs::path(errors[0].text));
      if (checkOnly) {
        EXPECT_TRUE(Unchanged());
      }
    }
    fs::current_path(app.path());
    if (answers.size() < 2) continue;
    const fs::path at = row.at.empty() || fs::path(row.at).is_absolute()
                            ? fs::path(row.at)
                            : In(row.at);
    EXPECT_EQ(std::make_pair(row.code, at), answers[0]);
    EXPECT_EQ(answers[0], answers[1]);
  }
}

TEST_F(Worker, NeverInTheWindowsFolder) {
  // An elevated start may leave the current folder at the system's own.
  const fs::path windows = WindowsFolder();
  const std::string kName = "selfpatch-test-added.txt";
  for (const fs::path& folder :
       {windows, windows / "SysWOW64", windows / "Temp"}) {
    SCOPED_TRACE(folder.u8string());
    if (!fs::is_directory(folder)) continue;
    CurrentDirectory inWindows(folder);
    ExpectFailure({AddEntry(kName, kNew)}, 0, ResultInWindowsFolder, folder);
    EXPECT_FALSE(fs::exists(folder / kName));
    EXPECT_FALSE(fs::exists(folder / "selfpatch.journal"));
  }
  // Reached through a link (a junction anyone may make), it is the same.
  // The link lies outside the folder the run snapshots: a snapshot that
  // followed it would read the whole Windows folder.
  const fs::path link = outside / "system";
  if (MakeLink(link, windows)) {
    {
      CurrentDirectory throughLink(link);
      EXPECT_EQ(ResultInWindowsFolder, Apply({AddEntry(kName, kNew)}));
    }
    RemoveLink(link);
    EXPECT_FALSE(fs::exists(windows / kName));
  }
  // A folder beside it whose name begins with its name is another folder.
  fs::path beside = windows;
  beside += "Apps";
  std::error_code error;
  if (fs::create_directory(beside, error)) {
    {
      CurrentDirectory there(beside);
      EXPECT_EQ(ResultSuccess, Apply({AddEntry(kName, kNew)}));
    }
    fs::remove_all(beside);
  }
}

}  // namespace
