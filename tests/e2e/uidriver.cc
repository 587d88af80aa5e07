// Drives the applier's windows from a console program running in the same
// Wine session: no X focus, no screen coordinates, only window messages.
//
//   uidriver wait CAPTION [MS]        wait for a visible top-level window
//   uidriver text CAPTION ID          print a control's text (UTF-8);
//                                     65535 is a message box's text
//   uidriver pos CAPTION ID           print a progress bar's position
//   uidriver press CAPTION yes|no|ok  print a message box's text and
//                                     answer it
//   uidriver close CAPTION            ask a window to close (WM_CLOSE)
//   uidriver type CAPTION TEXT        put TEXT into the window's first edit
//                                     field (a file dialog's name field)
//   uidriver hold PATH MS             keep a file open without delete
//                                     sharing, as a running program does
//
// Every command but wait and hold waits up to 30 s for its window. Captions
// may hold \uXXXX escapes. Exit code 0 on success, 1 on timeout or when the
// window is not there, 2 on bad arguments.
#include <windows.h>
// windows.h first.
#include <commctrl.h>

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
  std::string utf8(text.size() * 3 + 1, '\n');
  int size = WideCharToMultiByte(
      CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
      static_cast<int>(utf8.size()), nullptr, nullptr);
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(),
            static_cast<DWORD>(size + 1), &written, nullptr);
}

HWND WaitFor(const std::wstring& caption, DWORD milliseconds) {
  for (DWORD start = GetTickCount();; Sleep(50)) {
    HWND window = FindWindowW(nullptr, caption.c_str());
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount() - start > milliseconds) return nullptr;
  }
}

DWORD_PTR Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000,
                      &result);
  return result;
}

std::wstring Text(HWND control) {
  wchar_t text[4096] = L"";
  Send(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
  return text;
}

// The first visible edit control, for EnumChildWindows.
BOOL CALLBACK FirstEdit(HWND child, LPARAM found) {
  wchar_t name[32] = L"";
  GetClassNameW(child, name, 32);
  if (_wcsicmp(name, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(found) = child;
  return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::wstring command = argv[1];
  if (command == L"hold") {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || argc < 4) return 1;
    Print(L"holding");
    Sleep(wcstoul(argv[3], nullptr, 10));
    return 0;
  }
  std::wstring caption = Unescape(argv[2]);
  if (command == L"wait") {
    DWORD timeout = argc > 3 ? wcstoul(argv[3], nullptr, 10) : 20000;
    return WaitFor(caption, timeout) != nullptr ? 0 : 1;
  }
  HWND window = WaitFor(caption, 30000);
  if (window == nullptr) return 1;
  if (command == L"close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  if (argc < 4) return 2;
  if (command == L"press") {
    std::wstring button = argv[3];
    WPARAM id = button == L"yes" ? IDYES : button == L"no" ? IDNO : IDOK;
    Print(Text(GetDlgItem(window, 0xFFFF)));
    return PostMessageW(window, WM_COMMAND, id, 0) ? 0 : 1;
  }
  if (command == L"type") {
    HWND edit = nullptr;
    EnumChildWindows(window, FirstEdit, reinterpret_cast<LPARAM>(&edit));
    std::wstring text = Unescape(argv[3]);
    return edit != nullptr && Send(edit, WM_SETTEXT, 0,
                                   reinterpret_cast<LPARAM>(text.c_str()))
               ? 0
               : 1;
  }
  HWND control =
      GetDlgItem(window, static_cast<int>(wcstoul(argv[3], nullptr, 10)));
  if (control == nullptr) return 1;
  if (command == L"text") Print(Text(control));
  if (command == L"pos")
    Print(std::to_wstring(Send(control, PBM_GETPOS, 0, 0)));
  return command == L"text" || command == L"pos" ? 0 : 2;
}
