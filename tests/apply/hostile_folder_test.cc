// Another user who can write into the folder plants files, hard links and
// journals before the run, and swaps names while it runs: the elevated
// applier must act on nothing outside the folder, lose no file, and report
// success only for work it did. The DISABLED_ cases fail today: each is
// a fault still open (run them with --gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const Bytes kOld = ToBytes("the old program, version one");
const Bytes kNew = ToBytes("the new program: version two, longer");
const Bytes kPlanted = ToBytes("planted by another user");
const Bytes kVictim = ToBytes("a file outside the folder");

// A journal as a run writes it, with the given package digest.
Bytes Journal(const uint8_t* digest, const std::vector<WString>& lines,
              bool committed) {
  static const char kDigits[] = "0123456789abcdef";
  WString text = WString(1, 0xFEFF) + WTXT("selfpatch journal 2\t");
  for (int i = 0; i < 32; ++i) {
    text += static_cast<WCHAR>(kDigits[digest[i] >> 4]);
    text += static_cast<WCHAR>(kDigits[digest[i] & 15]);
  }
  text += WTXT("\n");
  for (const WString& line : lines) text += line + WTXT("\n");
  if (committed) text += WTXT("C\n");
  Bytes bytes;
  for (WCHAR c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

const uint8_t kNoDigest[32] = {};

fs::perms Permissions(const fs::path& path) {
  return fs::status(path).permissions();
}

// The temporaries of ours in `folder`.
std::vector<fs::path> Temporaries(const fs::path& folder) {
  std::vector<fs::path> found;
  for (const auto& item : fs::directory_iterator(folder)) {
    if (item.path().filename().string().rfind("ptf", 0) == 0)
      found.push_back(item.path());
  }
  return found;
}

class Hostile : public WorkerTest {
 protected:
  // A hard link is no reparse point: a planted "temporary" that is a hard
  // link to a file outside shares that file's attributes. Recovers a journal
  // of `lines` with ptfA.tmp such a link, and checks the outside file.
  void RecoverThroughAHardLink(bool readOnly,
                               const std::vector<WString>& lines) {
    const fs::path victim = outside / "victim.dll";
    WriteAll(victim, kVictim);
    if (readOnly)
      fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
    const fs::perms before = Permissions(victim);
    WriteAll(In("app.exe"), kOld);
    fs::create_hard_link(victim, In("ptfA.tmp"));
    WriteAll(In("selfpatch.journal"), Journal(kNoDigest, lines, false));
    Apply({PatchEntry("app.exe", kOld, kNew)});
    EXPECT_EQ(before, Permissions(victim));
    EXPECT_EQ(kVictim, ReadAll(victim));
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
  }
};

TEST_F(Hostile, ACompleteJournalOfThisPackageIsNoProofOfTheWork) {
  // The package's digest is public (it is in the executable): a planted
  // "complete" journal of this package must not make a run that patched
  // nothing report success.
  WriteAll(In("app.exe"), kOld);
  const std::vector<TestEntry> package = {PatchEntry("app.exe", kOld, kNew)};
  Load(package);
  WriteAll(In("selfpatch.journal"),
           Journal(holder.Get()->header.packageDigest, {}, true));
  window.Clear();
  ResultCode result = worker->Run();
  window.Pump();
  if (result == ResultSuccess) {
    EXPECT_EQ(kNew, ReadAll(In("app.exe")));  // success means patched
  }
  EXPECT_FALSE(fs::exists(In("selfpatch.journal")) && result == ResultSuccess);
}

TEST_F(Hostile, DISABLED_APlantedJournalPutsNoFileOfItsOwnInPlaceOfATarget) {
  // Shaped like a commit killed after the new file went in, the journal
  // says the planted temporary holds the old program: recovery moves the
  // user's program onto a temporary, deletes it, and puts the planted file
  // in its place, elevated.
  WriteAll(In("app.exe"), kOld);
  WriteAll(In("ptfA.tmp"), kPlanted);
  WriteAll(In("selfpatch.journal"),
           Journal(kNoDigest,
                   {WTXT("T\tptfB.tmp"), WTXT("T\tptfA.tmp"),
                    WTXT("R\t00000020\tapp.exe\tptfA.tmp\t"),
                    WTXT("P\t00000020\tapp.exe\tptfB.tmp\tptfA.tmp")},
                   false));
  Apply({PatchEntry("app.exe", kOld, kNew)});
  EXPECT_NE(kPlanted, ReadAll(In("app.exe")));
  bool kept = false;  // the user's program, under any name
  for (const auto& file : Snapshot(app.path()))
    kept = kept || file.second == kOld || file.second == kNew;
  EXPECT_TRUE(kept);
}

TEST_F(Hostile, DISABLED_APlantedAddStepDeletesNoTarget) {
  // "A" undone moves the target onto the reserved temporary, which then
  // goes: any file of the folder the attacker cannot delete himself.
  WriteAll(In("app.exe"), kOld);
  WriteAll(In("other.dll"), kOld);
  WriteAll(
      In("selfpatch.journal"),
      Journal(kNoDigest,
              {WTXT("T\tptfA.tmp"), WTXT("A\t00000000\tother.dll\tptfA.tmp\t")},
              false));
  Apply({PatchEntry("app.exe", kOld, kNew)});
  EXPECT_TRUE(fs::exists(In("other.dll")));
}

TEST_F(Hostile, RecoveryClearsNoReadOnlyFlagThroughAHardLink) {
  RecoverThroughAHardLink(true, {WTXT("T\tptfA.tmp")});
  // Not a file of ours: recovery stops, the journal stays.
  EXPECT_EQ(
      std::make_pair(ResultCode(ResultUpdateFailed), In("selfpatch.journal")),
      ReportedError());
}

TEST_F(Hostile, DISABLED_RecoveryGivesNoAttributesThroughAHardLink) {
  // An aside moved back gets the attributes its line gives.
  RecoverThroughAHardLink(
      false, {WTXT("T\tptfA.tmp"), WTXT("R\t00000001\tback.txt\tptfA.tmp\t")});
}

TEST_F(Hostile, AReservedTemporarySwappedForALinkIsNotWrittenThrough) {
  // Once the temporary is reserved, another user with delete rights in the
  // folder puts a link to an outside file in its place: as a hard link
  // right away, or as a symbolic link while the new file is written.
  struct Case {
    const char* what;
    bool hard;
  };
  const Case cases[] = {{"a hard link", true}, {"a symbolic link", false}};
  const fs::path victim = outside / "victim.dll";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveLinks();
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    WriteAll(In("app.exe"), kOld);
    bool armed = false, swapped = false;
    auto swap = [&] {
      for (const fs::path& temp : Temporaries(app.path())) {
        fs::remove(temp);
        if (c.hard) {
          fs::create_hard_link(victim, temp);
        } else {
          fs::create_symlink(victim, temp);
        }
        swapped = true;
      }
    };
    window.onMessage = [&](const RecordedMessage& message) {
      if (message.id != WM_PATCH_FILENAME) return;
      if (c.hard) {
        swap();
      } else {
        armed = true;
      }
    };
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (armed && std::string(function) == "WriteFile") {
        armed = false;
        swap();
      }
    });
    ResultCode result = Apply({PatchEntry("app.exe", kOld, kNew)});
    standin::SetCallObserver(nullptr);
    window.onMessage = nullptr;
    ASSERT_TRUE(swapped);
    EXPECT_EQ(kVictim, ReadAll(victim)) << "result " << result;
    for (const fs::path& temp : Temporaries(app.path())) fs::remove(temp);
  }
}

