// A ring and a chunk block as another process may have left them: every byte
// comes from the input. A receiver pops what the ring holds, reassembles
// fragments and follows chunk references, a sender pushes (by force too) and
// frees what it overwrote, and the pool hands out and takes back chunks.
// Nothing read from the shared bytes may lead outside them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ipc/shm/receive_buffer.h"
#include "ipc/shm/receive_cache.h"
#include "ipc/shm/ring.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Up to n bytes into `out` (the rest zero).
  void Fill(void* out, std::size_t n) {
    const std::size_t taken = std::min(n, size_);
    std::memset(out, 0, n);
    std::memcpy(out, data_, taken);
    data_ += taken;
    size_ -= taken;
  }
  template <typename T>
  T Next() {
    T value{};
    Fill(&value, sizeof(value));
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

void Touch(const std::uint8_t* bytes, std::size_t n) {
  volatile std::uint8_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + bytes[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::size_t chunk_size = shm::ChunkSizeFor(input.Next<std::uint16_t>() % 8192);
  // A block mapped shorter than its 32 chunks, as a peer of another size may
  // have created it.
  const std::size_t block_bytes =
      shm::ChunkBlockBytes(chunk_size) - input.Next<std::uint8_t>() % 4 * chunk_size;
  std::uint32_t read_cursor = input.Next<std::uint32_t>();

  auto ring = std::make_unique<shm::Ring>();
  input.Fill(static_cast<void*>(ring.get()), sizeof(shm::Ring));
  std::vector<std::uint8_t> block_memory(block_bytes);
  input.Fill(block_memory.data(), block_bytes);
  // A spin lock left held by a process that died hangs every other one; that
  // is not what this target looks for.
  ring->construct_lock.store(0);
  reinterpret_cast<shm::ChunkBlockHeader*>(block_memory.data())->lock.store(0);
  shm::ChunkBlock block(block_memory.data(), block_bytes, chunk_size);

  // The receiver: each popped slot is a fragment to reassemble or a chunk
  // message to read where it lies, as the channel hands them on. Every byte
  // handed on is read, so one outside the shared memory is reported.
  const std::uint32_t bit = shm::ConnectReceiver(*ring);
  shm::ReceiveCache cache;
  std::vector<shm::ReceiveBuffer> received;
  for (std::size_t pops = 0; bit != 0 && pops < 2 * shm::kRingSlots; ++pops) {
    const auto message = shm::Pop(*ring, read_cursor, bit);
    if (!message) {
      ++read_cursor;
      continue;
    }
    const std::int64_t size = std::int64_t{message->remain} + shm::kFragmentSize;
    if (size < 1) continue;
    shm::ReceiveBuffer buffer;
    if (message->storage != shm::kStoredInChunk) {
      buffer = cache.Add(*message, static_cast<std::size_t>(size));
    } else if (shm::ChunkSizeFor(static_cast<std::size_t>(size)) == chunk_size) {
      std::int32_t index = 0;
      std::memcpy(&index, message->data, sizeof(index));
      if (shm::ValidChunkIndex(index) && block.initialised() && block.Message(index) != nullptr) {
        buffer =
            shm::ReceiveBuffer(block, index, static_cast<std::size_t>(size), bit, ring->cc.load());
      }
    }
    if (buffer.empty()) continue;
    Touch(buffer.data(), buffer.size());
    // Some are kept, so chunks are handed back after later pops and pushes.
    if (received.size() < 4) received.push_back(std::move(buffer));
  }

  // The sender: a normal push, then a forced one that frees the chunk of the
  // message it overwrote.
  const std::uint8_t payload[shm::kFragmentSize] = {1, 2, 3};
  const shm::Fragment fragment{
      1, 2, -static_cast<std::int32_t>(shm::kFragmentSize) + 3, shm::kStoredInSlots, payload, 3};
  shm::TryNormalPush(*ring, fragment);
  const shm::ForcedPushResult forced = shm::ForcedPush(*ring, fragment);
  if (forced.old_chunk_message && shm::ValidChunkIndex(forced.old_chunk_message->chunk_index)) {
    block.Release(forced.old_chunk_message->chunk_index, forced.old_chunk_message->unread_by,
                  ring->cc.load());
  }
  received.clear();

  std::vector<std::int32_t> taken;
  for (std::size_t i = 0; i <= shm::kChunksPerBlock; ++i) {
    const auto index = block.Take(1);
    if (!index) break;
    Touch(block.Message(*index), chunk_size - sizeof(shm::ChunkHeader));
    taken.push_back(*index);
  }
  for (const std::int32_t index : taken) block.Release(index, 1, 0);
  if (bit != 0) shm::DisconnectReceiver(*ring, bit);
  return 0;
}
