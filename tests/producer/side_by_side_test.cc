#include "producer/side_by_side.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

// Both pieces run to their end whatever the other does, and what one
// threw reaches the caller once both are done: the first's error before
// the second's.
TEST(SideBySide, BothRunAndTheirErrorsReachTheCaller) {
  struct Case {
    const char* name;
    bool firstThrows, secondThrows;
    const char* error;
  } cases[] = {{"neither", false, false, ""},
               {"the first", true, false, "first"},
               {"the second", false, true, "second"},
               {"both", true, true, "first"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t first = 0, second = 0;
    std::string error;
    try {
      RunSideBySide(
          [&] {
            for (int i = 0; i < 100000; ++i) first += i;
            if (c.firstThrows) throw std::runtime_error("first");
          },
          [&] {
            for (int i = 0; i < 100000; ++i) second += i;
            if (c.secondThrows) throw std::runtime_error("second");
          });
    } catch (const std::runtime_error& thrown) {
      error = thrown.what();
    }
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(int64_t{4999950000}, first);
    EXPECT_EQ(int64_t{4999950000}, second);
  }
}

}  // namespace