TEST_F(Hostile, DISABLED_AFolderSwappedForALinkGetsNoFolderOutside) {
  // Once the new folder's parent is checked and a temporary reserved in it,
  // the parent becomes a link to a folder outside.
  fs::create_directory(In("data"));
  bool linked = false;
  window.onMessage = [&](const RecordedMessage& message) {
    if (message.id != WM_PATCH_FILENAME) return;
    fs::rename(In("data"), outside / "data");
    linked = Link("data", outside / "data");
  };
  ResultCode result = Apply({DirectoryEntry("data\\sub")});
  window.onMessage = nullptr;
  if (!linked) GTEST_SKIP() << "no links here";
  EXPECT_FALSE(fs::exists(outside / "data" / "sub"));
  EXPECT_NE(ResultSuccess, result);
}

TEST_F(Hostile, AJournalThatIsAHardLinkToAnOutsideFileStays) {
  // A cut-short header is removed by recovery: under the journal's name, a
  // hard link to a read-only outside file loses no attribute of it.
  const fs::path victim = outside / "notes.txt";
  Bytes cut = Journal(kNoDigest, {}, false);
  cut.resize(20);  // inside the header line
  WriteAll(victim, cut);
  fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
  const fs::perms before = Permissions(victim);
  fs::create_hard_link(victim, In("selfpatch.journal"));
  WriteAll(In("app.exe"), kOld);
  Apply({PatchEntry("app.exe", kOld, kNew)});
  EXPECT_EQ(
      std::make_pair(ResultCode(ResultUpdateFailed), In("selfpatch.journal")),
      ReportedError());
  EXPECT_EQ(before, Permissions(victim));
  EXPECT_EQ(cut, ReadAll(victim));
  fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(Hostile, DISABLED_AFolderSwappedDuringRecoveryLosesNoOutsideFile) {
  // Recovery checks every name for links, then acts: a folder swapped for a
  // link in between carries an undone "A" (target onto its temporary, then
  // the temporary deleted) to a file outside.
  fs::create_directories(In("sub"));
  fs::create_directories(outside / "v");
  WriteAll(In("sub/new.txt"), kPlanted);
  WriteAll(outside / "v" / "new.txt", kVictim);
  WriteAll(In("app.exe"), kOld);
  WriteAll(In("selfpatch.journal"),
           Journal(kNoDigest,
                   {WTXT("T\tsub\\ptfA.tmp"),
                    WTXT("A\t00000000\tsub\\new.txt\tsub\\ptfA.tmp\t")},
                   false));
  bool linked = false;
  standin::SetCallObserver([&](const char* function, uint64_t) {
    if (linked || std::string(function) != "MoveFileW") return;
    fs::rename(In("sub"), outside / "moved");
    linked = Link("sub", outside / "v");
  });
  Apply({PatchEntry("app.exe", kOld, kNew)});
  standin::SetCallObserver(nullptr);
  ASSERT_TRUE(linked);
  EXPECT_TRUE(fs::exists(outside / "v" / "new.txt"));
}

}  // namespace
