// Windows, dialogs and message boxes of the stand-in.
//
// A dialog is a record in a table; its handle is the record's number. The
// dialog's thread runs the message loop in DialogBoxParamW: messages sent
// from other threads wait in its queue until handled, posted ones are
// handled in order. Controls are records too, created on first use.
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "standin_control.h"
#include "standin_internal.h"

namespace standin {
namespace {

struct Message {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool sent;
  bool done = false;
  LRESULT result = 0;
};

struct Control {
  std::vector<std::u16string> texts;
  std::vector<int> positions;
  int low = 0;
  int high = 100;
  int position = 0;
};

struct Window {
  enum Kind { kDialog, kSink, kControl, kClassWindow } kind = kDialog;
  SinkHandler handler;
  WNDPROC windowProc = nullptr;
  DLGPROC proc = nullptr;
  DWORD thread = 0;
  bool ended = false;
  bool destroyed = false;
  INT_PTR result = 0;
  std::deque<std::shared_ptr<Message>> queue;
  std::map<int, Control> controls;
  std::map<int, uintptr_t> controlWindows;
  uintptr_t parent = 0;  // controls: the dialog
  int id = 0;            // controls: the control's id
};

struct UiState {
  std::mutex mutex;
  std::map<std::u16string, WNDPROC> classes;
  std::condition_variable changed;
  std::map<uintptr_t, std::shared_ptr<Window>> windows;
  uintptr_t nextId = 0x1000;
  std::vector<MessageBoxRecord> boxes;
  std::function<int(const MessageBoxRecord&)> boxHandler;
  std::function<void(HWND)> dialogObserver;
};

UiState& Ui() {
  static auto* state = new UiState;
  return *state;
}

HWND ToHandle(uintptr_t id) { return reinterpret_cast<HWND>(id); }

// Called with Ui().mutex held.
std::shared_ptr<Window> Find(HWND window) {
  auto it = Ui().windows.find(reinterpret_cast<uintptr_t>(window));
  return it == Ui().windows.end() ? nullptr : it->second;
}

uintptr_t AddWindow(std::shared_ptr<Window> window) {
  uintptr_t id = Ui().nextId++;
  Ui().windows[id] = std::move(window);
  return id;
}

// Called with Ui().mutex held.
Control* FindControl(HWND dialog, int id) {
  std::shared_ptr<Window> window = Find(dialog);
  return window == nullptr ? nullptr : &window->controls[id];
}

LRESULT HandleControlMessage(Window& control, UINT message, WPARAM wParam,
                             LPARAM lParam) {
  std::shared_ptr<Window> dialog = Ui().windows[control.parent];
  Control& state = dialog->controls[control.id];
  switch (message) {
    case PBM_SETRANGE: {
      LRESULT previous = MAKELPARAM(state.low, state.high);
      state.low = static_cast<WORD>(lParam & 0xFFFF);
      state.high = static_cast<WORD>((lParam >> 16) & 0xFFFF);
      return previous;
    }
    case PBM_SETPOS: {
      int previous = state.position;
      int position = static_cast<int>(wParam);
      if (position < state.low) position = state.low;
      if (position > state.high) position = state.high;
      state.position = position;
      state.positions.push_back(position);
      return previous;
    }
    case PBM_GETPOS:
      return state.position;
    default:
      return 0;
  }
}

}  // namespace

HWND CreateSinkWindow(SinkHandler handler) {
  auto window = std::make_shared<Window>();
  window->kind = Window::kSink;
  window->handler = std::move(handler);
  std::lock_guard<std::mutex> lock(Ui().mutex);
  return ToHandle(AddWindow(window));
}

void DestroySinkWindow(HWND window) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().windows.erase(reinterpret_cast<uintptr_t>(window));
}

void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().boxHandler = std::move(handler);
}

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  return Ui().boxes;
}

void SetDialogObserver(std::function<void(HWND)> observer) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().dialogObserver = std::move(observer);
}

std::vector<std::u16string> ControlTexts(HWND dialog, int id) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Control* control = FindControl(dialog, id);
  return control == nullptr ? std::vector<std::u16string>() : control->texts;
}

std::vector<int> ProgressPositions(HWND dialog, int id) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Control* control = FindControl(dialog, id);
  return control == nullptr ? std::vector<int>() : control->positions;
}

std::pair<int, int> ProgressRange(HWND dialog, int id) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Control* control = FindControl(dialog, id);
  return control == nullptr ? std::make_pair(0, 0)
                            : std::make_pair(control->low, control->high);
}

void ResetUi() {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().boxes.clear();
  Ui().boxHandler = nullptr;
  Ui().dialogObserver = nullptr;
}

}  // namespace standin

using namespace standin;

INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC proc,
                        LPARAM initParam) {
  auto window = std::make_shared<Window>();
  window->proc = proc;
  window->thread = GetCurrentThreadId();
  HWND handle;
  std::function<void(HWND)> observer;
  {
    std::lock_guard<std::mutex> lock(Ui().mutex);
    handle = ToHandle(AddWindow(window));
    observer = Ui().dialogObserver;
  }
  if (observer) observer(handle);
  proc(handle, WM_INITDIALOG, 0, initParam);
  for (;;) {
    std::shared_ptr<Message> message;
    {
      std::unique_lock<std::mutex> lock(Ui().mutex);
      Ui().changed.wait(
          lock, [&] { return window->ended || !window->queue.empty(); });
      if (window->ended) break;
      message = window->queue.front();
      window->queue.pop_front();
    }
    LRESULT result =
        proc(handle, message->message, message->wParam, message->lParam);
    if (message->sent) {
      std::lock_guard<std::mutex> lock(Ui().mutex);
      message->result = result;
      message->done = true;
    }
    Ui().changed.notify_all();
  }
  // The dialog is gone: senders still waiting get 0, as from a destroyed
  // window.
  {
    std::lock_guard<std::mutex> lock(Ui().mutex);
    window->destroyed = true;
    window->queue.clear();
  }
  Ui().changed.notify_all();
  return window->result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  std::shared_ptr<Window> window = Find(dialog);
  if (window == nullptr || window->kind != Window::kDialog) return FALSE;
  window->ended = true;
  window->result = result;
  return TRUE;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  MessageBoxRecord record{owner, text, caption, type};
  std::function<int(const MessageBoxRecord&)> handler;
  {
    std::lock_guard<std::mutex> lock(Ui().mutex);
    Ui().boxes.push_back(record);
    handler = Ui().boxHandler;
  }
  if (handler) return handler(record);
  return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Control* control = FindControl(dialog, id);
  if (control == nullptr) return FALSE;
  control->texts.push_back(text);
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  std::shared_ptr<Window> window = Find(dialog);
  if (window == nullptr) return nullptr;
  auto it = window->controlWindows.find(id);
  if (it != window->controlWindows.end()) return ToHandle(it->second);
  auto control = std::make_shared<Window>();
  control->kind = Window::kControl;
  control->parent = reinterpret_cast<uintptr_t>(dialog);
  control->id = id;
  window->controls[id];
  uintptr_t controlId = AddWindow(control);
  window->controlWindows[id] = controlId;
  return ToHandle(controlId);
}

LRESULT SendMessageW(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
  std::unique_lock<std::mutex> lock(Ui().mutex);
  std::shared_ptr<Window> window = Find(target);
  if (window == nullptr || window->destroyed) return 0;
  switch (window->kind) {
    case Window::kControl:
      return HandleControlMessage(*window, message, wParam, lParam);
    case Window::kSink: {
      SinkHandler handler = window->handler;
      lock.unlock();
      return handler(message, wParam, lParam);
    }
    case Window::kClassWindow: {
      if (window->thread != GetCurrentThreadId()) return 0;
      WNDPROC proc = window->windowProc;
      lock.unlock();
      return proc(target, message, wParam, lParam);
    }
    case Window::kDialog:
      break;
  }
  if (window->thread == GetCurrentThreadId()) {
    lock.unlock();
    return window->proc(target, message, wParam, lParam);
  }
  auto sent = std::make_shared<Message>(Message{message, wParam, lParam, true});
  window->queue.push_back(sent);
  Ui().changed.notify_all();
  Ui().changed.wait(lock, [&] { return sent->done || window->destroyed; });
  return sent->result;
}

BOOL PostMessageW(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
  std::unique_lock<std::mutex> lock(Ui().mutex);
  std::shared_ptr<Window> window = Find(target);
  if (window == nullptr || window->destroyed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (window->kind == Window::kSink) {
    SinkHandler handler = window->handler;
    lock.unlock();
    handler(message, wParam, lParam);
    return TRUE;
  }
  if (window->kind != Window::kDialog) return TRUE;
  window->queue.push_back(
      std::make_shared<Message>(Message{message, wParam, lParam, false}));
  Ui().changed.notify_all();
  return TRUE;
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().classes[windowClass->lpszClassName] = windowClass->lpfnWndProc;
  return static_cast<ATOM>(Ui().classes.size());
}

HWND CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR, DWORD, int, int, int,
                     int, HWND, void*, HINSTANCE, LPVOID) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  auto found = Ui().classes.find(className);
  if (found == Ui().classes.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto window = std::make_shared<Window>();
  window->kind = Window::kClassWindow;
  window->windowProc = found->second;
  window->thread = GetCurrentThreadId();
  return ToHandle(AddWindow(window));
}

LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL DestroyWindow(HWND window) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  return Ui().windows.erase(reinterpret_cast<uintptr_t>(window)) > 0 ? TRUE
                                                                     : FALSE;
}
