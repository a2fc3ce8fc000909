#pragma once

#include <cstddef>
#include <cstdint>

// 64-bit FNV-1a: cheap, with no seed, and spread well enough for tables
// keyed by small integers.
namespace fnv1a {

inline constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
inline constexpr std::uint64_t kPrime = 1099511628211ull;

constexpr std::uint64_t Hash(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = kOffsetBasis;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= kPrime;
  }
  return hash;
}

// Of the value's four bytes, least significant first, whatever the host.
constexpr std::uint64_t Hash(std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return Hash(bytes, sizeof(bytes));
}

}  // namespace fnv1a
