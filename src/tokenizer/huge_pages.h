// An allocator for the large tables that training and encoding walk at
// random: blocks of 2 MiB and more are aligned to 2 MiB and marked for
// transparent huge pages, which spares most of the TLB misses of random
// access. Smaller blocks come from std::allocator.
//
// A large block is a mapping of its own, unmapped when it is freed: a table
// that grows gives its old copy back to the system at once, where malloc
// would keep it for later. The mapping ends at the last small page that the
// block needs, so its tail past the last 2 MiB boundary stays in small
// pages and is resident only where touched.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
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
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - 2 * HUGE_PAGE) {
      throw std::bad_array_new_length();
    }
    const std::size_t bytes = n * sizeof(T);
    if (bytes < HUGE_PAGE) return std::allocator<T>().allocate(n);
    // Mapped with a huge page to spare, then cut to an aligned start.
    const std::size_t length = mapped_length(bytes);
    void* raw = ::mmap(nullptr, length + HUGE_PAGE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (begin + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (start != begin) ::munmap(raw, start - begin);
    ::munmap(reinterpret_cast<void*>(start + length), begin + HUGE_PAGE - start);
    void* p = reinterpret_cast<void*>(start);
    ::madvise(p, length, MADV_HUGEPAGE);  // a hint: failure changes nothing
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < HUGE_PAGE) {
      std::allocator<T>().deallocate(p, n);
    } else {
      ::munmap(p, mapped_length(bytes));
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static std::size_t mapped_length(std::size_t bytes) noexcept {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
  }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace ovilex
