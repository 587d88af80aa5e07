#include <chrono>
#include <thread>

#include "apply/patch_thread.h"
#include "platform_support.h"

namespace testing_support {

void RecordingWindow::Record(UINT id, WPARAM wParam, LPARAM lParam) {
  RecordedMessage message{id, wParam, std::u16string(), 0.0};
  if ((id == WM_PATCH_FILENAME || id == WM_PATCH_ERROR) && lParam != 0) {
    for (auto* p = reinterpret_cast<const WCHAR*>(lParam); *p != 0; ++p) {
      message.text += static_cast<char16_t>(*p);
    }
  }
  if (id == WM_PATCH_PROGRESS) {
    message.fraction = *reinterpret_cast<const double*>(wParam);
  }
  if (recording) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  if (onMessage) onMessage(message);
}

std::vector<RecordedMessage> RecordingWindow::Messages() {
  Pump();
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<RecordedMessage> RecordingWindow::Messages(UINT id) {
  std::vector<RecordedMessage> selected;
  for (const RecordedMessage& message : Messages()) {
    if (message.id == id) selected.push_back(message);
  }
  return selected;
}

void RecordingWindow::Clear() {
  Pump();
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

bool RecordingWindow::WaitUntil(
    const std::function<bool(const std::vector<RecordedMessage>&)>& done,
    int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(milliseconds);
  while (!done(Messages())) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

ResultCode ApplyPatchFile(const std::filesystem::path& patch,
                          const std::filesystem::path& folder) {
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  std::u16string path = patch.u16string();
  ResultCode result =
      loader.Get()->LoadFile(WString(path.begin(), path.end()).c_str());
  if (result != ResultSuccess) return result;
  RecordingWindow window;
  window.recording = false;
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  g_loaderHolder = &loader;
  {
    CPatchThread worker(window.handle());
    g_loaderHolder = nullptr;
    result = worker.Run();
  }
  std::filesystem::current_path(previous);
  return result;
}

}  // namespace testing_support
