// Reference-counted holder of one heap object or one heap array.
//
// A block of capacity 1 is a single object (allocated with new, released
// with delete, so a virtual destructor runs); any other capacity is an array
// (new[]/delete[]). Every holder of a block shares one heap counter; the last
// holder's Release frees block and counter. Each holder has its own `index`,
// which owners move freely; it is validated only when an element is
// accessed. The counter is a plain int: holders of one block are copied and
// released by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

#include "runtime/exception.h"

template <typename T>
class SharedArray {
 public:
  SharedArray() = default;
  SharedArray(const SharedArray& other) { Share(other); }
  SharedArray& operator=(const SharedArray& other) {
    if (this != &other) {
      Release();
      Share(other);
    }
    return *this;
  }
  ~SharedArray() { Release(); }

  // Takes ownership of `block`: a single object when `count` is 1, an array
  // of `count` elements otherwise. A null block leaves the holder empty.
  void Attach(T* block, int32_t count) {
    Release();
    if (block == nullptr) return;
    // Frees the block when the counter's allocation fails.
    struct Pending {
      T* block;
      int32_t count;
      ~Pending() { Free(block, count); }
    } pending{block, count};
    int* counter = new int(1);
    pending.block = nullptr;
    Adopt(block, counter, count);
  }

  // Replaces the block by `count` value-initialised elements.
  void Allocate(int32_t count) {
    T* block = count == 1 ? new T() : new T[count]();
    Attach(block, count);
  }

  // Allocate without the allocation failure exception: false when the
  // memory is not there, the holder then unchanged.
  bool TryAllocate(int32_t count) {
    T* block =
        count == 1 ? new (std::nothrow) T() : new (std::nothrow) T[count]();
    int* counter = new (std::nothrow) int(1);
    if (block == nullptr || counter == nullptr) {
      Free(block, count);
      delete counter;
      return false;
    }
    Adopt(block, counter, count);
    return true;
  }

  void Release() {
    if (refs != nullptr && --*refs == 0) {
      delete refs;
      Free(data, capacity);
    }
    data = nullptr;
    refs = nullptr;
    capacity = 0;
    index = 0;
  }

  // Element `index`; throws smart_ptr_exception when the holder is empty
  // (SmartPtrNull) or the position is outside the block (SmartPtrRange).
  T* Get() const { return At(0); }

  // Element `index` + `offset`, validated the same way.
  T* At(int64_t offset) const {
    if (data == nullptr) Raise(SmartPtrNull);
    int64_t position = static_cast<int64_t>(index) + offset;
    if (position < 0 || position >= capacity) Raise(SmartPtrRange);
    return data + position;
  }

  T* data = nullptr;
  int* refs = nullptr;
  int32_t capacity = 0;
  int32_t index = 0;

 private:
  // Throws smart_ptr_exception. The applier is built without exceptions:
  // nothing in it would catch this one, so there it ends the process at
  // once, as the uncaught exception would.
  [[noreturn]] static void Raise(int32_t code) {
#if __cpp_exceptions
    throw smart_ptr_exception(code);
#else
    static_cast<void>(code);
    std::abort();
#endif
  }

  void Adopt(T* block, int* counter, int32_t count) {
    Release();
    data = block;
    refs = counter;
    capacity = count;
    index = 0;
  }

  void Share(const SharedArray& other) {
    if (other.data == nullptr) return;
    data = other.data;
    refs = other.refs;
    capacity = other.capacity;
    index = other.index;
    ++*refs;
  }

  // The capacity decides the form: Allocate and Attach take a single
  // object exactly when it is 1. Inlined into a caller that allocates, GCC
  // cannot see that and warns of a mismatch on the path that never runs.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
  static void Free(T* block, int32_t count) {
    if (count == 1) {
      delete block;
    } else {
      delete[] block;
    }
  }
#pragma GCC diagnostic pop
};
