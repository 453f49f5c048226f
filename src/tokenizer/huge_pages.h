// An allocator for the large tables that training and encoding walk at
// random: blocks of 2 MiB and more are aligned to 2 MiB and marked for
// transparent huge pages, which spares most of the TLB misses of random
// access. Smaller blocks come from std::allocator.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace ovilex {

template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

  HugePageAllocator() noexcept = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - HUGE_PAGE) {
      throw std::bad_array_new_length();
    }
    const std::size_t bytes = n * sizeof(T);
    if (bytes < HUGE_PAGE) return std::allocator<T>().allocate(n);
    const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* p = std::aligned_alloc(HUGE_PAGE, rounded);
    if (p == nullptr) throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint: failure changes nothing
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < HUGE_PAGE) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace ovilex
