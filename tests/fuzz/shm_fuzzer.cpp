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
#include "ipc/shm/ring.h"
#include "ipc/shm/ring_receiver.h"
#include "ipc/shm/ring_sender.h"

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

// A sender that never waits: a full ring is taken by force at once.
class Immediate : public shm::SendWaits {
 public:
  shm::PushResult WaitForRoom(const std::function<shm::PushResult()>& push, std::size_t) override {
    return push();
  }
  bool WaitForRoomAhead(std::size_t) override { return false; }
  void WakeReceivers() override {}
  void WakeSleepingReceivers() override {}
  void WakeSenders() override {}
  void ChunkSent(const shm::ChunkBlock&, std::int32_t, std::uint32_t) override {}
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

  auto ring = std::make_unique<shm::Ring>();
  input.Fill(static_cast<void*>(ring.get()), sizeof(shm::Ring));
  std::vector<std::uint8_t> block_memory(block_bytes);
  input.Fill(block_memory.data(), block_bytes);
  // A spin lock left held by a process that died hangs every other one; that
  // is not what this target looks for.
  ring->construct_lock.store(0);
  reinterpret_cast<shm::ChunkBlockHeader*>(block_memory.data())->lock.store(0);
  shm::ChunkBlock block(block_memory.data(), block_bytes, chunk_size);

  // The receiver: it connects (giving up what an earlier holder of its bit
  // left), then polls what the ring holds, reassembling fragments and
  // copying chunk messages. Every byte handed on is read, so one outside the
  // shared memory is reported.
  const shm::ChunkBlocks blocks = [&](std::size_t size, bool) -> std::optional<shm::ChunkBlock> {
    if (size != chunk_size) return std::nullopt;
    return block;
  };
  {
    shm::RingReceiver receiver(*ring, nullptr, 0, blocks);
    if (receiver.Connect()) {
      for (std::size_t polls = 0; polls < 2 * shm::kRingSlots; ++polls) {
        shm::ReceiveBuffer buffer;
        const auto step = receiver.Poll(buffer);
        if (step == shm::RingReceiver::Step::kLost && !receiver.Reconnect(receiver.lost_reason())) {
          break;
        }
        if (step == shm::RingReceiver::Step::kNothing && receiver.LostPlace() == nullptr) break;
        Touch(buffer.data(), buffer.size());
      }
    }

    // A sender: one message in fragments or in a chunk, by force when the
    // ring is full, freeing the chunk of the message it overwrote.
    const std::size_t size = input.Next<std::uint16_t>() % 3000 + 1;
    std::vector<std::uint8_t> payload(size, 0x5A);
    Immediate waits;
    (void)shm::SendOnRing(*ring, blocks, waits, 1, input.Next<std::uint32_t>(), payload.data(),
                          size);
  }

  std::vector<std::int32_t> taken;
  for (std::size_t i = 0; i <= shm::kChunksPerBlock; ++i) {
    const auto index = block.Take(1);
    if (!index) break;
    Touch(block.Message(*index), chunk_size - sizeof(shm::ChunkHeader));
    taken.push_back(*index);
  }
  for (const std::int32_t index : taken) block.Release(index, 1, 0);
  return 0;
}
