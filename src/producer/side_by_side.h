// Two pieces of work on two cores.
#pragma once

#include <functional>

// Runs `first` on the calling thread and `second` on a thread of its own
// (on the calling thread too when no thread starts), and returns once both
// are done. What either threw is thrown then, `first`'s before `second`'s.
// The two must not write what the other reads.
void RunSideBySide(const std::function<void()>& first,
                   const std::function<void()>& second);
