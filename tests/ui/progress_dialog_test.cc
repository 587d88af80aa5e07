// The whole program, entry to exit, through the stand-in's dialog loop and
// scripted message boxes.
#include "ui/progress_dialog.h"

#include <gtest/gtest.h>

#include "standin_control.h"
#include "support/test_support.h"
#include "ui/command_line.h"
#include "ui/program.h"
#include "ui/resource.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
using standin::MessageBoxRecord;

const Bytes kOld = ToBytes("version one of the program");
const Bytes kNew = ToBytes("version two of the program, a little longer");

const std::u16string kConfirm = u"差分パッチを適応します。よろしいですか？";
const std::u16string kCloseQuestion = u"終了します。よろしいですか？";
const std::u16string kDone = u"パッチ作業が完了しました。";
const std::u16string kAlreadyApplied = u"このパッチはすでに適用されています。";
const std::u16string kCannotOpen = u"パッチ元ファイルが開けません。";

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_.reset(new CurrentDirectory(app.path()));
    standin::ResetUi();
    standin::SetDialogObserver([this](HWND window) { dialog = window; });
  }
  void TearDown() override {
    standin::ResetUi();
    cwd_.reset();
  }

  // Runs the program from a patch executable carrying `package`, as started
  // with `commandLine`; `answer` answers every message box. Returns its exit
  // code.
  int Run(const Bytes& package,
          std::function<int(const MessageBoxRecord&)> answer,
          const std::u16string& commandLine = u"") {
    Bytes exe = MakePeImage(false, {0x400});
    exe.insert(exe.end(), package.begin(), package.end());
    WriteAll(tools / "patch.exe", exe);
    before = Snapshot(app.path());
    standin::SetMessageBoxHandler(std::move(answer));
    return RunProgram(standin::RegisterModule((tools / "patch.exe").string()),
                      commandLine.c_str());
  }
  std::vector<MessageBoxRecord> Boxes() { return standin::MessageBoxes(); }
  std::vector<std::u16string> Texts() {
    std::vector<std::u16string> texts;
    for (const MessageBoxRecord& box : Boxes()) texts.push_back(box.text);
    return texts;
  }

  ScratchDir app;
  ScratchDir tools;
  HWND dialog = nullptr;
  std::vector<std::pair<std::string, Bytes>> before;

 private:
  std::unique_ptr<CurrentDirectory> cwd_;
};

// Started outside the program's folder, the user shows the way (a wrong
// folder is asked about again); Escape, Enter and a close answered "No" do
// not end the dialog: the worker goes on to the end, with the bar and each
// entry's full path shown.
TEST_F(Program, AppliesInTheFolderTheUserShows) {
  ScratchDir installed;
  WriteAll(installed / "app.exe", kOld);
  WriteAll(app / "readme.txt", kOld);  // a downloads folder
  int asked = 0;
  standin::SetFolderPickerHandler([&](const standin::FolderPickerRecord&) {
    return (++asked == 1 ? tools : installed).path().u16string();
  });
  std::vector<int> positions;
  int result =
      Run(BuildPackage(
              {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew)}),
          [&](const MessageBoxRecord& box) {
            if (box.text == kConfirm) {
              PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
              PostMessageW(dialog, WM_COMMAND, IDOK, 0);
              PostMessageW(dialog, WM_CLOSE, 0, 0);
              return IDYES;
            }
            if (box.text == kDone) {  // still on the dialog's thread
              double half = 0.5;
              SendMessageW(dialog, WM_PATCH_PROGRESS,
                           reinterpret_cast<WPARAM>(&half), 0);
              positions = standin::ProgressPositions(dialog, IDC_PROGRESS);
            }
            return box.type & MB_YESNO ? IDNO : IDOK;
          });
  EXPECT_EQ(0, result);
  EXPECT_EQ((std::vector<std::u16string>{kConfirm, kCloseQuestion, kDone}),
            Texts());
  EXPECT_EQ(dialog, Boxes()[0].owner);
  ASSERT_EQ(2u, standin::FolderPickers().size());
  EXPECT_EQ(dialog, standin::FolderPickers()[0].owner);
  std::vector<std::pair<std::string, Bytes>> expected = {{"app.exe", kNew},
                                                         {"new.txt", kNew}};
  EXPECT_EQ(expected, Snapshot(installed.path()));
  EXPECT_EQ(before, Snapshot(app.path()));
  EXPECT_EQ(std::make_pair(0, 10000),
            standin::ProgressRange(dialog, IDC_PROGRESS));
  ASSERT_GE(positions.size(), 2u);
  EXPECT_EQ(0, positions.front());  // set before any worker message
  EXPECT_EQ(5000, positions.back());
  std::vector<std::u16string> texts =
      standin::ControlTexts(dialog, IDC_STATUS_TEXT);
  ASSERT_EQ(2u, texts.size());
  EXPECT_EQ(installed / "new.txt", fs::path(texts[1]));
}

