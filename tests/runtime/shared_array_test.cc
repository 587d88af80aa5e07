#include "runtime/shared_array.h"

#include <gtest/gtest.h>

#include "runtime/shared_handle.h"

namespace {

struct Counted {
  static int alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};
int Counted::alive = 0;

int ThrownCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const smart_ptr_exception& error) {
    return error.code;
  }
  return 0;
}

// Copies share one block until the last release; a single object is
// released as one.
TEST(SharedArray, CopiesShareOneBlockUntilTheLastRelease) {
  {
    SharedArray<Counted> many;
    many.Allocate(3);
    many.index = 2;
    SharedArray<Counted> copy(many);
    many.Release();
    EXPECT_EQ(3, Counted::alive);
    EXPECT_EQ(copy.data, copy.At(-2));  // still usable, with its own index
    SharedArray<Counted> one;
    one.Attach(new Counted, 1);
    EXPECT_EQ(4, Counted::alive);
  }
  EXPECT_EQ(0, Counted::alive);
  SharedArray<int> empty;
  SharedArray<int> copy(empty);
  EXPECT_EQ(nullptr, copy.refs);
}

TEST(SharedArray, AccessIsValidatedAtTheIndex) {
  SharedArray<int> empty;
  EXPECT_EQ(SmartPtrNull, ThrownCode([&] { empty.Get(); }));
  SharedArray<int> none;
  none.Allocate(0);
  EXPECT_EQ(SmartPtrRange, ThrownCode([&] { none.Get(); }));

  SharedArray<int> block;
  block.Allocate(4);
  block.index = 4;
  EXPECT_EQ(SmartPtrRange, ThrownCode([&] { block.Get(); }));
  block.index = -1;
  EXPECT_EQ(SmartPtrRange, ThrownCode([&] { block.Get(); }));
  EXPECT_EQ(block.data, block.At(1));  // inside again with the offset
  block.index = 0;
  EXPECT_EQ(block.data + 3, block.At(3));
  EXPECT_EQ(SmartPtrRange, ThrownCode([&] { block.At(INT32_MAX); }));
}

int closed;
// A close function has the system's calling convention (stdcall on x86),
// which a lambda cannot have.
BOOL WINAPI CountClose(HANDLE) {
  ++closed;
  return TRUE;
}

TEST(SharedHandle, ClosesOnceThroughTheLastHolder) {
  HANDLE fake = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
  {
    SharedHandle holder;
    holder.Attach(fake, &CountClose);
    SharedHandle other(holder);
    holder.Release();
    EXPECT_EQ(0, closed);
    // Attaching a new handle closes the old one first.
    other.Attach(fake, &CountClose);
    EXPECT_EQ(1, closed);
  }
  EXPECT_EQ(2, closed);
}

}  // namespace
