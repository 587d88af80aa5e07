#include "ui/run_log.h"

#include <string>

#include "apply/safe_paths.h"

RunLog* g_runLog = nullptr;

namespace {

WString Number(uint32_t value) {
  WString digits;
  do {
    digits.insert(digits.begin(), static_cast<WCHAR>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

}  // namespace

bool RunLog::Open(const WCHAR* path) {
  file_.Attach(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
               CloseHandle);
  return file_.IsValid();
}

void RunLog::Line(const WString& text) {
  if (!file_.IsValid()) return;
  auto units = static_cast<int>(text.size());
  std::string bytes(
      static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), units,
                                              nullptr, 0, nullptr, nullptr)),
      '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &bytes[0],
                      static_cast<int>(bytes.size()), nullptr, nullptr);
  bytes += "\r\n";
  DWORD written = 0;
  WriteFile(file_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

void RunLog::Check(FolderState state) {
  static const WCHAR* const kStates[] = {WTXT("ready"), WTXT("already applied"),
                                         WTXT("not this folder"), WTXT("mixed"),
                                         WTXT("files applied")};
  Line(WString(WTXT("check ")) + kStates[state]);
}

void RunLog::Begin(const WCHAR* path) {
  entries_.push_back({path, WString(), RemovalNote()});
}

RunLog::Entry& RunLog::Find(const WCHAR* path) {
  for (Entry& entry : entries_) {
    if (entry.path == path) return entry;
  }
  entries_.push_back({path, WString(), RemovalNote()});
  return entries_.back();
}

void RunLog::Fail(ResultCode code, const WCHAR* path) {
  if (path == nullptr || path[0] == 0) return;
  WString outcome = WTXT("error ") + Number(code);
  // No temporary file: say which folder is missing, when one is.
  WString missing =
      code == ResultNoTempName ? MissingFolderOn(path) : WString();
  if (!missing.empty())
    outcome += WTXT(" (no such folder: ") + missing + WTXT(")");
  Find(path).outcome = outcome;
}

void RunLog::Note(RemovalNote note, const WCHAR* path) {
  Find(path).note = note;
}

void RunLog::Finish(ResultCode code, const WCHAR* message,
                    const WCHAR* outcome) {
  if (finished_) return;
  finished_ = true;
  for (const Entry& entry : entries_) {
    WString text = entry.outcome.empty() ? WString(outcome) : entry.outcome;
    // What a removal came to stands whatever the result, but a file goes
    // only with a commit.
    if (entry.outcome.empty()) {
      switch (entry.note) {
        case kNoteRemoved:
          if (code == ResultSuccess) text = WTXT("removed");
          break;
        case kNoteChanged:
          text = WTXT("kept: changed since the old version");
          break;
        case kNoteKept:
          text = WTXT("kept: not empty");
          break;
        case kNoteGone:
          text = WTXT("already gone");
          break;
      }
    }
    Line(WTXT("entry ") + entry.path + WTXT(": ") + text);
  }
  Line(WTXT("result ") + Number(code) + WTXT(" ") + message);
}
