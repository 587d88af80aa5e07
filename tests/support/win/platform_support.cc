#include "../platform_support.h"

namespace testing_support {
namespace {

const wchar_t kClassName[] = L"SelfpatchRecordingWindow";

LRESULT CALLBACK RecordingProc(HWND window, UINT id, WPARAM w, LPARAM l) {
  auto* self = reinterpret_cast<RecordingWindow*>(
      GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && id >= 0x800 && id <= 0x804) {
    self->Record(id, w, l);
    return TRUE;
  }
  return DefWindowProcW(window, id, w, l);
}

}  // namespace

TestModule::TestModule(const std::filesystem::path& path)
    : handle_(
          LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)) {}

TestModule::~TestModule() {
  if (handle_ != nullptr) FreeLibrary(handle_);
}

RecordingWindow::RecordingWindow() {
  static const ATOM registered = [] {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassW(&windowClass);
  }();
  (void)registered;
  handle_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

RecordingWindow::~RecordingWindow() {
  Pump();
  DestroyWindow(handle_);
}

void RecordingWindow::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageW(&message);
  }
}

// Windows' clock cannot be stepped: it runs on.
SteppedClock::SteppedClock(ULONGLONG) {}

SteppedClock::~SteppedClock() = default;

std::filesystem::path OwnExecutable() {
  wchar_t path[4096];
  GetModuleFileNameW(nullptr, path, 4096);
  return path;
}

}  // namespace testing_support
