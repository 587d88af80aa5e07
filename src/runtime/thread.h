// Object wrappers over the platform's threads, events and critical sections.
//
// Operations that can refuse return 1 (done) or 0 (refused). A class that
// derives from CThread and whose Run uses its own members must call Stop
// first in its own destructor, so that the thread has ended before those
// members go.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

class IEvent {
 public:
  virtual int Set() = 0;
  virtual int Reset() = 0;
  // 1 when the event was signalled within `milliseconds`.
  virtual int Wait(DWORD milliseconds) = 0;
  // The last Set (1) or Reset (0); not the kernel state: a wait that
  // consumed an auto-reset event leaves it at 1.
  virtual int IsSet() = 0;
  virtual HANDLE GetHandle() = 0;

 protected:
  ~IEvent() = default;
};

class CEvent : public IEvent {
 public:
  // manualReset: 1 for a manual-reset event, 0 for auto reset.
  explicit CEvent(int manualReset);
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;
  virtual ~CEvent();

  int Set() override;
  int Reset() override;
  int Wait(DWORD milliseconds) override;
  int IsSet() override;
  HANDLE GetHandle() override;

 private:
  HANDLE eventHandle;
  // Read by one thread while another sets it (the worker polls the stop
  // request): atomic, with no ordering beyond the value itself.
  std::atomic<int> flag;
};

class ICriticalSection {
 public:
  virtual ~ICriticalSection() = default;
  virtual int Lock() = 0;
  virtual int Unlock() = 0;
  // 0 at once when another thread is the recorded owner; otherwise Lock.
  virtual int TryLock() = 0;
  virtual int IsLockedByCurrentThread() = 0;
};

// A recursive lock. `owner` is cleared by every Unlock, also an inner one,
// so after nested locking it reads 0 until the next Lock.
class CCriticalSection : public ICriticalSection {
 public:
  CCriticalSection();
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;
  ~CCriticalSection() override;

  int Lock() override;
  int Unlock() override;
  int TryLock() override;
  int IsLockedByCurrentThread() override;

 private:
  CRITICAL_SECTION section;
  std::atomic<DWORD> owner;
  int depth;
};

class CAutoLock {
 public:
  explicit CAutoLock(ICriticalSection* lock) : lock_(lock) { lock_->Lock(); }
  ~CAutoLock() { lock_->Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  ICriticalSection* lock_;
};

// A thread procedure of the platform's thread-routine type, and a plain one.
typedef DWORD(WINAPI* ThreadRoutine)(void*);
typedef DWORD (*PlainThreadProc)(void*);

class IThread {
 public:
  virtual ~IThread() = default;
  // 1 once the new thread has signalled that it runs.
  virtual int Start() = 0;
  // Refused (0) while a thread handle exists.
  virtual int SetThreadProc(ThreadRoutine proc, void* param) = 0;
  // Requests a stop and joins the thread; 0 when called on the thread itself.
  virtual int Stop() = 0;
  virtual int ShouldContinue() = 0;
  virtual int RequestStop() = 0;
  virtual int Suspend() = 0;
  virtual int Resume() = 0;
  // 1 when the whole timeout passed; 0 when woken or stopped first.
  virtual int SleepFor(DWORD milliseconds) = 0;
  virtual int Wake() = 0;
  virtual int ConsumeWake() = 0;
  virtual DWORD GetThreadId() = 0;
  virtual HANDLE GetThreadHandle() = 0;
};

class CThread : public IThread {
 public:
  CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  ~CThread() override;

  int Start() override;
  int SetThreadProc(ThreadRoutine proc, void* param) override;
  int Stop() override;
  int ShouldContinue() override;
  int RequestStop() override;
  int Suspend() override;
  int Resume() override;
  int SleepFor(DWORD milliseconds) override;
  int Wake() override;
  int ConsumeWake() override;
  DWORD GetThreadId() override;
  HANDLE GetThreadHandle() override;

  // The thread's work when no procedure is installed.
  virtual DWORD Run();
  virtual int SetThreadProcC(PlainThreadProc proc, void* param);
  virtual DWORD ThreadMain();

 private:
  static unsigned WINAPI ThreadTrampoline(void* self);

  HANDLE threadHandle;
  // Written by the new thread before it signals `startedEvent`.
  std::atomic<DWORD> threadId;
  std::atomic<int> suspended;
  CCriticalSection lock;
  CEvent startedEvent;
  CEvent stopEvent;
  CEvent wakeEvent;
  ThreadRoutine proc;
  PlainThreadProc plainProc;
  void* procParam;
  // 0: ThreadMain calls Run; 1: `proc`; 2: `plainProc`.
  int procKind;
};
