#include "ui/command_line.h"

namespace {

bool IsSpace(WCHAR c) { return c == ' ' || c == '\t'; }

WCHAR Upper(WCHAR c) {
  return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

// Whether `text` begins with the switch `name` (upper case, ASCII).
bool StartsWith(const WString& text, const char* name) {
  size_t i = 0;
  for (; name[i] != 0; ++i) {
    if (i >= text.size() || Upper(text[i]) != static_cast<WCHAR>(name[i]))
      return false;
  }
  return true;
}

// The value after "/D=": the rest of the line without trailing blanks, and
// without quotes around the whole of it.
WString FolderValue(const WString& rest) {
  size_t end = rest.size();
  while (end > 0 && IsSpace(rest[end - 1])) --end;
  WString value = rest.substr(0, end);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

bool ParseCommandLine(const WCHAR* line, CommandLine* options, WString* bad) {
  WString text = line != nullptr ? line : WTXT("");
  bool good = true;
  size_t at = 0;
  for (;;) {
    while (at < text.size() && IsSpace(text[at])) ++at;
    if (at == text.size()) break;
    WString rest = text.substr(at);
    if (StartsWith(rest, "/D=")) {
      options->folder = FolderValue(rest.substr(3));
      if (options->folder.empty() && good) {
        *bad = rest;
        good = false;
      }
      break;
    }
    // One argument: up to a blank outside quotes, the quotes dropped.
    WString argument;
    bool quoted = false;
    for (; at < text.size() && (quoted || !IsSpace(text[at])); ++at) {
      if (text[at] == '"')
        quoted = !quoted;
      else
        argument += text[at];
    }
    bool known = true;
    if (argument.size() == 2 && StartsWith(argument, "/S")) {
      options->silent = true;
    } else if (StartsWith(argument, "/LOG=") && argument.size() > 5) {
      options->logFile = argument.substr(5);
    } else if (StartsWith(argument, "/D=") && argument.size() > 3) {
      options->folder = argument.substr(3);  // quoted whole: "/D=C:\My App"
    } else {
      known = false;
    }
    if (!known && good) {
      *bad = argument;
      good = false;
    }
  }
  return good;
}