// A close answered "Yes" mid-run stops the worker and waits for it: the
// folder is left whole or untouched, with nothing of the run's left in it.
TEST_F(Program, CloseWithYesStopsTheWorkerCleanly) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 40; ++i) {
    WriteAll(app / ("file" + std::to_string(i)), kOld);
    entries.push_back(PatchEntry("file" + std::to_string(i), kOld, kNew));
  }
  EXPECT_EQ(0, Run(BuildPackage(entries), [&](const MessageBoxRecord& box) {
              if (box.text == kConfirm) PostMessageW(dialog, WM_CLOSE, 0, 0);
              return box.type & MB_YESNO ? IDYES : IDOK;
            }));
  std::vector<std::pair<std::string, Bytes>> after = Snapshot(app.path());
  size_t patched = 0;
  for (const auto& file : after) patched += file.second == kNew;
  EXPECT_TRUE(after == before || (patched == 40 && after.size() == 40));
}

// Every run that does not apply, asked or silent: the boxes it shows (the
// last one's icon), its exit code and a folder left as it was.
TEST_F(Program, RunsThatChangeNothing) {
  const Bytes package = BuildPackage({PatchEntry("app.exe", kOld, kNew)});
  const std::u16string kTooSmall =
      u"パッチファイルのデータサイズが小さすぎます。";
  const std::u16string kDiffers =
      u"パッチ元ファイルが差分元ファイルデータと異なっています。";
  const std::u16string kBadLine = u"コマンドラインの指定が正しくありません。";
  typedef std::vector<std::pair<std::string, Bytes>> Files;
  const Files old = {{"app.exe", kOld}}, newer = {{"app.exe", kNew}};
  const Files other = {{"app.exe", ToBytes("a different program")}};
  const Files downloads = {{"readme.txt", kOld}};  // no file of the patch
  struct Case {
    Files files;
    Bytes package;
    std::u16string line;
    int answer;  // to the question; 0: none asked
    std::vector<std::u16string> texts;
    int exitCode;
    unsigned type = 0;  // of the last box
  } cases[] = {
      {old, Bytes(), u"", 0, {kTooSmall}, 0, 0x10},
      {old, package, u"", IDNO, {kConfirm}, 0, 0x24},
      {other, package, u"", IDYES, {kConfirm, kDiffers}, 0, 0x10},
      {newer, package, u"", 0, {kAlreadyApplied}, 0, 0x40},
      // The folder picker, cancelled.
      {downloads, package, u"", 0, {kCannotOpen}, 0, 0x10},
      {old, package, u"/X", 0, {kBadLine}, ResultBadCommandLine, 0x10},
      {downloads, package, u"/S", 0, {}, ResultOpenSource},
      {old, Bytes(), u"/S", 0, {}, ResultPackageTooSmall},
      {old, package, u"/S /quiet", 0, {}, ResultBadCommandLine},
      // A folder that does not exist is not patched instead of this one.
      {old, package, u"/S /D=missing", 0, {}, ResultNoTempName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    standin::ResetUi();
    ClearFolder(app.path());
    for (const auto& file : c.files) WriteAll(app / file.first, file.second);
    EXPECT_EQ(c.exitCode, Run(
                              c.package,
                              [&](const MessageBoxRecord& box) {
                                return box.type & MB_YESNO ? c.answer : IDOK;
                              },
                              c.line));
    EXPECT_EQ(c.texts, Texts());
    if (!c.texts.empty()) {
      EXPECT_EQ(c.type, Boxes().back().type);
    }
    EXPECT_EQ(before, Snapshot(app.path()));  // no journal either
  }
}

TEST_F(Program, AFolderWithSpacesAndTheLog) {
  ScratchDir elsewhere;
  fs::create_directories(elsewhere / "Program Files/My App");
  const fs::path folder = elsewhere / "Program Files/My App";
  WriteAll(folder / "app.exe", kOld);
  // Files the new version no longer has: one removed, one the user
  // changed, one already gone, a folder with the user's file.
  WriteAll(folder / "old.dll", kOld);
  WriteAll(folder / "app.ini", kNew);
  fs::create_directories(folder / "plugins");
  WriteAll(folder / "plugins/mine.dll", kNew);
  const fs::path log = tools / "run log.txt";
  const Bytes package = BuildPackage(
      {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew),
       RemoveEntry("old.dll", kOld), RemoveEntry("app.ini", kOld),
       RemoveEntry("gone.txt", kOld), RemoveDirectoryEntry("plugins")},
      PackageFlagRemovals);
  const std::u16string line =
      u"/s /LOG=\"" + log.u16string() + u"\"  /D=" + folder.u16string() + u"  ";
  EXPECT_EQ(0, Run(package, nullptr, line));
  auto text = [&] {
    Bytes bytes = ReadAll(log);
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string entry = "\r\nentry " + folder.string() + "/";
  EXPECT_EQ("start " + (tools / "patch.exe").string() + "\r\nfolder " +
                folder.string() + "\r\ncheck ready" + entry +
                "app.exe: applied" + entry + "new.txt: applied" + entry +
                "old.dll: removed" + entry +
                "app.ini: kept: changed since the old version" + entry +
                "gone.txt: already gone" + entry +
                "plugins: kept: not empty\r\nresult 0 "
                "パッチ作業が完了しました。\r\n",
            text());
  // A failure, logged at its entry.
  WriteAll(folder / "app.exe", kOld);
  EXPECT_EQ(12, Run(package, nullptr, line));
  EXPECT_NE(std::string::npos,
            text().find("check mixed" + entry + "app.exe: not applied" + entry +
                        "new.txt: error 12\r\nresult 12 "));
  EXPECT_EQ(kOld, ReadAll(folder / "app.exe"));
  // A code 7 says which folder is missing: the one /D= names, or one on the
  // way to an entry.
  const std::string gone = (folder / "gone").string();
  EXPECT_EQ(7, Run(package, nullptr,
                   u"/S /LOG=\"" + log.u16string() + u"\" /D=" +
                       (folder / "gone").u16string()));
  EXPECT_NE(std::string::npos, text().find("\r\nfolder " + gone +
                                           " (no such folder)\r\nresult 7 "));
  EXPECT_EQ(7, Run(BuildPackage({AddEntry("gone/deeper/new.txt", kNew)}),
                   nullptr, line));
  EXPECT_NE(
      std::string::npos,
      text().find(entry + "gone/deeper/new.txt: error 7 (no such folder: " +
                  gone + ")\r\nresult 7 "));
  EXPECT_FALSE(fs::exists(folder / "gone"));
  EXPECT_TRUE(Boxes().empty());
}

TEST(CommandLine, Switches) {
  struct Case {
    const char16_t* line;
    bool silent;
    std::u16string folder, log, bad;
  } cases[] = {
      {u"/LOG=\"C:\\my logs\\run.log\" /S", true, u"", u"C:\\my logs\\run.log",
       u""},
      {u"/D=\"C:\\My App\"", false, u"C:\\My App", u"", u""},
      {u"/D=C:\\x /S", false, u"C:\\x /S", u"", u""},  // all the rest
      // As launchers quote arguments with spaces.
      {u"\"/LOG=C:\\my logs\\r.log\" /S \"/D=C:\\My App\"", true, u"C:\\My App",
       u"C:\\my logs\\r.log", u""},
      {u"/Q /S", true, u"", u"", u"/Q"},
      {u"/S /LOG=", true, u"", u"", u"/LOG="},
      {u"/D=", false, u"", u"", u"/D="},
      {u"/Silent", false, u"", u"", u"/Silent"},
      {u"/s /log=r.log /d=C:\\x", true, u"C:\\x", u"r.log", u""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(&test - cases);
    CommandLine options;
    WString bad;
    EXPECT_EQ(test.bad.empty(), ParseCommandLine(test.line, &options, &bad));
    EXPECT_EQ(test.silent, options.silent);
    EXPECT_EQ(test.folder, options.folder);
    EXPECT_EQ(test.log, options.logFile);
    EXPECT_EQ(test.bad, bad);
  }
}

}  // namespace
