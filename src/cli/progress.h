// How the command-line tool shows its progress, fitted to where it goes:
// a bar redrawn in place on a terminal (entry, current file, bytes, rate),
// one line per entry anywhere else (a log keeps them apart), or nothing.
//
// The view draws whatever it is told when it is told; how often that is
// (the worker paces its progress messages) is decided upstream.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class ProgressView {
 public:
  enum class Mode { kQuiet, kLines, kBar };

  // kBar when `out` is a terminal, else kLines; kQuiet when asked.
  static Mode ModeFor(std::FILE* out, bool quiet);

  // `entries` to come, `totalBytes` across all of them.
  ProgressView(std::FILE* out, Mode mode, size_t entries, uint64_t totalBytes);

  // Entry `index` (from 0) starts: its kind (as Kind names it), its name
  // and the bytes it makes (shown for "patch" and "add").
  void StartEntry(size_t index, const std::string& kind,
                  const std::string& name, uint64_t bytes);
  // The share of the current entry done, 0..1.
  void Advance(double fraction);
  // Ends the bar's line before anything else is printed.
  void Finish();

  // "1.2 MB", "512 bytes".
  static std::string Size(uint64_t bytes);
  // `name` in at most `room` bytes: its middle gives way to "...", so
  // that the start of its folder and the end of its file name stay
  // ("plugins\...\renderer.dll"). UTF-8 characters are not cut.
  static std::string Shorten(const std::string& name, size_t room);

 private:
  void Draw();

  std::FILE* out_;
  Mode mode_;
  size_t entries_;
  uint64_t totalBytes_;
  size_t index_ = 0;
  std::string kind_, name_;
  uint64_t entryBytes_ = 0, doneBefore_ = 0, done_ = 0;
  size_t drawn_ = 0;  // width of the bar's last drawing
  std::chrono::steady_clock::time_point started_;
};
