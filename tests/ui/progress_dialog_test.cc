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

  ScratchDir app;
  ScratchDir tools;
  HWND dialog = nullptr;
  std::vector<std::pair<std::string, Bytes>> before;

 private:
  std::unique_ptr<CurrentDirectory> cwd_;
};

TEST_F(Program, AppliesAfterConfirmation) {
  WriteAll(app / "app.exe", kOld);
  std::vector<int> positions;
  int result =
      Run(BuildPackage(
              {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew)},
              PackageFlagBackup),
          [&](const MessageBoxRecord& box) {
            if (box.text == kDone) {
              // Still on the dialog's thread: the bar's scale, truncated.
              for (double fraction : {0.5, 0.99995, 1.0}) {
                SendMessageW(dialog, WM_PATCH_PROGRESS,
                             reinterpret_cast<WPARAM>(&fraction), 0);
              }
              positions = standin::ProgressPositions(dialog, IDC_PROGRESS);
            }
            return box.type & MB_YESNO ? IDYES : IDOK;
          });
  EXPECT_EQ(0, result);
  std::vector<MessageBoxRecord> boxes = Boxes();
  ASSERT_EQ(2u, boxes.size());
  EXPECT_EQ(kConfirm, boxes[0].text);
  EXPECT_EQ(dialog, boxes[0].owner);
  EXPECT_EQ(kDone, boxes[1].text);
  EXPECT_EQ(u"正常終了", boxes[1].caption);
  EXPECT_EQ(0x40u, boxes[1].type);

  EXPECT_EQ(kNew, ReadAll(app / "app.exe"));
  EXPECT_EQ(kOld, ReadAll(app / "app.exe.bak"));
  EXPECT_EQ(kNew, ReadAll(app / "new.txt"));
  EXPECT_EQ(std::make_pair(0, 10000),
            standin::ProgressRange(dialog, IDC_PROGRESS));
  ASSERT_GE(positions.size(), 4u);
  EXPECT_EQ(0, positions[0]);  // set before any worker message
  EXPECT_EQ((std::vector<int>{5000, 9999, 10000}),
            std::vector<int>(positions.end() - 3, positions.end()));
  std::vector<std::u16string> texts =
      standin::ControlTexts(dialog, IDC_STATUS_TEXT);
  ASSERT_EQ(2u, texts.size());
  EXPECT_EQ(app / "new.txt", fs::path(texts[1]));
}

// Every run that does not apply: the boxes it shows (the last one's caption
// and icon) and a folder left as it was.
TEST_F(Program, RunsThatChangeNothing) {
  const Bytes package = BuildPackage({PatchEntry("app.exe", kOld, kNew)});
  const std::u16string kError = u"エラー";
  const std::u16string kTooSmall =
      u"パッチファイルのデータサイズが小さすぎます。";
  const std::u16string kDiffers =
      u"パッチ元ファイルが差分元ファイルデータと異なっています。";
  const std::u16string kBadLine = u"コマンドラインの指定が正しくありません。";
  const Bytes kOther = ToBytes("a different program");
  struct Case {
    Bytes app;
    Bytes package;
    int answer;  // to the question; 0: none asked
    std::vector<std::u16string> texts;
    std::u16string caption;
    unsigned type;
    std::u16string line = u"";
    int exitCode = 0;
  } cases[] = {
      {kOld, Bytes(), 0, {kTooSmall}, kError, 0x10},
      {kOld, package, IDNO, {kConfirm}, u"実行確認", 0x24},
      {kOther, package, IDYES, {kConfirm, kDiffers}, kError, 0x10},
      {kNew, package, 0, {kAlreadyApplied}, u"正常終了", 0x40},
      {kOld, package, 0, {kBadLine}, kError, 0x10, u"/X", ResultBadCommandLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    standin::ResetUi();
    standin::SetDialogObserver([this](HWND window) { dialog = window; });
    WriteAll(app / "app.exe", c.app);
    EXPECT_EQ(c.exitCode, Run(
                              c.package,
                              [&](const MessageBoxRecord& box) {
                                return box.type & MB_YESNO ? c.answer : IDOK;
                              },
                              c.line));
    std::vector<MessageBoxRecord> boxes = Boxes();
    std::vector<std::u16string> texts;
    for (const MessageBoxRecord& box : boxes) texts.push_back(box.text);
    EXPECT_EQ(c.texts, texts);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(c.caption, boxes.back().caption);
    EXPECT_EQ(c.type, boxes.back().type);
    EXPECT_EQ(before, Snapshot(app.path()));  // no journal either
    if (c.answer == IDNO) {                   // no worker started
      EXPECT_TRUE(standin::ControlTexts(dialog, IDC_STATUS_TEXT).empty());
    }
  }
}

TEST_F(Program, OnlyCloseWithYesOrTheResultEndsTheDialog) {
  WriteAll(app / "app.exe", kOld);
  int closeAnswers = 0;
  Run(BuildPackage({PatchEntry("app.exe", kOld, kNew)}),
      [&](const MessageBoxRecord& box) {
        if (box.text == kConfirm) {
          // Escape, Enter and other commands do not end the dialog.
          PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
          PostMessageW(dialog, WM_COMMAND, IDOK, 0);
          PostMessageW(dialog, WM_CLOSE, 0, 0);
          return IDYES;
        }
        if (box.text == kCloseQuestion)
          return ++closeAnswers == 1 ? IDNO : IDYES;
        return IDOK;
      });
  // "No" kept the dialog and the worker going to the end.
  EXPECT_EQ(1, closeAnswers);
  EXPECT_EQ(kDone, Boxes().back().text);
  EXPECT_EQ(kNew, ReadAll(app / "app.exe"));
}

TEST_F(Program, CloseWithYesStopsTheWorkerCleanly) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 40; ++i) {
    std::string name = "file" + std::to_string(i);
    WriteAll(app / name, kOld);
    entries.push_back(PatchEntry(name, kOld, kNew));
  }
  Bytes package = BuildPackage(entries);
  EXPECT_EQ(0, Run(package, [&](const MessageBoxRecord& box) {
              if (box.text == kConfirm) PostMessageW(dialog, WM_CLOSE, 0, 0);
              return box.type & MB_YESNO ? IDYES : IDOK;
            }));
  // The program has joined the worker: the folder is whole or untouched.
  std::vector<std::pair<std::string, Bytes>> after = Snapshot(app.path());
  bool untouched = after == before;
  bool patched = true;
  for (const auto& file : after) patched = patched && file.second == kNew;
  EXPECT_TRUE(untouched || (patched && after.size() == 40));
}

