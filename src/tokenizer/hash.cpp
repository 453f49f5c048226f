#include "hash.h"

#include <chrono>
#include <random>

namespace ovilex {

std::uint64_t process_hash_key() noexcept {
  static const std::uint64_t key = [] {
    try {
      std::random_device device;
      return (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
      // No random source: still differ between processes.
      const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      return hash_detail::mum(static_cast<std::uint64_t>(now), hash_detail::K2) ^
             reinterpret_cast<std::uintptr_t>(&now);
    }
  }();
  return key;
}

}  // namespace ovilex
