#include "producer/side_by_side.h"

#include <exception>

#include "runtime/thread.h"

namespace {

struct Work {
  explicit Work(const std::function<void()>& run) : run(run) {}
  const std::function<void()>& run;
  bool ran = false;
  std::exception_ptr error;
};

DWORD RunWork(void* param) {
  auto* work = static_cast<Work*>(param);
  work->ran = true;
  try {
    work->run();
  } catch (...) {
    work->error = std::current_exception();
  }
  return 0;
}

}  // namespace

void RunSideBySide(const std::function<void()>& first,
                   const std::function<void()>& second) {
  Work other(second);
  CThread thread;
  thread.SetThreadProcC(&RunWork, &other);
  thread.Start();
  std::exception_ptr error;
  try {
    first();
  } catch (...) {
    error = std::current_exception();
  }
  thread.Stop();  // joins the thread, when one started
  if (!other.ran) RunWork(&other);
  if (error) std::rethrow_exception(error);
  if (other.error) std::rethrow_exception(other.error);
}
