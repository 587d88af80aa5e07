// Handles, errors, text conversion, faults and modules of the stand-in.
#include <locale.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "standin_control.h"
#include "standin_internal.h"

namespace standin {
namespace {

thread_local DWORD lastError = 0;

std::mutex& HandleMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::set<KernelObject*>& LiveHandles() {
  static auto* handles = new std::set<KernelObject*>;
  return *handles;
}

struct Fault {
  std::string function;  // empty: any function, `nth` is the ordinal
  uint64_t nth;
  DWORD error;
};

struct CallState {
  std::mutex mutex;
  uint64_t total = 0;
  std::map<std::string, uint64_t> perFunction;
  std::vector<Fault> faults;
  std::function<void(const char*, uint64_t)> observer;
  std::vector<FileCall> fileCalls;
  std::vector<std::string> scheduled;
};

CallState& Calls() {
  static auto* state = new CallState;
  return *state;
}

struct ModuleTable {
  std::mutex mutex;
  std::vector<std::string> paths;  // module i+1 is paths[i]
};

ModuleTable& Modules() {
  static auto* table = new ModuleTable;
  return *table;
}

}  // namespace

HANDLE NewHandle(KernelObject* object) {
  std::lock_guard<std::mutex> lock(HandleMutex());
  LiveHandles().insert(object);
  return object;
}

KernelObject* AcquireHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(HandleMutex());
  auto* object = static_cast<KernelObject*>(handle);
  if (LiveHandles().count(object) == 0) return nullptr;
  object->refs.fetch_add(1);
  return object;
}

void ReleaseObject(KernelObject* object) {
  if (object->refs.fetch_sub(1) != 1) return;
  {
    std::lock_guard<std::mutex> lock(HandleMutex());
    LiveHandles().erase(object);
  }
  delete object;
}

std::mutex& SyncMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::condition_variable& SyncCondition() {
  static auto* condition = new std::condition_variable;
  return *condition;
}

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
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

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0 && i + 3 < text.size() + 0) {
      c = ((b & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) |
          ((text[i + 2] & 0x3Fu) << 6) | (text[i + 3] & 0x3Fu);
      n = 4;
    } else if (b >= 0xE0 && i + 2 < text.size()) {
      c = ((b & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) |
          (text[i + 2] & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0 && i + 1 < text.size()) {
      c = ((b & 0x1Fu) << 6) | (text[i + 1] & 0x3Fu);
      n = 2;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += n;
  }
  return out;
}

namespace {

// A "\\?\" path names the same file, unparsed: the prefix goes.
bool IsLongForm(LPCWSTR path) {
  static const char16_t kLongPrefix[] = u"\\\\?\\";
  size_t same = 0;
  while (same < 4 && path[same] == kLongPrefix[same]) ++same;
  return same == 4;
}

}  // namespace

std::string NativePath(LPCWSTR path) {
  if (IsLongForm(path)) path += 4;
  std::u16string text;
  for (const WCHAR* p = path; *p != 0; ++p) text += *p == u'\\' ? u'/' : *p;
  return ToUtf8(text);
}

std::string FilePath(LPCWSTR path) {
  std::string native = NativePath(path);
  if (IsLongForm(path)) return native;
  size_t units = FromUtf8(native).size();
  if (native.empty() || native[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) units += FromUtf8(cwd).size() + 1;
  }
  return units < MAX_PATH ? native : std::string();
}

bool InjectFault(const char* function) {
  CallState& calls = Calls();
  std::function<void(const char*, uint64_t)> observer;
  uint64_t ordinal;
  DWORD error = 0;
  bool fail = false;
  {
    std::lock_guard<std::mutex> lock(calls.mutex);
    ordinal = ++calls.total;
    uint64_t nth = ++calls.perFunction[function];
    observer = calls.observer;
    for (const Fault& fault : calls.faults) {
      bool hit = fault.function.empty()
                     ? fault.nth == ordinal
                     : (fault.function == function && fault.nth == nth);
      if (hit) {
        fail = true;
        error = fault.error;
      }
    }
  }
  if (observer) observer(function, ordinal);
  if (fail) SetLastError(error);
  return fail;
}

void SetErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      SetLastError(ERROR_FILE_NOT_FOUND);
      break;
    case ENOTDIR:
      SetLastError(ERROR_PATH_NOT_FOUND);
      break;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      SetLastError(ERROR_ACCESS_DENIED);
      break;
    case EEXIST:
      SetLastError(ERROR_ALREADY_EXISTS);
      break;
    case ENOTEMPTY:
      SetLastError(ERROR_DIR_NOT_EMPTY);
      break;
    case ENOSPC:
      SetLastError(ERROR_HANDLE_DISK_FULL);
      break;
    case ENAMETOOLONG:
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      break;
    case ENOMEM:
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      break;
    default:
      SetLastError(ERROR_ACCESS_DENIED);
      break;
  }
}

