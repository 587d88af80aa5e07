#include "runtime/shared_array.h"

#include <gtest/gtest.h>

#include "runtime/shared_handle.h"

namespace {

struct Counted {
  static int alive;
  Counted() { ++alive; }
  virtual ~Counted() { --alive; }
};
int Counted::alive = 0;

struct Derived : Counted {
  explicit Derived(int* destroyed) : destroyed_(destroyed) {}
  ~Derived() override { ++*destroyed_; }
  int* destroyed_;
};

int ThrownCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const smart_ptr_exception& error) {
    return error.code;
  }
  return 0;
}

TEST(SharedArray, SingleObjectAndArrayLifetimes) {
  {
    SharedArray<Counted> one;
    one.Allocate(1);
    EXPECT_EQ(1, one.capacity);
    EXPECT_EQ(1, Counted::alive);
    SharedArray<Counted> many;
    many.Allocate(3);
    EXPECT_EQ(4, Counted::alive);
  }
  EXPECT_EQ(0, Counted::alive);

  // A single object is released through its virtual destructor.
  int destroyed = 0;
  {
    SharedArray<Counted> base;
    base.Attach(new Derived(&destroyed), 1);
  }
  EXPECT_EQ(1, destroyed);
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

TEST(SharedArray, CopiesShareOneBlockUntilTheLastRelease) {
  SharedArray<int> first;
  first.Allocate(8);
  first.index = 5;
  SharedArray<int> second(first);
  EXPECT_EQ(2, *first.refs);
  EXPECT_EQ(5, second.index);
  first.Release();
  EXPECT_EQ(nullptr, first.data);
  EXPECT_EQ(0, first.capacity);
  *second.At(-5) = 7;  // still usable
  EXPECT_EQ(1, *second.refs);

  SharedArray<int> empty;
  SharedArray<int> copy(empty);
  EXPECT_EQ(nullptr, copy.refs);
}

int closed;
// A close function has the system's calling convention (stdcall on x86),
// which a lambda cannot have.
BOOL WINAPI CountClose(HANDLE) {
  ++closed;
  return TRUE;
}

TEST(SharedHandle, ClosesOnceThroughTheLastHolder) {
  closed = 0;
  auto closer = &CountClose;
  HANDLE fake = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
  {
    SharedHandle holder;
    holder.Attach(fake, closer);
    SharedHandle other(holder);
    holder.Release();
    EXPECT_EQ(0, closed);
    EXPECT_EQ(fake, other.Get());
    // Attaching a new handle closes the old one first.
    other.Attach(fake, closer);
    EXPECT_EQ(1, closed);
  }
  EXPECT_EQ(2, closed);

  SharedHandle invalid;
  invalid.Attach(INVALID_HANDLE_VALUE, closer);
  EXPECT_FALSE(invalid.IsValid());
  invalid.Release();
  EXPECT_EQ(2, closed);
}

TEST(IException, KeepsAtMost127Units) {
  WString exact(127, u'x');
  IException whole(exact.c_str(), 3, 4);
  EXPECT_EQ(exact, WString(whole.message));
  EXPECT_EQ(3, whole.code);
  EXPECT_EQ(4, whole.detail);

  WString longer(300, u'y');
  IException cut(longer.c_str(), 0, 0);
  EXPECT_EQ(WString(127, u'y'), WString(cut.message));

  IException empty(WTXT(""), 0, 0);
  for (WCHAR unit : empty.message) EXPECT_EQ(0, unit);

  smart_ptr_exception error(SmartPtrRange);
  IException& base = error;
  EXPECT_EQ(WString(WTXT("smart ptr exception")), WString(base.message));
  EXPECT_EQ(0, base.detail);
}

}  // namespace
