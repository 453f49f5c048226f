// Injected allocation failures, for the fault tests: a library preloaded
// (LD_PRELOAD) into a Python process, which replaces operator new and
// aligned_alloc. The Python side arms it through ctypes:
//
//   fault_arm(n, sticky)   the n-th allocation from now (0 is the next) fails;
//                          with sticky, every allocation after it fails too
//   fault_arm_workers()    every allocation on a thread other than the one
//                          that armed it fails
//   fault_disarm()         allocations succeed again; returns how many failed
//
// The interpreter allocates with malloc, which is left alone, so only the
// module's C++ allocations (and the C++ runtime's) see the failures.
#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

namespace {

enum class Mode { Off, Countdown, Workers };

std::atomic<Mode> mode{Mode::Off};
std::atomic<long> left{0};  // allocations that still succeed
std::atomic<bool> sticky{false};
std::atomic<long> failed{0};
pthread_t armed_by;

bool should_fail() noexcept {
  switch (mode.load(std::memory_order_acquire)) {
    case Mode::Off:
      return false;
    case Mode::Workers:
      if (pthread_equal(pthread_self(), armed_by)) return false;
      break;
    case Mode::Countdown: {
      const long before = left.fetch_sub(1);
      if (before > 0) return false;
      if (before < 0 && !sticky.load()) return false;
      break;
    }
  }
  failed.fetch_add(1);
  return true;
}

void* allocate(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = should_fail() ? nullptr
            : alignment <= alignof(std::max_align_t) ? std::malloc(size)
                                                      : __libc_memalign(alignment, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* allocate_nothrow(std::size_t size, std::size_t alignment) noexcept {
  try {
    return allocate(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

constexpr std::size_t PLAIN = alignof(std::max_align_t);

}  // namespace

extern "C" {

void fault_arm(long n, int keep_failing) {
  failed.store(0);
  sticky.store(keep_failing != 0);
  left.store(n);
  mode.store(Mode::Countdown, std::memory_order_release);
}

void fault_arm_workers() {
  failed.store(0);
  armed_by = pthread_self();
  mode.store(Mode::Workers, std::memory_order_release);
}

long fault_disarm() {
  mode.store(Mode::Off, std::memory_order_release);
  return failed.load();
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_memalign(alignment, size);
}

}  // extern "C"

void* operator new(std::size_t n) { return allocate(n, PLAIN); }
void* operator new[](std::size_t n) { return allocate(n, PLAIN); }
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, PLAIN);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, PLAIN);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