TEST_F(Program, AnotherFolderIsChosenOrTheRunEndsAsBefore) {
  ScratchDir installed;
  WriteAll(installed / "app.exe", kOld);
  WriteAll(app / "readme.txt", kOld);  // a downloads folder
  Bytes package = BuildPackage({PatchEntry("app.exe", kOld, kNew)});
  // A wrong folder is asked about again; the right one is patched.
  std::vector<std::u16string> answers = {tools.path().u16string(),
                                         installed.path().u16string()};
  standin::SetFolderPickerHandler([&](const standin::FolderPickerRecord&) {
    std::u16string answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  });
  EXPECT_EQ(0, Run(package, nullptr));
  std::vector<standin::FolderPickerRecord> pickers = standin::FolderPickers();
  ASSERT_EQ(2u, pickers.size());
  EXPECT_EQ(u"パッチを適用するフォルダーを選択してください", pickers[0].title);
  EXPECT_TRUE(pickers[0].options & FOS_PICKFOLDERS);
  EXPECT_EQ(dialog, pickers[0].owner);
  ASSERT_EQ(2u, Boxes().size());
  EXPECT_EQ(kConfirm, Boxes()[0].text);
  EXPECT_EQ(kDone, Boxes()[1].text);
  EXPECT_EQ(kNew, ReadAll(installed / "app.exe"));
  std::vector<std::pair<std::string, Bytes>> expected = {{"app.exe", kNew}};
  EXPECT_EQ(expected, Snapshot(installed.path()));

  // Cancel: the first failure of a run here, and nothing changes anywhere.
  standin::ResetUi();
  CurrentDirectory here(app.path());
  WriteAll(installed / "app.exe", kOld);
  EXPECT_EQ(0, Run(package, nullptr));  // no handler: every picker cancels
  EXPECT_EQ(1u, standin::FolderPickers().size());
  ASSERT_EQ(1u, Boxes().size());
  EXPECT_EQ(kCannotOpen, Boxes()[0].text);
  EXPECT_EQ(before, Snapshot(app.path()));
  EXPECT_EQ(kOld, ReadAll(installed / "app.exe"));
}

