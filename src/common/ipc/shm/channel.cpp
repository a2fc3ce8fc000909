#include "ipc/shm/channel.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "ipc/shm/diagnostics.h"

namespace shm {
namespace {

constexpr int kPopTriesBeforeWaiting = 32;
constexpr int kPushTriesBeforeWaiting = 32;
constexpr DWORD kReceiveWaitMs = 2000;
constexpr std::size_t kCachePurgeThreshold = 1024;
constexpr std::uint32_t kCacheIdDistance = 8192;
constexpr char kConnectionIdCounter[] = "__CA_CONN__";

// ---- connection ids --------------------------------------------------------

// Raises the counter to at least `floor`.
void RaiseTo(std::atomic<std::uint32_t>& counter, std::uint32_t floor) {
  std::uint32_t value = counter.load();
  while (value < floor && !counter.compare_exchange_weak(value, floor)) {
  }
}

// Every channel object takes its id from the counter of the namespace of the
// process's first channel. A process whose counter is the local one also
// draws from the global counter and moves both past the id it takes: a peer
// in the other namespace (an elevated client, say) must never get the same
// id, or it would skip our messages as its own.
std::uint32_t TakeConnectionId(bool global) {
  static handle bound;
  static handle global_counter;
  static std::mutex mutex;
  static bool bound_once = false;
  std::lock_guard lock(mutex);
  if (!bound_once) {
    bound_once = true;
    bound.acquire(kConnectionIdCounter, sizeof(std::uint32_t), global);
  }
  auto* counter = static_cast<std::atomic<std::uint32_t>*>(bound.mem());
  if (counter == nullptr) return 0;
  std::uint32_t id = counter->fetch_add(1);
  if (bound.global()) return id;
  if (global_counter.mem() == nullptr) {
    global_counter.acquire(kConnectionIdCounter, sizeof(std::uint32_t), true);
  }
  if (auto* global_ids = static_cast<std::atomic<std::uint32_t>*>(global_counter.mem())) {
    id = std::max(id, global_ids->fetch_add(1));
    RaiseTo(*global_ids, id + 1);
  }
  RaiseTo(*counter, id + 1);
  return id;
}

// ---- chunk blocks ----------------------------------------------------------

// One mapping per chunk size and process, kept until the process exits so a
// block outlives every channel object that used it.
class ChunkRegistry {
 public:
  static ChunkRegistry& Instance() {
    static ChunkRegistry registry;
    return registry;
  }

