#include "cli/progress.h"

#include <algorithm>
#include <cstdlib>

#include "platform/utf8_main.h"

ProgressView::Mode ProgressView::ModeFor(std::FILE* out, bool quiet) {
  if (quiet) return Mode::kQuiet;
  return IsTerminal(out) ? Mode::kBar : Mode::kLines;
}

ProgressView::ProgressView(std::FILE* out, Mode mode, size_t entries,
                           uint64_t totalBytes)
    : out_(out),
      mode_(mode),
      entries_(entries),
      totalBytes_(totalBytes),
      started_(std::chrono::steady_clock::now()) {}

std::string ProgressView::Size(uint64_t bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void ProgressView::StartEntry(size_t index, const std::string& kind,
                              const std::string& name, uint64_t bytes) {
  doneBefore_ += entryBytes_;
  done_ = doneBefore_;
  index_ = index;
  kind_ = kind;
  name_ = name;
  entryBytes_ = bytes;
  if (mode_ == Mode::kLines) {
    std::fprintf(out_, "[%zu/%zu] %s %s%s\n", index + 1, entries_, kind.c_str(),
                 name.c_str(),
                 kind == "patch" || kind == "add"
                     ? (" (" + Size(bytes) + ")").c_str()
                     : "");
    std::fflush(out_);
  } else if (mode_ == Mode::kBar) {
    Draw();
  }
}

void ProgressView::Advance(double fraction) {
  fraction = std::min(1.0, std::max(0.0, fraction));
  done_ = doneBefore_ +
          static_cast<uint64_t>(fraction * static_cast<double>(entryBytes_));
  if (mode_ == Mode::kBar) Draw();
}

void ProgressView::Finish() {
  if (mode_ == Mode::kBar && drawn_ > 0) {
    std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = 0;
  }
}

std::string ProgressView::Shorten(const std::string& name, size_t room) {
  if (name.size() <= room) return name;
  // The folder's start and the file's name are what tell names apart.
  size_t keep = room > 3 ? room - 3 : 0;
  size_t front = keep / 2, back = name.size() - (keep - front);
  while (front > 0 && (name[front] & 0xC0) == 0x80) --front;  // UTF-8
  while (back < name.size() && (name[back] & 0xC0) == 0x80) ++back;
  return name.substr(0, front) + "..." + name.substr(back);
}

// [ 3/10]  42% bin\app.exe  1.2 MB of 5.0 MB, 12.3 MB/s
void ProgressView::Draw() {
  std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started_;
  int percent =
      totalBytes_ == 0
          ? static_cast<int>(100 * index_ / std::max<size_t>(1, entries_))
          : static_cast<int>(100 * done_ / totalBytes_);
  std::string tail = "  " + Size(done_) + " of " + Size(totalBytes_);
  if (took.count() > 0.2) {
    tail +=
        ", " +
        Size(static_cast<uint64_t>(static_cast<double>(done_) / took.count())) +
        "/s";
  }
  char head[48];
  std::snprintf(head, sizeof head, "[%zu/%zu] %3d%% ", index_ + 1, entries_,
                percent);
  // The name gives way (from its start) so that the line fits the terminal.
  const char* columns = std::getenv("COLUMNS");
  size_t width = columns != nullptr ? std::strtoul(columns, nullptr, 10) : 80;
  if (width < 40) width = 80;
  size_t fixed = std::string(head).size() + tail.size() + 1;
  std::string line =
      head + Shorten(name_, width > fixed + 12 ? width - fixed : 12) + tail;
  size_t length = line.size();
  if (length < drawn_) line.append(drawn_ - length, ' ');
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  drawn_ = length;
}
