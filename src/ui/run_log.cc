#include "ui/run_log.h"

#include <string>

RunLog* g_runLog = nullptr;

namespace {

std::string ToUtf8(const WString& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

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
  std::string bytes = ToUtf8(text) + "\r\n";
  DWORD written = 0;
  WriteFile(file_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

void RunLog::Check(FolderState state) {
  static const WCHAR* const kStates[] = {WTXT("ready"), WTXT("already applied"),
                                         WTXT("not this folder"),
                                         WTXT("mixed")};
  Line(WString(WTXT("check ")) + kStates[state]);
}

void RunLog::Begin(const WCHAR* path) { entries_.push_back({path, WString()}); }

void RunLog::Fail(ResultCode code, const WCHAR* path) {
  if (path == nullptr || path[0] == 0) return;
  WString outcome = WTXT("error ") + Number(code);
  for (Entry& entry : entries_) {
    if (entry.path == path) {
      entry.outcome = outcome;
      return;
    }
  }
  entries_.push_back({path, outcome});
}

void RunLog::Finish(ResultCode code, const WCHAR* message,
                    const WCHAR* outcome) {
  if (finished_) return;
  finished_ = true;
  for (const Entry& entry : entries_) {
    Line(WTXT("entry ") + entry.path + WTXT(": ") +
         (entry.outcome.empty() ? WString(outcome) : entry.outcome));
  }
  Line(WTXT("result ") + Number(code) + WTXT(" ") + message);
}
