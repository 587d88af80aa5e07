// The whole program, entry to exit, through the stand-in's dialog loop and
// scripted message boxes.
#include "ui/progress_dialog.h"

#include <gtest/gtest.h>

#include "standin_control.h"
#include "support/test_support.h"
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

  // Runs the program from a patch executable carrying `package`; `answer`
  // answers every message box.
  INT_PTR Run(const Bytes& package,
              std::function<int(const MessageBoxRecord&)> answer) {
    Bytes exe = MakePeImage(false, {0x400});
    exe.insert(exe.end(), package.begin(), package.end());
    WriteAll(tools / "patch.exe", exe);
    before = Snapshot(app.path());
    standin::SetMessageBoxHandler(std::move(answer));
    return RunApplier(standin::RegisterModule((tools / "patch.exe").string()));
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
  INT_PTR result =
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
  EXPECT_EQ(u"実行確認", boxes[0].caption);
  EXPECT_EQ(0x24u, boxes[0].type);
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

TEST_F(Program, WithoutAPackageShowsTheErrorAndAsksNothing) {
  EXPECT_EQ(0, Run(Bytes(), nullptr));
  std::vector<MessageBoxRecord> boxes = Boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(u"パッチファイルのデータサイズが小さすぎます。", boxes[0].text);
  EXPECT_EQ(u"エラー", boxes[0].caption);
  EXPECT_EQ(0x10u, boxes[0].type);
}

TEST_F(Program, DeclinedChangesNothing) {
  WriteAll(app / "app.exe", kOld);
  EXPECT_EQ(0, Run(BuildPackage({PatchEntry("app.exe", kOld, kNew)}),
                   [](const MessageBoxRecord&) { return IDNO; }));
  EXPECT_EQ(1u, Boxes().size());
  EXPECT_EQ(before, Snapshot(app.path()));
  EXPECT_TRUE(standin::ControlTexts(dialog, IDC_STATUS_TEXT).empty());
}

TEST_F(Program, WorkerErrorsAreShownAndNothingChanges) {
  WriteAll(app / "app.exe", ToBytes("a different program"));
  EXPECT_EQ(0, Run(BuildPackage({PatchEntry("app.exe", kOld, kNew)}), nullptr));
  std::vector<MessageBoxRecord> boxes = Boxes();
  ASSERT_EQ(2u, boxes.size());
  EXPECT_EQ(u"パッチ元ファイルが差分元ファイルデータと異なっています。",
            boxes[1].text);
  EXPECT_EQ(before, Snapshot(app.path()));
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

}  // namespace
