#include "../platform_support.h"

#include <unistd.h>

#include "standin_control.h"

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

std::filesystem::path OwnExecutable() {
  return std::filesystem::read_symlink("/proc/self/exe");
}

}  // namespace testing_support
