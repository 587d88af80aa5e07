// The worker applied with the stand-in's faults and call observers, in a
// folder where another user plants files: for the tests of the commit, its
// faults, its interruption and its recovery.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace testing_support {

namespace fs = std::filesystem;

const Bytes kOldA = ToBytes("library, old");
const Bytes kNewA = ToBytes("library, new and longer");
const Bytes kOldB = ToBytes("program, old");
const Bytes kNewB = ToBytes("program, new");
const Bytes kPlanted = ToBytes("planted by another user");

// Makes the file or folder at `path` another user's, as if they had made it.
inline void Theirs(const fs::path& path) {
  standin::SetOwner(path.string(), standin::User::kOther);
}

// Clears the stand-in's faults, counts and call observer.
inline void ClearFaults() {
  standin::SetCallObserver(nullptr);
  standin::ResetCalls();
}

// Runs `act` just before the `nth` call of `function` from now on.
inline void AtCall(const std::string& function, int nth,
                   const std::function<void()>& act) {
  auto calls = std::make_shared<int>(0);
  standin::SetCallObserver([=](const char* called, uint64_t) {
    if (function == called && ++*calls == nth) act();
  });
}

class CommitTest : public WorkerTest {
 protected:
  void TearDown() override {
    ClearFaults();
    WorkerTest::TearDown();
  }

  // As Apply, with the faults and observer `plant` sets once the package is
  // loaded (counted from the run's first call); they end with the run.
  ResultCode ApplyWith(const std::vector<TestEntry>& entries, uint32_t flags,
                       const std::function<void()>& plant) {
    Load(entries, flags);
    standin::ResetCalls();
    plant();
    window.Clear();
    before = Snapshot(app.path());
    ResultCode result = worker->Run();
    ClearFaults();
    window.Pump();
    return result;
  }
};

}  // namespace testing_support
