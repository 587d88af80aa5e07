// Drives the applier's windows from a console program running in the same
// Wine session: no X focus, no screen coordinates, only window messages.
//
//   uidriver wait CAPTION [MS]        wait for a visible top-level window
//   uidriver gone CAPTION [MS]        wait until no such window is left
//   uidriver text CAPTION ID          print a control's text (UTF-8);
//                                     65535 is a message box's text
//   uidriver pos CAPTION ID           print a progress bar's position
//   uidriver press CAPTION yes|no|ok  answer a message box
//   uidriver close CAPTION            ask a window to close (WM_CLOSE)
//   uidriver type CAPTION TEXT        put TEXT into the window's first edit
//                                     field (a file dialog's name field)
//   uidriver hold PATH MS             keep a file open without delete
//                                     sharing, as a running program does
//
// Captions may hold \uXXXX escapes. Exit code 0 on success, 1 on timeout or
// when the window is not there, 2 on bad arguments.
#include <windows.h>
// windows.h first.
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Unescape(const wchar_t* text) {
  std::wstring out;
  for (const wchar_t* p = text; *p != 0; ++p) {
    if (p[0] == L'\\' && p[1] == L'u' && wcslen(p) >= 6) {
      out += static_cast<wchar_t>(
          wcstoul(std::wstring(p + 2, 4).c_str(), nullptr, 16));
      p += 5;
    } else {
      out += *p;
    }
  }
  return out;
}

void Print(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0,
                                 nullptr, nullptr);
  std::string utf8(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr,
                      nullptr);
  utf8.resize(size - 1);
  utf8 += '\n';
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(),
            static_cast<DWORD>(utf8.size()), &written, nullptr);
}

struct Search {
  std::wstring caption;
  HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM lParam) {
  auto* search = reinterpret_cast<Search*>(lParam);
  wchar_t text[512];
  if (IsWindowVisible(window) && GetWindowTextW(window, text, 512) > 0 &&
      search->caption == text) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The first visible edit control, for EnumChildWindows.
BOOL CALLBACK FirstEdit(HWND child, LPARAM found) {
  wchar_t name[32] = L"";
  GetClassNameW(child, name, 32);
  if (_wcsicmp(name, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(found) = child;
  return FALSE;
}

HWND Find(const std::wstring& caption) {
  Search search{caption, nullptr};
  EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitFor(const std::wstring& caption, DWORD milliseconds) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = Find(caption)) return window;
    if (GetTickCount() - start > milliseconds) return nullptr;
    Sleep(50);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::wstring command = argv[1];
  if (command == L"hold") {
    if (argc < 4) return 2;
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Print(L"holding");
    Sleep(wcstoul(argv[3], nullptr, 10));
    CloseHandle(file);
    return 0;
  }
  std::wstring caption = Unescape(argv[2]);
  DWORD timeout = argc > 3 ? wcstoul(argv[3], nullptr, 10) : 20000;
  if (command == L"wait") return WaitFor(caption, timeout) != nullptr ? 0 : 1;
  if (command == L"gone") {
    DWORD start = GetTickCount();
    while (Find(caption) != nullptr) {
      if (GetTickCount() - start > timeout) return 1;
      Sleep(50);
    }
    return 0;
  }
  HWND window = WaitFor(caption, 5000);
  if (window == nullptr) return 1;
  if (command == L"close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  if (argc < 4) return 2;
  if (command == L"press") {
    std::wstring button = argv[3];
    WPARAM id = button == L"yes" ? IDYES : button == L"no" ? IDNO : IDOK;
    return PostMessageW(window, WM_COMMAND, id, 0) ? 0 : 1;
  }
  if (command == L"type") {
    HWND edit = nullptr;
    EnumChildWindows(window, FirstEdit, reinterpret_cast<LPARAM>(&edit));
    if (edit == nullptr) return 1;
    std::wstring text = Unescape(argv[3]);
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(edit, WM_SETTEXT, 0,
                               reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, 2000, &ignored)
               ? 0
               : 1;
  }
  HWND control =
      GetDlgItem(window, static_cast<int>(wcstoul(argv[3], nullptr, 10)));
  if (control == nullptr) return 1;
  if (command == L"text") {
    wchar_t text[4096] = L"";
    DWORD_PTR length = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, 4096,
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        &length);
    Print(text);
    return 0;
  }
  if (command == L"pos") {
    DWORD_PTR position = 0;
    SendMessageTimeoutW(control, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000,
                        &position);
    Print(std::to_wstring(position));
    return 0;
  }
  return 2;
}
