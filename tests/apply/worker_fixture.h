// A package loaded from a patch executable in its own folder, applied to a
// scratch "installed program" folder that is the current folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "apply/patch_thread.h"
#include "support/platform_support.h"
#include "support/test_support.h"

namespace testing_support {

// A folder's files and their contents; a name ending in "/" is a folder.
typedef std::vector<std::pair<std::string, Bytes>> Files;

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { cwd_.reset(new CurrentDirectory(app.path())); }
  void TearDown() override {
    RemoveLinks();
    worker.reset();
    holder.Release();
    module_.reset();
    cwd_.reset();
  }

  void Load(const std::vector<TestEntry>& entries, uint32_t flags = 0) {
    worker.reset();
    holder.Release();
    module_.reset();
    Bytes exe = BaseExecutable();
    Bytes package = BuildPackage(entries, flags);
    exe.insert(exe.end(), package.begin(), package.end());
    std::filesystem::path path =
        tools / ("patch" + std::to_string(++count_) + ".exe");
    WriteAll(path, exe);
    module_.reset(new TestModule(path));
    holder.Attach(new PackageLoader(module_->handle()), 1);
    ASSERT_EQ(ResultSuccess, holder.Get()->Load());
    g_loaderHolder = &holder;
    worker.reset(new CPatchThread(window.handle()));
    g_loaderHolder = nullptr;
  }

  // Loads the package, remembers the folder as it was, and runs the worker
  // on this thread.
  ResultCode Apply(const std::vector<TestEntry>& entries, uint32_t flags = 0) {
    Load(entries, flags);
    window.Clear();
    before = Snapshot(app.path());
    ResultCode result = worker->Run();
    window.Pump();
    return result;
  }

  // The error the worker reported: its code and path.
  std::pair<ResultCode, std::filesystem::path> ReportedError() {
    std::vector<RecordedMessage> errors = window.Messages(WM_PATCH_ERROR);
    EXPECT_EQ(1u, errors.size());
    if (errors.empty()) return {0xFFFFFFFF, {}};
    return {static_cast<ResultCode>(errors[0].wParam),
            std::filesystem::path(errors[0].text)};
  }
  bool Completed() { return window.Messages(WM_PATCH_COMPLETE).size() == 1; }
  bool Unchanged() { return Snapshot(app.path()) == before; }
  std::filesystem::path In(const std::string& name) { return app / name; }

  // Runs the package and expects what a user of a failed run cares about:
  // the code and the name reported, and this folder and the outside one as
  // they were (no temporary, no journal, no folder made for the run).
  void ExpectFailure(const std::vector<TestEntry>& entries, uint32_t flags,
                     ResultCode code, const std::filesystem::path& at) {
    const Files outsideBefore = Snapshot(outside.path());
    EXPECT_EQ(code, Apply(entries, flags));
    EXPECT_EQ(std::make_pair(code, at), ReportedError());
    EXPECT_FALSE(Completed());
    EXPECT_TRUE(Unchanged());
    EXPECT_EQ(outsideBefore, Snapshot(outside.path()));
  }
  // Empties the folder and puts `files` in it.
  void Put(const Files& files) {
    ClearFolder(app.path());
    for (const auto& file : files) {
      if (file.first.back() == '/') {
        std::filesystem::create_directory(In(file.first));
      } else {
        WriteAll(In(file.first), file.second);
      }
    }
  }

  // Plants a link `name` in the folder to `target`; false where the
  // platform cannot make one it reports as a link (see MakeLink).
  bool Link(const std::string& name, const std::filesystem::path& target) {
    if (!MakeLink(In(name), target)) return false;
    links_.push_back(In(name));
    return true;
  }
  // Removes the planted links (before the folders are cleared: what they
  // lead to stays).
  void RemoveLinks() {
    for (const auto& link : links_) RemoveLink(link);
    links_.clear();
  }

  ScratchDir app;
  ScratchDir tools;
  ScratchDir outside;  // where a planted link leads
  RecordingWindow window;
  SharedArray<PackageLoader> holder;
  std::unique_ptr<CPatchThread> worker;
  Files before;

 private:
  std::unique_ptr<CurrentDirectory> cwd_;
  std::unique_ptr<TestModule> module_;
  std::vector<std::filesystem::path> links_;
  int count_ = 0;
};

}  // namespace testing_support
