#include "ipc/shm/receive_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "system/fnv1a.h"

namespace shm {
namespace {

// Once the cache holds more entries than this, a new message first drops
// every entry whose id is further than kIdDistance from its own.
constexpr std::size_t kPurgeThreshold = 1024;
constexpr std::uint32_t kIdDistance = 8192;
// Ids count round in 32 bits: the first id a receiver expects follows the
// newest at this distance, so that ids never pass it by wrapping.
constexpr std::uint32_t kFirstIdLag = 1u << 30;

std::uint32_t IdDistance(std::uint32_t a, std::uint32_t b) { return std::min(a - b, b - a); }

}  // namespace

std::size_t ReceiveCache::Fnv1a::operator()(std::uint32_t id) const {
  return static_cast<std::size_t>(fnv1a::Hash(id));
}

void ReceiveCache::Restart(std::optional<std::uint32_t> next_id) {
  entries_.clear();
  first_id_ = next_id;
}

ReceiveBuffer ReceiveCache::Add(const SlotMessage& message, std::size_t size) {
  const auto entry = entries_.find(message.id);
  if (entry == entries_.end()) {
    if (first_id_) {
      // A fragment of a message that began before this receiver connected,
      // even one that looks whole: it may be the last one.
      if (static_cast<std::int32_t>(message.id - *first_id_) < 0) return {};
      if (message.id - *first_id_ > kFirstIdLag) first_id_ = message.id - kFirstIdLag;
    }
    if (size <= kFragmentSize) {
      auto bytes = std::make_unique<std::uint8_t[]>(size);
      std::memcpy(bytes.get(), message.data, size);
      return ReceiveBuffer(std::move(bytes), size);
    }
    if (entries_.size() > kPurgeThreshold) {
      std::erase_if(entries_, [&](const auto& item) {
        return IdDistance(item.first, message.id) > kIdDistance;
      });
    }
    // The size comes from another process; one that cannot be had is
    // dropped, not allowed to end this one.
    std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
    if (!bytes) {
      Print(stderr, text::kReceiveSize, static_cast<int>(size));
      return {};
    }
    std::memcpy(bytes.get(), message.data, kFragmentSize);
    entries_.emplace(message.id, PartialMessage{std::move(bytes), size, kFragmentSize});
    return {};
  }
  PartialMessage& partial = entry->second;
  const bool last = message.remain < 1;
  // A fragment that does not start where the bytes so far end means one was
  // lost (overwritten before this receiver read it): the message is dropped,
  // and its remaining fragments with it, rather than handed on with a hole.
  if (partial.bytes && partial.size - std::min(size, partial.size) != partial.filled) {
    partial.bytes.reset();
  }
  if (!partial.bytes) {
    if (last) entries_.erase(entry);
    return {};
  }
  const std::size_t copied = std::min(last ? size : kFragmentSize, partial.size - partial.filled);
  std::memcpy(partial.bytes.get() + partial.filled, message.data, copied);
  partial.filled += copied;
  if (!last) return {};
  ReceiveBuffer complete(std::move(partial.bytes), partial.size);
  entries_.erase(entry);
  return complete;
}

}  // namespace shm
