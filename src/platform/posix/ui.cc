// Windows, dialogs and message boxes of the stand-in.
//
// A dialog is a record in a table; its handle is the record's number. The
// dialog's thread runs the message loop in DialogBoxParamW: messages sent
// from other threads wait in its queue until handled, posted ones are
// handled in order. Controls are records too, created on first use.
#include <cstdlib>
#include <cstring>
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
  std::vector<FolderPickerRecord> pickers;
  std::function<std::u16string(const FolderPickerRecord&)> pickerHandler;
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

void SetFolderPickerHandler(
    std::function<std::u16string(const FolderPickerRecord&)> handler) {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  Ui().pickerHandler = std::move(handler);
}

std::vector<FolderPickerRecord> FolderPickers() {
  std::lock_guard<std::mutex> lock(Ui().mutex);
  return Ui().pickers;
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
  Ui().pickers.clear();
  Ui().pickerHandler = nullptr;
}

namespace {

// A string the caller frees with CoTaskMemFree.
LPWSTR TaskString(const std::u16string& text) {
  auto* block =
      static_cast<WCHAR*>(std::malloc((text.size() + 1) * sizeof(WCHAR)));
  std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return block;
}

class ShellItem : public IShellItem {
 public:
  explicit ShellItem(std::u16string path) : path_(std::move(path)) {}
  HRESULT GetDisplayName(SIGDN form, LPWSTR* name) override {
    if (form != SIGDN_FILESYSPATH) return E_FAIL;
    *name = TaskString(path_);
    return S_OK;
  }
  DWORD Release() override {
    delete this;
    return 0;
  }

 private:
  std::u16string path_;
};

class FileOpenDialog : public IFileOpenDialog {
 public:
  HRESULT GetOptions(FILEOPENDIALOGOPTIONS* options) override {
    *options = options_;
    return S_OK;
  }
  HRESULT SetOptions(FILEOPENDIALOGOPTIONS options) override {
    options_ = options;
    return S_OK;
  }
  HRESULT SetTitle(LPCWSTR title) override {
    title_ = title;
    return S_OK;
  }
  HRESULT Show(HWND owner) override {
    FolderPickerRecord record{owner, title_, options_};
    std::function<std::u16string(const FolderPickerRecord&)> handler;
    {
      std::lock_guard<std::mutex> lock(Ui().mutex);
      Ui().pickers.push_back(record);
      handler = Ui().pickerHandler;
    }
    chosen_ = handler ? handler(record) : std::u16string();
    return chosen_.empty() ? HRESULT_FROM_WIN32(ERROR_CANCELLED) : S_OK;
  }
  HRESULT GetResult(IShellItem** item) override {
    if (chosen_.empty()) return E_FAIL;
    *item = new ShellItem(chosen_);
    return S_OK;
  }
  DWORD Release() override {
    delete this;
    return 0;
  }

 private:
  FILEOPENDIALOGOPTIONS options_ = 0;
  std::u16string title_;
  std::u16string chosen_;
};

bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace

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

const GUID CLSID_FileOpenDialog = {
    0xDC1C5A9C,
    0xE88A,
    0x4DDE,
    {0xA5, 0xA1, 0x60, 0xF8, 0x2A, 0x20, 0xAE, 0xF7}};
const GUID IID_IFileOpenDialog = {
    0xD57C7288,
    0xD4AD,
    0x4768,
    {0xBE, 0x02, 0x9D, 0x96, 0x95, 0x32, 0xD9, 0x60}};

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }

void CoUninitialize() {}

HRESULT CoCreateInstance(REFCLSID classId, void*, DWORD, REFIID interfaceId,
                         LPVOID* object) {
  if (!SameGuid(classId, CLSID_FileOpenDialog) ||
      !SameGuid(interfaceId, IID_IFileOpenDialog)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  *object = static_cast<IFileOpenDialog*>(new FileOpenDialog);
  return S_OK;
}

void CoTaskMemFree(LPVOID block) { std::free(block); }
