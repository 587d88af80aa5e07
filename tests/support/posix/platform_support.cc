#include "../platform_support.h"

#include <algorithm>

#include "standin_control.h"
#include "support/test_support.h"

namespace testing_support {

TestModule::TestModule(const std::filesystem::path& path)
    : handle_(standin::RegisterModule(path.string())) {}

TestModule::~TestModule() = default;

RecordingWindow::RecordingWindow() {
  handle_ = standin::CreateSinkWindow([this](UINT id, WPARAM w, LPARAM l) {
    Record(id, w, l);
    return static_cast<LRESULT>(TRUE);
  });
}

RecordingWindow::~RecordingWindow() { standin::DestroySinkWindow(handle_); }

// The stand-in handles a sink's messages where they are sent or posted.
void RecordingWindow::Pump() {}

SteppedClock::SteppedClock(ULONGLONG step) { standin::SetClockStep(step); }

SteppedClock::~SteppedClock() { standin::SetClockStep(0); }

bool MakeLink(const std::filesystem::path& link,
              const std::filesystem::path& target) {
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  return !error;
}

void RemoveLink(const std::filesystem::path& link) {
  std::error_code error;
  std::filesystem::remove(link, error);
}

std::vector<std::string> ListFolder(const std::filesystem::path& path) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(path))
    names.push_back(item.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

bool GiveToAnotherUser(const std::filesystem::path& path) {
  standin::SetOwner(path.string(), standin::User::kOther);
  return true;
}

std::filesystem::path WindowsFolder() {
  static const ScratchDir* scratch = new ScratchDir;
  std::filesystem::path folder = scratch->path() / "Windows";
  std::filesystem::create_directories(folder / "SysWOW64");
  standin::SetWindowsDirectory(folder.string());
  return folder;
}

}  // namespace testing_support
