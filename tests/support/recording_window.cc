#include <thread>

#include "apply/patch_thread.h"
#include "platform_support.h"
#include "test_support.h"

namespace testing_support {

void RecordingWindow::Record(UINT id, WPARAM wParam, LPARAM lParam) {
  RecordedMessage message{id, wParam, std::u16string(), 0.0};
  if ((id == WM_PATCH_FILENAME || id == WM_PATCH_ERROR ||
       id == WM_PATCH_NOTE) &&
      lParam != 0) {
    auto* text = reinterpret_cast<const WCHAR*>(lParam);
    message.text.assign(text, text + std::char_traits<WCHAR>::length(text));
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

std::vector<RecordedMessage> RecordingWindow::Messages(UINT id) {
  Pump();
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedMessage> selected;
  for (const RecordedMessage& message : messages_) {
    if (message.id == id) selected.push_back(message);
  }
  return selected;
}

void RecordingWindow::Clear() {
  Pump();
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

ResultCode ApplyPatchFile(const std::filesystem::path& patch,
                          const std::filesystem::path& folder) {
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  ResultCode result = loader.Get()->LoadFile(Wide(patch).c_str());
  if (result != ResultSuccess) return result;
  RecordingWindow window;
  window.recording = false;
  CurrentDirectory inFolder(folder);
  g_loaderHolder = &loader;
  CPatchThread worker(window.handle());
  g_loaderHolder = nullptr;
  return worker.Run();
}

// A thread of this process holds the file: sharing is judged by handle, so
// the worker meets the hold as it would meet another program's.
struct HeldElsewhere::Hold {
  HANDLE file;
  std::thread release;
};

HeldElsewhere::HeldElsewhere(const std::filesystem::path& path,
                             DWORD milliseconds)
    : hold_(new Hold{
          CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
          {}}) {
  if (!Held()) return;
  hold_->release = std::thread([file = hold_->file, milliseconds] {
    Sleep(milliseconds);
    CloseHandle(file);
  });
}

HeldElsewhere::~HeldElsewhere() {
  if (hold_->release.joinable()) hold_->release.join();
}

bool HeldElsewhere::Held() const { return hold_->file != INVALID_HANDLE_VALUE; }

}  // namespace testing_support
