// Threads, events, waits and critical sections of the stand-in.
#include <pthread.h>

#include <chrono>
#include <thread>
#include <vector>

#include "standin_control.h"
#include "standin_internal.h"

namespace standin {
namespace {

struct ThreadObject : KernelObject {
  bool IsSignaled() const override { return finished; }
  unsigned(WINAPI* start)(void*) = nullptr;
  void* argument = nullptr;
  bool finished = false;  // guarded by SyncMutex()
  DWORD exitCode = 0;
  std::atomic<DWORD> suspendCount{0};
};

struct EventObject : KernelObject {
  bool IsSignaled() const override { return state; }
  void Consume() override {
    if (!manualReset) state = false;
  }
  bool manualReset = false;
  bool state = false;  // guarded by SyncMutex()
};

void* ThreadEntry(void* raw) {
  auto* thread = static_cast<ThreadObject*>(raw);
  DWORD code = thread->start(thread->argument);
  {
    std::lock_guard<std::mutex> lock(SyncMutex());
    thread->finished = true;
    thread->exitCode = code;
    SyncCondition().notify_all();
  }
  ReleaseObject(thread);  // the running thread's reference
  return nullptr;
}

template <typename Object>
Object* Acquire(HANDLE handle) {
  KernelObject* object = AcquireHandle(handle);
  auto* typed = dynamic_cast<Object*>(object);
  if (typed == nullptr && object != nullptr) ReleaseObject(object);
  if (typed == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

}  // namespace
}  // namespace standin

using namespace standin;

uintptr_t _beginthreadex(void*, unsigned, unsigned(WINAPI* start)(void*),
                         void* argument, unsigned, unsigned* threadId) {
  if (InjectFault("_beginthreadex")) return 0;
  auto* thread = new ThreadObject;
  thread->start = start;
  thread->argument = argument;
  thread->refs = 2;  // the handle and the running thread
  HANDLE handle = NewHandle(thread);
  pthread_t id;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error = pthread_create(&id, &attributes, ThreadEntry, thread);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    ReleaseObject(thread);
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (threadId != nullptr) *threadId = 0;
  return reinterpret_cast<uintptr_t>(handle);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                             DWORD milliseconds) {
  std::vector<KernelObject*> targets;
  for (DWORD i = 0; i < count; ++i) {
    KernelObject* object = AcquireHandle(objects[i]);
    if (object == nullptr) {
      for (KernelObject* held : targets) ReleaseObject(held);
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    targets.push_back(object);
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(milliseconds);
  DWORD result = WAIT_TIMEOUT;
  {
    std::unique_lock<std::mutex> lock(SyncMutex());
    for (;;) {
      if (waitAll) {
        bool all = true;
        for (KernelObject* object : targets) all = all && object->IsSignaled();
        if (all) {
          for (KernelObject* object : targets) object->Consume();
          result = WAIT_OBJECT_0;
          break;
        }
      } else {
        for (DWORD i = 0; i < count && result == WAIT_TIMEOUT; ++i) {
          if (targets[i]->IsSignaled()) {
            targets[i]->Consume();
            result = WAIT_OBJECT_0 + i;
          }
        }
        if (result != WAIT_TIMEOUT) break;
      }
      if (milliseconds == INFINITE) {
        SyncCondition().wait(lock);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        SyncCondition().wait_until(lock, deadline);
      }
    }
  }
  for (KernelObject* object : targets) ReleaseObject(object);
  return result;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

DWORD SuspendThread(HANDLE handle) {
  auto* thread = Acquire<ThreadObject>(handle);
  if (thread == nullptr) return static_cast<DWORD>(-1);
  DWORD previous = thread->suspendCount.fetch_add(1);
  ReleaseObject(thread);
  return previous;
}

DWORD ResumeThread(HANDLE handle) {
  auto* thread = Acquire<ThreadObject>(handle);
  if (thread == nullptr) return static_cast<DWORD>(-1);
  DWORD previous = thread->suspendCount.load();
  if (previous > 0) thread->suspendCount.fetch_sub(1);
  ReleaseObject(thread);
  return previous;
}

DWORD GetCurrentThreadId() {
  static std::atomic<DWORD> next{1};
  thread_local DWORD id = next.fetch_add(1);
  return id;
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {

// 0: the machine's steady clock; otherwise the step of the stepped clock.
std::atomic<ULONGLONG> g_clockStep{0};
std::atomic<ULONGLONG> g_steppedTicks{0};

}  // namespace

void standin::SetClockStep(ULONGLONG milliseconds) {
  g_clockStep = milliseconds;
}

ULONGLONG GetTickCount64() {
  ULONGLONG step = g_clockStep;
  if (step != 0) return g_steppedTicks.fetch_add(step) + step;
  return static_cast<ULONGLONG>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                    LPCWSTR) {
  if (InjectFault("CreateEventW")) return nullptr;
  auto* event = new EventObject;
  event->manualReset = manualReset != FALSE;
  event->state = initialState != FALSE;
  return NewHandle(event);
}

BOOL SetEvent(HANDLE handle) {
  auto* event = Acquire<EventObject>(handle);
  if (event == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(SyncMutex());
    event->state = true;
    SyncCondition().notify_all();
  }
  ReleaseObject(event);
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto* event = Acquire<EventObject>(handle);
  if (event == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(SyncMutex());
    event->state = false;
  }
  ReleaseObject(event);
  return TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  section->impl = new std::recursive_mutex;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}
