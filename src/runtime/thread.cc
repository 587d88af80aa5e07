#include "runtime/thread.h"

CEvent::CEvent(int manualReset) : flag(0) {
  eventHandle = CreateEventW(nullptr, manualReset, FALSE, nullptr);
}

CEvent::~CEvent() {
  if (flag.load(std::memory_order_relaxed) == 1) ResetEvent(eventHandle);
  CloseHandle(eventHandle);
}

int CEvent::Set() {
  flag.store(1, std::memory_order_relaxed);
  SetEvent(eventHandle);
  return 1;
}

int CEvent::Reset() {
  ResetEvent(eventHandle);
  flag.store(0, std::memory_order_relaxed);
  return 1;
}

int CEvent::Wait(DWORD milliseconds) {
  return WaitForSingleObject(eventHandle, milliseconds) == WAIT_OBJECT_0 ? 1
                                                                         : 0;
}

int CEvent::IsSet() { return flag.load(std::memory_order_relaxed); }

HANDLE CEvent::GetHandle() { return eventHandle; }

CCriticalSection::CCriticalSection() : owner(0), depth(0) {
  InitializeCriticalSection(&section);
}

CCriticalSection::~CCriticalSection() {
  while (depth > 0) {
    LeaveCriticalSection(&section);
    --depth;
  }
  DeleteCriticalSection(&section);
}

int CCriticalSection::Lock() {
  EnterCriticalSection(&section);
  ++depth;
  owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
  return 1;
}

int CCriticalSection::Unlock() {
  // `depth` is only changed by the holder, so reading it here is safe for
  // the thread that holds the lock; a thread that does not hold it must not
  // call Unlock.
  if (depth == 0) return 0;
  --depth;
  owner.store(0, std::memory_order_relaxed);
  LeaveCriticalSection(&section);
  return 1;
}

int CCriticalSection::TryLock() {
  DWORD current = owner.load(std::memory_order_relaxed);
  if (current != 0 && current != GetCurrentThreadId()) return 0;
  return Lock();
}

int CCriticalSection::IsLockedByCurrentThread() {
  return owner.load(std::memory_order_relaxed) == GetCurrentThreadId() ? 1 : 0;
}

CThread::CThread()
    : threadHandle(nullptr),
      threadId(0),
      suspended(0),
      startedEvent(0),
      stopEvent(0),
      wakeEvent(1),
      proc(nullptr),
      plainProc(nullptr),
      procParam(nullptr),
      procKind(0) {}

CThread::~CThread() { Stop(); }

unsigned WINAPI CThread::ThreadTrampoline(void* self) {
  return static_cast<CThread*>(self)->ThreadMain();
}

int CThread::Start() {
  Stop();
  suspended = 0;
  startedEvent.Reset();
  stopEvent.Reset();
  wakeEvent.Reset();
  CAutoLock guard(&lock);
  uintptr_t handle =
      _beginthreadex(nullptr, 0, &CThread::ThreadTrampoline, this, 0, nullptr);
  if (handle == 0) return 0;  // no thread: no started signal will come
  threadHandle = reinterpret_cast<HANDLE>(handle);
  return startedEvent.Wait(INFINITE);
}

DWORD CThread::ThreadMain() {
  threadId = GetCurrentThreadId();
  startedEvent.Set();
  switch (procKind) {
    case 1:
      return proc(procParam);
    case 2:
      return plainProc(procParam);
    default:
      return Run();
  }
}

DWORD CThread::Run() { return 0; }

int CThread::SetThreadProc(ThreadRoutine routine, void* param) {
  if (threadHandle != nullptr) return 0;
  CAutoLock guard(&lock);
  if (routine != nullptr) {
    proc = routine;
    procParam = param;
  }
  procKind = routine != nullptr ? 1 : 0;
  return 1;
}

int CThread::SetThreadProcC(PlainThreadProc routine, void* param) {
  if (threadHandle != nullptr) return 0;
  CAutoLock guard(&lock);
  if (routine != nullptr) {
    plainProc = routine;
    procParam = param;
  }
  procKind = routine != nullptr ? 2 : 0;
  return 1;
}

int CThread::Stop() {
  RequestStop();
  // The thread itself is refused before anything else is looked at: a new
  // thread can get here before Start has stored its handle, and `threadId`
  // is written before the started signal.
  if (GetCurrentThreadId() == threadId) return 0;
  if (threadHandle == nullptr) return 1;
  if (suspended == 1) Resume();
  HANDLE handle;
  {
    CAutoLock guard(&lock);
    handle = threadHandle;
    threadHandle = nullptr;
    threadId = 0;
    WaitForSingleObject(handle, INFINITE);
  }
  CloseHandle(handle);
  suspended = 0;
  return 1;
}

int CThread::RequestStop() {
  stopEvent.Set();
  if (suspended == 1) Resume();
  return 1;
}

int CThread::ShouldContinue() { return stopEvent.IsSet() == 0 ? 1 : 0; }

int CThread::Suspend() {
  CAutoLock guard(&lock);
  if (threadHandle == nullptr || suspended == 1) return 0;
  SuspendThread(threadHandle);
  suspended = 1;
  return 1;
}

int CThread::Resume() {
  CAutoLock guard(&lock);
  if (threadHandle == nullptr || suspended == 0) return 0;
  ResumeThread(threadHandle);
  suspended = 0;
  return 1;
}

int CThread::SleepFor(DWORD milliseconds) {
  HANDLE handles[2] = {wakeEvent.GetHandle(), stopEvent.GetHandle()};
  DWORD result = WaitForMultipleObjects(2, handles, FALSE, milliseconds);
  if (ConsumeWake() == 1 && suspended == 1) Resume();
  return result == WAIT_TIMEOUT ? 1 : 0;
}

int CThread::Wake() { return wakeEvent.Set(); }

int CThread::ConsumeWake() {
  int wasSet = wakeEvent.IsSet();
  wakeEvent.Reset();
  return wasSet;
}

DWORD CThread::GetThreadId() { return threadId; }

HANDLE CThread::GetThreadHandle() { return threadHandle; }
