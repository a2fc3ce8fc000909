#pragma once

// Messages whose every byte can be checked: the first eight bytes name the
// sender (tag) and its sequence number, the rest follow from both.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "system/fnv1a.h"

namespace shm_test {

inline std::vector<std::uint8_t> MakePayload(std::uint32_t tag, std::uint32_t sequence,
                                             std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(tag * 131 + sequence * 17 + i * 7);
  }
  if (size >= 8) {
    std::memcpy(bytes.data(), &tag, 4);
    std::memcpy(bytes.data() + 4, &sequence, 4);
  }
  return bytes;
}

// One line of a receiver's report: "<size> <hash> <tag> <sequence>".
struct Received {
  std::size_t size = 0;
  std::uint64_t hash = 0;
  std::uint32_t tag = 0;
  std::uint32_t sequence = 0;

  bool operator==(const Received&) const = default;
};

inline Received Describe(const std::uint8_t* data, std::size_t size) {
  Received received{size, fnv1a::Hash(data, size), 0, 0};
  if (size >= 8) {
    std::memcpy(&received.tag, data, 4);
    std::memcpy(&received.sequence, data + 4, 4);
  }
  return received;
}

inline Received Expected(std::uint32_t tag, std::uint32_t sequence, std::size_t size) {
  const auto bytes = MakePayload(tag, sequence, size);
  return Describe(bytes.data(), bytes.size());
}

}  // namespace shm_test
