// The C++ runtime's throwing points, for the applier, which is built
// without exceptions. Nothing in the applier catches an exception, so where
// the runtime would throw one (memory exhausted, a container's length or
// position out of range, a pure virtual call) the process ends, as it would
// through the uncaught exception, only at once. Defined here, the library's
// own versions are not linked, and with them go the unwinder, the exception
// classes and their strings, and the terminate handler that names an
// uncaught exception's type through the demangler.
//
// Allocation keeps the library's contract: the plain forms never return
// null, the std::nothrow forms return null when the memory is not there.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  void* block = std::malloc(size != 0 ? size : 1);
  if (block == nullptr) std::abort();
  return block;
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}

// Every throwing point the library's headers call. One left out would bring
// the library's whole set back, and the linker would refuse the two.
namespace std {
void __throw_bad_exception() { abort(); }
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_bad_cast() { abort(); }
void __throw_bad_typeid() { abort(); }
void __throw_bad_function_call() { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_domain_error(const char*) { abort(); }
void __throw_invalid_argument(const char*) { abort(); }
void __throw_length_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_runtime_error(const char*) { abort(); }
void __throw_range_error(const char*) { abort(); }
void __throw_overflow_error(const char*) { abort(); }
void __throw_underflow_error(const char*) { abort(); }
void __throw_ios_failure(const char*) { abort(); }
void __throw_ios_failure(const char*, int) { abort(); }
void __throw_system_error(int) { abort(); }
void __throw_future_error(int) { abort(); }
}  // namespace std

// A call through a vtable slot of an abstract class.
extern "C" void __cxa_pure_virtual() { std::abort(); }