  // The block for chunk size K. A receiver only opens a block that exists:
  // a block it would create could hold no message.
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
      Print(stderr, "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n",
            static_cast<std::ptrdiff_t>(chunk_size));
      return std::nullopt;
    }
    if (block->mem() == nullptr) {
      Print(stderr, "[chunk_storages] chunk_shm.id_info_.get failed: chunk_size = %zd\n",
            static_cast<std::ptrdiff_t>(chunk_size));
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

// Chunks this process sent, until their receivers have let go of them.
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

bool ValidChunkIndex(std::int32_t index) {
  return index >= 0 && index < static_cast<std::int32_t>(kChunksPerBlock);
}

// ---- receive cache ---------------------------------------------------------

struct Fnv1a {
  std::size_t operator()(std::uint32_t id) const {
    std::uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < 4; ++i) {
      hash ^= (id >> (8 * i)) & 0xFF;
      hash *= 1099511628211ull;
    }
    return static_cast<std::size_t>(hash);
  }
};

struct PartialMessage {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size;
  std::size_t filled;
};

using ReceiveCache = std::unordered_map<std::uint32_t, PartialMessage, Fnv1a>;

ReceiveCache& ThreadReceiveCache() {
  thread_local ReceiveCache cache;
  return cache;
}

std::uint32_t IdDistance(std::uint32_t a, std::uint32_t b) { return std::min(a - b, b - a); }

}  // namespace

// ---- receive buffer --------------------------------------------------------

ReceiveBuffer::ReceiveBuffer(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size)
    : owned_(std::move(bytes)), data_(owned_.get()), size_(size) {}

ReceiveBuffer::ReceiveBuffer(ChunkBlock block, std::int32_t index, std::size_t size,
                             std::uint32_t own_bit, std::uint32_t connected)
    : lease_(std::make_unique<ChunkLease>(ChunkLease{block, index, own_bit, connected})),
      data_(block.Message(index)),
      size_(size) {}

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept
    : owned_(std::move(other.owned_)),
      lease_(std::move(other.lease_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    owned_ = std::move(other.owned_);
    lease_ = std::move(other.lease_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ReceiveBuffer::Release() {
  if (lease_) {
    if (!ValidChunkIndex(lease_->index)) {
      Print(stderr, "[recycle_storage] id is invalid: id = %ld, size = %zd\n",
            static_cast<long>(lease_->index), static_cast<std::ptrdiff_t>(size_));
    } else {
      lease_->block.Release(lease_->index, lease_->own_bit, lease_->connected);
    }
    lease_.reset();
  }
  owned_.reset();
  data_ = nullptr;
  size_ = 0;
}

// ---- waiters ---------------------------------------------------------------

class Channel::Waiter {
 public:
  Waiter(std::string_view name, bool global) {
    condition_.Open(fmt::format("_waiter_cond_{}", name), global);
    // No namespace prefix: peers open the lock by this bare name.
    lock_.Open(fmt::format("_waiter_lock_{}", name));
  }

  void Broadcast() {
    if (lock_.Lock()) lock_.Unlock();
    condition_.Broadcast();
  }

  // True when the predicate stopped holding or the waiter was told to quit;
  // false when one wait of `timeout_ms` passed without a wake-up.
  template <typename Predicate>
  bool WaitWhile(Predicate keep_waiting, DWORD timeout_ms) {
    if (!lock_.Lock()) return false;
    for (;;) {
      if (quit_ || !keep_waiting()) {
        lock_.Unlock();
        return true;
      }
      if (!condition_.Wait(lock_, timeout_ms)) {
        lock_.Unlock();
        return false;
      }
    }
  }

  void Quit() {
    quit_ = true;
    Broadcast();
  }
  void Resume() { quit_ = false; }

 private:
  NamedCondition condition_;
  NamedMutex lock_;
  std::atomic<bool> quit_{false};
};

// ---- channel ---------------------------------------------------------------

std::unique_ptr<Channel> Channel::Open(std::string_view name, bool global) {
  return std::unique_ptr<Channel>(new Channel(name, global));
}

Channel::Channel(std::string_view name, bool global)
    : name_(name),
      conn_id_(TakeConnectionId(global)),
      connection_waiter_(std::make_unique<Waiter>("__CC_CONN__" + name_, global)),
      writer_waiter_(std::make_unique<Waiter>("__WT_CONN__" + name_, global)),
      reader_waiter_(std::make_unique<Waiter>("__RD_CONN__" + name_, global)) {
  message_counter_.acquire("__AC_CONN__" + name_, sizeof(std::uint32_t), global);
  if (ring_block_.acquire(fmt::format("__QU_CONN__{}__{}__{}", kFragmentSize, 8, name_),
                          sizeof(Ring), global) &&
      ring_block_.size() >= sizeof(Ring)) {
    ConstructRing(*ring());
  }
}

Channel::~Channel() { disconnect(); }

Ring* Channel::ring() const {
  // A block smaller than a ring (made by something else under our name) is
  // never used as one.
  if (ring_block_.size() < sizeof(Ring)) return nullptr;
  return static_cast<Ring*>(ring_block_.mem());
}

bool Channel::connect(ConnectMode mode) {
  if (mode == ConnectMode::kSender) {
    if (receiver_bit_ != 0) disconnect();
    return ring() != nullptr;
  }
  if (ring() == nullptr) return false;
  if (receiver_bit_ == 0) {
    const std::uint32_t bit = ConnectReceiver(*ring());
    if (bit == 0) return false;
    receiver_bit_ = bit;
    // A new receiver sees only what is written after it connected.
    read_cursor_ = static_cast<std::uint32_t>(ring()->write_cursor.load());
    for (Waiter* waiter : {connection_waiter_.get(), writer_waiter_.get(), reader_waiter_.get()}) {
      waiter->Resume();
    }
  }
  connection_waiter_->Broadcast();
  return true;
}

void Channel::disconnect() {
  const bool released = receiver_bit_ != 0 && ring() != nullptr;
  if (released) DisconnectReceiver(*ring(), receiver_bit_);
  receiver_bit_ = 0;
  for (Waiter* waiter : {connection_waiter_.get(), writer_waiter_.get(), reader_waiter_.get()}) {
    waiter->Quit();
  }
  if (released) ThreadReceiveCache().clear();
}

void Channel::cancel_recv() { reader_waiter_->Quit(); }

bool Channel::send(const void* data, std::size_t size, unsigned limit_ms) {
  // The slot describes the rest of a message in 32 signed bits.
  if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
    Print(stderr, "fail: send(%p, %zd)\n", data, static_cast<std::ptrdiff_t>(size));
    return false;
  }
  if (ring() == nullptr) {
    Print(stderr, "fail: send, queue_of(h)->elems() == nullptr\n");
    return false;
  }
  if (ring()->cc.load() == 0) {
    Print(stderr, "fail: send, there is no receiver on this connection.\n");
    return false;
  }
  auto* counter = static_cast<std::atomic<std::uint32_t>*>(message_counter_.mem());
  if (counter == nullptr) {
    Print(stderr, "fail: send, info_of(h)->acc() == nullptr\n");
    return false;
  }
  const std::uint32_t id = counter->fetch_add(1);
  if (size > kFragmentSize) {
    if (const std::optional<bool> sent = SendInChunk(data, size, id, limit_ms)) return *sent;
  }
  return SendFragments(static_cast<const std::uint8_t*>(data), size, id, limit_ms);
}

std::optional<bool> Channel::SendInChunk(const void* data, std::size_t size, std::uint32_t id,
                                         unsigned limit_ms) {
  std::optional<ChunkBlock> block = ChunkRegistry::Instance().Block(ChunkSizeFor(size), true);
  if (!block) return std::nullopt;
  const std::uint32_t readers = ring()->cc.load();
  const std::optional<std::int32_t> index = block->Take(readers);
  if (!index) return std::nullopt;
  std::memcpy(block->Message(*index), data, size);
  const Fragment fragment{conn_id_, id, static_cast<std::int32_t>(size - kFragmentSize), 1,
                          &*index, sizeof(*index)};
  if (!Push(fragment, limit_ms)) {
    // Placed nowhere, so nobody will read it.
    block->Release(*index, readers, 0);
    return false;
  }
  SentChunks::Instance().Add(*block, *index, readers);
  return true;
}

bool Channel::SendFragments(const std::uint8_t* data, std::size_t size, std::uint32_t id,
                            unsigned limit_ms) {
  std::size_t offset = 0;
  for (; offset + kFragmentSize <= size; offset += kFragmentSize) {
    const Fragment fragment{conn_id_, id, static_cast<std::int32_t>(size - offset - kFragmentSize),
                            0, data + offset, kFragmentSize};
    if (!Push(fragment, limit_ms)) return false;
  }
  if (offset < size) {
    const std::size_t left = size - offset;
    const Fragment fragment{conn_id_, id, static_cast<std::int32_t>(left) - 64, 0,
                            data + offset, left};
    if (!Push(fragment, limit_ms)) return false;
  }
  return true;
}

bool Channel::Push(const Fragment& fragment, unsigned limit_ms) {
  Ring* queue = ring();
  if (queue == nullptr) return false;
  bool pushed = TryNormalPush(*queue, fragment) == PushResult::kPushed;
  if (!pushed && limit_ms > 0) {
    for (int tries = 0; !pushed && tries < kPushTriesBeforeWaiting; ++tries) {
      Count(Counted::kYield);
      SwitchToThread();
      pushed = TryNormalPush(*queue, fragment) == PushResult::kPushed;
    }
    if (!pushed) {
      writer_waiter_->WaitWhile(
          [&] { return !(pushed = TryNormalPush(*queue, fragment) == PushResult::kPushed); },
          limit_ms);
    }
  }
  if (!pushed) {
    Count(Counted::kForcedPush);
    Print(stdout, "force_push: msg_id = %zd, remain = %d, size = %zd\n",
          static_cast<std::ptrdiff_t>(fragment.id), fragment.remain,
          static_cast<std::ptrdiff_t>(fragment.size));
    const ForcedPushResult forced = ForcedPush(*queue, fragment);
    if (forced.old_chunk_message) FreeOverwrittenChunk(*forced.old_chunk_message);
    pushed = forced.pushed;
  }
  if (pushed) reader_waiter_->Broadcast();
  return pushed;
}

// The overwritten message is gone for the receivers that had not read it;
// the chunk goes back to the pool once no reader holds it any more.
void Channel::FreeOverwrittenChunk(const Overwritten& old) {
  const std::int64_t size = static_cast<std::int64_t>(old.remain) + 64;
  if (size < 1) {
    Print(stderr, "[clear_message] invalid msg size: %d\n", static_cast<int>(size));
    return;
  }
  if (!ValidChunkIndex(old.chunk_index)) {
    Print(stderr, "[release_storage] id is invalid: id = %ld, size = %zd\n",
          static_cast<long>(old.chunk_index), static_cast<std::ptrdiff_t>(size));
    return;
  }
  if (auto block = ChunkRegistry::Instance().Block(ChunkSizeFor(size), false)) {
    block->Release(old.chunk_index, old.unread_by, ~0u);
  }
}

ReceiveBuffer Channel::recv() {
  if (receiver_bit_ == 0 || ring() == nullptr) return {};
  Ring& queue = *ring();
  ReceiveCache& cache = ThreadReceiveCache();
  for (;;) {
    std::optional<SlotMessage> message;
    const auto pop = [&] { return (message = Pop(queue, read_cursor_, receiver_bit_)).has_value(); };
    bool popped = pop();
    for (int tries = 0; !popped && tries < kPopTriesBeforeWaiting; ++tries) {
      Count(Counted::kYield);
      SwitchToThread();
      popped = pop();
    }
    if (!popped) {
      if (!reader_waiter_->WaitWhile([&] { return !pop(); }, kReceiveWaitMs)) return {};
      // Told to quit before anything arrived.
      if (!message) return {};
    }
    writer_waiter_->Broadcast();

    if (message_counter_.mem() != nullptr && message->conn_id == conn_id_) continue;
    const std::int64_t size = static_cast<std::int64_t>(message->remain) + 64;
    if (size < 1) {
      Print(stderr, "fail: recv, r_size = %d\n", static_cast<int>(size));
      return {};
    }

    if (message->storage == 1) {
      std::int32_t index = 0;
      std::memcpy(&index, message->data, sizeof(index));
      std::optional<ChunkBlock> block;
      if (!ValidChunkIndex(index)) {
        Print(stderr, "[find_storage] id is invalid: id = %ld, size = %zd\n",
              static_cast<long>(index), static_cast<std::ptrdiff_t>(size));
      } else {
        block = ChunkRegistry::Instance().Block(ChunkSizeFor(size), false);
      }
      // A block whose free list was never built was not made by a sender: the
      // sender's block died with it, and this one holds no message.
      if (block && block->initialised() && block->Message(index) != nullptr) {
        return ReceiveBuffer(*block, index, static_cast<std::size_t>(size), receiver_bit_,
                             queue.cc.load());
      }
      Print(stdout, "fail: shm::handle for large message. msg_id: %zd, buf_id: %zd, size: %zd\n",
            static_cast<std::ptrdiff_t>(message->id), static_cast<std::ptrdiff_t>(index),
            static_cast<std::ptrdiff_t>(size));
      continue;
    }

    const auto entry = cache.find(message->id);
    if (entry == cache.end()) {
      if (size <= static_cast<std::int64_t>(kFragmentSize)) {
        auto bytes = std::make_unique<std::uint8_t[]>(size);
        std::memcpy(bytes.get(), message->data, size);
        return ReceiveBuffer(std::move(bytes), size);
      }
      if (cache.size() > kCachePurgeThreshold) {
        std::erase_if(cache, [&](const auto& item) {
          return IdDistance(item.first, message->id) > kCacheIdDistance;
        });
      }
      // The size comes from another process; one that cannot be had is
      // dropped, not allowed to end this one.
      std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
      if (!bytes) {
        Print(stderr, "fail: recv, r_size = %d\n", static_cast<int>(size));
        continue;
      }
      std::memcpy(bytes.get(), message->data, kFragmentSize);
      cache.emplace(message->id, PartialMessage{std::move(bytes), static_cast<std::size_t>(size),
                                                kFragmentSize});
      continue;
    }
    PartialMessage& partial = entry->second;
    const std::size_t room = partial.size - partial.filled;
    const bool last = message->remain < 1;
    const std::size_t copied =
        std::min<std::size_t>(last ? static_cast<std::size_t>(size) : kFragmentSize, room);
    std::memcpy(partial.bytes.get() + partial.filled, message->data, copied);
    partial.filled += copied;
    if (!last) continue;
    ReceiveBuffer complete(std::move(partial.bytes), partial.size);
    cache.erase(entry);
    return complete;
  }
}

bool WaitForSentChunksReleased(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (Backoff backoff;; backoff.Pause()) {
    if (SentChunks::Instance().Settle()) return true;
    if (GetTickCount64() >= deadline) return false;
  }
}

}  // namespace shm