HMODULE RegisterModule(const std::string& path) {
  ModuleTable& table = Modules();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.paths.push_back(path);
  // Module 1 is reserved for the process's executable.
  return reinterpret_cast<HMODULE>(
      static_cast<uintptr_t>(table.paths.size() + 1));
}

void FailCall(const std::string& function, uint64_t nth, DWORD error) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().faults.push_back({function, nth, error});
}

void FailNthCall(uint64_t ordinal, DWORD error) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().faults.push_back({std::string(), ordinal, error});
}

void ResetCalls() {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().total = 0;
  Calls().perFunction.clear();
  Calls().faults.clear();
  Calls().observer = nullptr;
  Calls().fileCalls.clear();
  Calls().scheduled.clear();
}

void ScheduleDeletion(const std::string& path) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().scheduled.push_back(path);
}

std::vector<std::string> ScheduledDeletions() {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  return Calls().scheduled;
}

void LogFileCall(const char* function, const std::string& path,
                 const std::string& newPath) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().fileCalls.push_back({function, path, newPath});
}

std::vector<FileCall> FileCalls() {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  return Calls().fileCalls;
}

uint64_t CallCount() {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  return Calls().total;
}

uint64_t CallCount(const std::string& function) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  auto it = Calls().perFunction.find(function);
  return it == Calls().perFunction.end() ? 0 : it->second;
}

void SetCallObserver(std::function<void(const char*, uint64_t)> observer) {
  std::lock_guard<std::mutex> lock(Calls().mutex);
  Calls().observer = std::move(observer);
}

}  // namespace standin

using namespace standin;

DWORD GetLastError() { return lastError; }

namespace {

// One UTF-16 unit upper-cased by its simple mapping; surrogates, and units
// whose upper case lies outside the basic plane, stay as they are.
WCHAR UpperUnit(WCHAR unit) {
  static const locale_t unicode =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  if (unicode == static_cast<locale_t>(nullptr)) {
    return unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
  }
  wint_t upper = towupper_l(unit, unicode);
  return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length,
                        char* buffer, int bufferSize, const char*, BOOL*) {
  if (codePage != CP_UTF8 || text == nullptr || length < -1) return 0;
  size_t units = length == -1 ? std::char_traits<WCHAR>::length(text) + 1
                              : static_cast<size_t>(length);
  std::u16string wide(text, text + units);
  for (size_t i = 0; i < wide.size(); ++i) {
    bool high = wide[i] >= 0xD800 && wide[i] < 0xDC00;
    bool low = wide[i] >= 0xDC00 && wide[i] < 0xE000;
    if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] < 0xE000) {
      ++i;
    } else if (high || low) {
      wide[i] = 0xFFFD;
    }
  }
  std::string bytes = ToUtf8(wide);
  if (buffer == nullptr) return static_cast<int>(bytes.size());
  if (bytes.size() > static_cast<size_t>(bufferSize)) return 0;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second,
                         int secondLength, BOOL ignoreCase) {
  if (first == nullptr || second == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t a = firstLength < 0 ? std::char_traits<WCHAR>::length(first)
                             : static_cast<size_t>(firstLength);
  size_t b = secondLength < 0 ? std::char_traits<WCHAR>::length(second)
                              : static_cast<size_t>(secondLength);
  for (size_t i = 0; i < a && i < b; ++i) {
    WCHAR x = ignoreCase ? UpperUnit(first[i]) : first[i];
    WCHAR y = ignoreCase ? UpperUnit(second[i]) : second[i];
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (a == b) return CSTR_EQUAL;
  return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

void SetLastError(DWORD code) { lastError = code; }

BOOL CloseHandle(HANDLE object) {
  KernelObject* target = AcquireHandle(object);
  if (target == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(HandleMutex());
    LiveHandles().erase(target);
  }
  ReleaseObject(target);  // the reference taken above
  ReleaseObject(target);  // the handle's own
  return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(1));
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  auto id = reinterpret_cast<uintptr_t>(module);
  std::string path;
  if (id == 1 || id == 0) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    path.assign(self, n > 0 ? static_cast<size_t>(n) : 0);
  } else {
    ModuleTable& table = Modules();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (id - 2 >= table.paths.size()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    path = table.paths[id - 2];
  }
  std::u16string wide = FromUtf8(path);
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() >= size) {
    wide.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wide.copy(buffer, wide.size());
  buffer[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}
