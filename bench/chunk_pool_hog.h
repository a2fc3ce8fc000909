#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/shm/primitives.h"
#include "ipc/shm/ring.h"

namespace bench {

// Holds every chunk of one size for its lifetime, so that messages of that
// size travel as 64-byte fragments.
class ChunkPoolHog {
 public:
  explicit ChunkPoolHog(std::size_t message_size) : chunk_size_(shm::ChunkSizeFor(message_size)) {
    if (!mapping_.acquire("__CHUNK_INFO__" + std::to_string(chunk_size_),
                          shm::ChunkBlockBytes(chunk_size_), true)) {
      return;
    }
    shm::ChunkBlock block(mapping_.mem(), mapping_.size(), chunk_size_);
    while (const auto index = block.Take(kHogBit)) taken_.push_back(*index);
  }
  ~ChunkPoolHog() {
    if (mapping_.mem() == nullptr) return;
    shm::ChunkBlock block(mapping_.mem(), mapping_.size(), chunk_size_);
    for (std::int32_t index : taken_) block.Release(index, kHogBit, ~0u);
  }
  ChunkPoolHog(const ChunkPoolHog&) = delete;
  ChunkPoolHog& operator=(const ChunkPoolHog&) = delete;

  bool holds_all() const { return taken_.size() == shm::kChunksPerBlock; }

 private:
  static constexpr std::uint32_t kHogBit = 1u << 31;
  std::size_t chunk_size_;
  shm::handle mapping_;
  std::vector<std::int32_t> taken_;
};

}  // namespace bench
