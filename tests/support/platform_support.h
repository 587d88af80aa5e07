// What tests need of the platform beyond the system's own calls: a module
// handle for any executable file, and a window that records the worker's
// messages. Implemented once with the stand-in and once with Win32.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "result/result_codes.h"

namespace testing_support {

// A module handle whose file is `path`, for pointing a loader at it.
class TestModule {
 public:
  explicit TestModule(const std::filesystem::path& path);
  ~TestModule();
  TestModule(const TestModule&) = delete;
  TestModule& operator=(const TestModule&) = delete;
  HMODULE handle() const { return handle_; }

 private:
  HMODULE handle_;
};

struct RecordedMessage {
  UINT id;
  WPARAM wParam;
  std::u16string text;  // WM_PATCH_FILENAME, _ERROR and _NOTE: the path
  double fraction;      // WM_PATCH_PROGRESS
};

// A window that records the worker's messages. Messages sent from the
// thread that created it are recorded at once; posted ones, and (on
// Windows) those sent from other threads, when Pump runs.
class RecordingWindow {
 public:
  RecordingWindow();
  ~RecordingWindow();

  HWND handle() const { return handle_; }
  void Pump();
  // The messages `id` so far.
  std::vector<RecordedMessage> Messages(UINT id);
  void Clear();
  // Runs on every message, after it was recorded (on the handling thread).
  std::function<void(const RecordedMessage&)> onMessage;
  // False: nothing is kept, so memory stays flat however long the run.
  bool recording = true;

  void Record(UINT id, WPARAM wParam, LPARAM lParam);

 private:
  HWND handle_;
  std::mutex mutex_;
  std::vector<RecordedMessage> messages_;
};

// While it lives, GetTickCount64 moves `step` milliseconds at each reading
// and at no other time, so that a test can reason about time in readings.
// Windows keeps its own clock: a test must hold with either.
class SteppedClock {
 public:
  explicit SteppedClock(ULONGLONG step);
  ~SteppedClock();
  SteppedClock(const SteppedClock&) = delete;
  SteppedClock& operator=(const SteppedClock&) = delete;
};

// Makes `link` a symbolic link to `target`: the stand-in's own; under Wine
// one made by the host's tools, which Wine shows as a reparse point. True
// only when the platform reports it as a reparse point; otherwise nothing is
// left and false (Windows outside Wine).
bool MakeLink(const std::filesystem::path& link,
              const std::filesystem::path& target);
// Removes a link made by MakeLink, never what it leads to.
void RemoveLink(const std::filesystem::path& link);

// Holds the file at `path` open as a virus scanner holds a file just
// written, for `milliseconds` (destroying it waits them out): others may read
// it, nobody may write, rename or delete it. Held from another thread: sharing
// is judged by handle, so the hold is met as another program's would be.
class HeldElsewhere {
 public:
  HeldElsewhere(const std::filesystem::path& path, DWORD milliseconds);
  ~HeldElsewhere();
  // Whether the hold began.
  bool Held() const;

 private:
  struct Hold;
  std::unique_ptr<Hold> hold_;
};

// The names in the folder at `path` (absolute), sorted, however long the
// path: on Windows read through its "\\?\" form.
std::vector<std::string> ListFolder(const std::filesystem::path& path);

// Makes the file at `path` another user's, as if that user had planted it:
// the stand-in's other user; under Wine another host user (Wine reads the
// file as Anonymous's). False, with the file as it was, where that cannot be
// done (Windows outside Wine).
bool GiveToAnotherUser(const std::filesystem::path& path);

// Makes the folder the applier takes for the Windows folder known to the
// test and returns it: the real one on Windows; on the stand-in a scratch
// folder it is told to take, kept until the process ends.
std::filesystem::path WindowsFolder();

// Loads the patch executable at `patch` and applies it to `folder` with the
// applier's worker, on this thread; the load's or the worker's result.
ResultCode ApplyPatchFile(const std::filesystem::path& patch,
                          const std::filesystem::path& folder);

}  // namespace testing_support
