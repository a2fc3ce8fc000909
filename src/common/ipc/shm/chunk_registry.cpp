#include "ipc/shm/chunk_registry.h"

#include <fmt/format.h>

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "ipc/shm/primitives.h"

namespace shm {
namespace {

class ChunkRegistry {
 public:
  static ChunkRegistry& Instance() {
    static ChunkRegistry registry;
    return registry;
  }

  std::optional<ChunkBlock> Block(std::size_t chunk_size, bool create) {
    {
      std::shared_lock lock(mutex_);
      if (auto found = MappedBlock(chunk_size)) return found;
    }
    std::unique_lock lock(mutex_);
    if (auto found = MappedBlock(chunk_size)) return found;
    auto& block = blocks_[chunk_size];
    if (!block) block = std::make_unique<handle>();
    const std::string name = fmt::format("__CHUNK_INFO__{}", chunk_size);
    const bool acquired = create ? block->acquire(name, ChunkBlockBytes(chunk_size), true)
                                 : block->open_existing(name, true);
    if (!acquired) {
      Print(stderr, text::kChunkBlockAcquire, static_cast<std::ptrdiff_t>(chunk_size));
      return std::nullopt;
    }
    if (block->mem() == nullptr) {
      Print(stderr, text::kChunkBlockGet, static_cast<std::ptrdiff_t>(chunk_size));
      return std::nullopt;
    }
    return ChunkBlock(block->mem(), block->size(), chunk_size);
  }

 private:
  std::optional<ChunkBlock> MappedBlock(std::size_t chunk_size) const {
    const auto found = blocks_.find(chunk_size);
    if (found == blocks_.end() || !found->second || found->second->mem() == nullptr) {
      return std::nullopt;
    }
    return ChunkBlock(found->second->mem(), found->second->size(), chunk_size);
  }

  std::shared_mutex mutex_;
  std::map<std::size_t, std::unique_ptr<handle>> blocks_;
};

class SentChunks {
 public:
  static SentChunks& Instance() {
    static SentChunks sent;
    return sent;
  }

  void Add(const ChunkBlock& block, std::int32_t index, std::uint32_t readers) {
    std::lock_guard lock(mutex_);
    DropReleased();
    chunks_.push_back({block, index, readers});
  }

  // True when no chunk is still waited for.
  bool Settle() {
    std::lock_guard lock(mutex_);
    DropReleased();
    return chunks_.empty();
  }

 private:
  struct Entry {
    ChunkBlock block;
    std::int32_t index;
    std::uint32_t readers;
  };

  void DropReleased() {
    std::erase_if(chunks_, [](const Entry& entry) {
      const ChunkHeader* header = entry.block.Header(entry.index);
      return header == nullptr || (header->pending_readers.load() & entry.readers) == 0;
    });
  }

  std::mutex mutex_;
  std::vector<Entry> chunks_;
};

}  // namespace

std::optional<ChunkBlock> ChunkBlockOfSize(std::size_t chunk_size, bool create) {
  return ChunkRegistry::Instance().Block(chunk_size, create);
}

void RememberSentChunk(const ChunkBlock& block, std::int32_t index, std::uint32_t readers) {
  SentChunks::Instance().Add(block, index, readers);
}

bool WaitForSentChunksReleased(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (Backoff backoff;; backoff.Pause()) {
    if (SentChunks::Instance().Settle()) return true;
    if (GetTickCount64() >= deadline) return false;
  }
}

}  // namespace shm