TEST_F(Program, SilentRunsAskNothingAndExitWithTheResult) {
  const Bytes package = BuildPackage(
      {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew)});
  typedef std::vector<std::pair<std::string, Bytes>> Files;
  const Files old = {{"app.exe", kOld}}, newer = {{"app.exe", kNew}};
  const Files patched = {{"app.exe", kNew}, {"new.txt", kNew}};
  const Files other = {{"other.txt", kOld}};
  struct Case {
    Files files;
    Bytes package;
    int exitCode;
    Files after;
    std::u16string line = u"/S";
  };
  const Case cases[] = {
      {old, package, 0, patched},
      {patched, package, 0, patched},
      {newer, package, 10, newer},
      {other, package, 8, other},
      {old, Bytes(), 3, old},
      {old, package, 17, old, u"/S /quiet"},
      // A folder that does not exist is not patched instead of this one.
      {old, package, 7, old, u"/S /D=missing"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(&test - cases);
    standin::ResetUi();
    ClearFolder(app.path());
    for (const auto& file : test.files) WriteAll(app / file.first, file.second);
    EXPECT_EQ(test.exitCode, Run(test.package, nullptr, test.line));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(standin::FolderPickers().empty());
    EXPECT_EQ(test.after, Snapshot(app.path()));
  }
}

TEST_F(Program, AFolderWithSpacesAndTheLog) {
  ScratchDir elsewhere;
  fs::create_directories(elsewhere / "Program Files/My App");
  const fs::path folder = elsewhere / "Program Files/My App";
  WriteAll(folder / "app.exe", kOld);
  const fs::path log = tools / "run log.txt";
  const Bytes package = BuildPackage(
      {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew)});
  const std::u16string line =
      u"/s /LOG=\"" + log.u16string() + u"\"  /D=" + folder.u16string() + u"  ";
  EXPECT_EQ(0, Run(package, nullptr, line));
  EXPECT_EQ(kNew, ReadAll(folder / "app.exe"));
  EXPECT_TRUE(Snapshot(app.path()).empty());
  auto text = [&] {
    Bytes bytes = ReadAll(log);
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string entry = "\r\nentry " + folder.string() + "/";
  EXPECT_EQ("start " + (tools / "patch.exe").string() + "\r\nfolder " +
                folder.string() + "\r\ncheck ready" + entry +
                "app.exe: applied" + entry +
                "new.txt: applied\r\nresult 0 パッチ作業が完了しました。\r\n",
            text());
  // Run again: already applied. Then a failure, logged at its entry.
  EXPECT_EQ(0, Run(package, nullptr, line));
  EXPECT_NE(std::string::npos, text().find("check already applied" + entry +
                                           "app.exe: already applied"));
  EXPECT_NE(std::string::npos,
            text().find("result 0 このパッチはすでに適用されています。"));
  WriteAll(folder / "app.exe", kOld);
  EXPECT_EQ(12, Run(package, nullptr, line));
  EXPECT_NE(std::string::npos,
            text().find("check mixed" + entry + "app.exe: not applied" + entry +
                        "new.txt: error 12\r\nresult 12 "));
  EXPECT_EQ(kOld, ReadAll(folder / "app.exe"));
}

TEST(CommandLine, Switches) {
  struct Case {
    const char16_t* line;
    bool good;
    bool silent;
    std::u16string folder, log, bad;
  } cases[] = {
      {u"", true, false, u"", u"", u""},
      {u"  /S ", true, true, u"", u"", u""},
      {u"/s /log=a.txt", true, true, u"", u"a.txt", u""},
      {u"/LOG=\"C:\\my logs\\run.log\" /S", true, true, u"",
       u"C:\\my logs\\run.log", u""},
      {u"/S /D=C:\\Program Files\\My App  ", true, true,
       u"C:\\Program Files\\My App", u"", u""},
      {u"/D=\"C:\\My App\"", true, false, u"C:\\My App", u"", u""},
      {u"/D=C:\\x /S", true, false, u"C:\\x /S", u"", u""},  // all the rest
      // As launchers quote arguments with spaces.
      {u"\"/LOG=C:\\my logs\\r.log\" /S \"/D=C:\\My App\"", true, true,
       u"C:\\My App", u"C:\\my logs\\r.log", u""},
      {u"/Q /S", false, true, u"", u"", u"/Q"},
      {u"/S /LOG=", false, true, u"", u"", u"/LOG="},
      {u"/D=", false, false, u"", u"", u"/D="},
      {u"/Silent", false, false, u"", u"", u"/Silent"},
      {u"patch.txt", false, false, u"", u"", u"patch.txt"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string(
        test.line, test.line + std::char_traits<char16_t>::length(test.line)));
    CommandLine options;
    WString bad;
    EXPECT_EQ(test.good, ParseCommandLine(test.line, &options, &bad));
    EXPECT_EQ(test.silent, options.silent);
    EXPECT_EQ(test.folder, options.folder);
    EXPECT_EQ(test.log, options.logFile);
    EXPECT_EQ(test.bad, bad);
  }
}

}  // namespace
