#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "ipc/shm/spin.h"

// The broadcast ring and the chunk blocks of a channel, as they lie in shared
// memory, and the algorithms that work on them. Every process of the product
// maps the same bytes: the layouts, offsets and bit meanings are fixed.
namespace shm {

inline constexpr std::size_t kFragmentSize = 64;
inline constexpr std::size_t kRingSlots = 256;
inline constexpr std::size_t kMaxReceivers = 32;
inline constexpr std::size_t kChunksPerBlock = 32;
inline constexpr std::uint8_t kNoFreeChunk = 32;

struct Slot {
  std::uint32_t conn_id;  // the sending channel object
  std::uint32_t id;       // message id
  std::int32_t remain;    // message bytes from this fragment's start to the end, minus 64
  std::uint8_t storage;   // 1: the message lies in a chunk, data holds its index
  std::uint8_t zero[3];
  std::uint8_t data[kFragmentSize];
  // Bits 0-31 receivers still to read, 32-55 modification counter, 56-63
  // the epoch byte when written.
  std::atomic<std::uint64_t> read_state;
  // ~cursor once written for that cursor; cursor + 256 once read by all; 0
  // when never written.
  std::atomic<std::uint64_t> commit_mark;
};

// The 80 bytes of a slot that a receiver copies.
struct SlotMessage {
  std::uint32_t conn_id;
  std::uint32_t id;
  std::int32_t remain;
  std::uint8_t storage;
  std::uint8_t zero[3];
  std::uint8_t data[kFragmentSize];
};

struct Ring {
  std::atomic<std::uint32_t> cc;  // connected receivers, one bit each
  std::atomic<std::uint32_t> construct_lock;
  std::atomic<std::uint8_t> constructed;
  std::uint8_t reserved0[55];
  std::atomic<std::uint64_t> write_cursor;  // slots ever claimed
  std::uint8_t reserved1[56];
  std::atomic<std::uint64_t> epoch;  // only the top byte counts
  std::uint8_t reserved2[56];
  Slot slots[kRingSlots];
  std::uint8_t reserved3[64];
};

struct ChunkBlockHeader {
  std::uint8_t links[kChunksPerBlock];  // free list: chunk that follows chunk i
  std::uint8_t head;                    // first free chunk; 32 when none
  std::uint8_t initialised;
  std::uint8_t reserved[2];
  std::atomic<std::uint32_t> lock;
};

struct ChunkHeader {
  std::atomic<std::uint32_t> pending_readers;
  std::uint32_t reserved;
};

static_assert(sizeof(std::atomic<std::uint64_t>) == 8 && std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 && std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(offsetof(Slot, conn_id) == 0 && offsetof(Slot, id) == 4);
static_assert(offsetof(Slot, remain) == 8 && offsetof(Slot, storage) == 12);
static_assert(offsetof(Slot, data) == 16 && offsetof(Slot, read_state) == 80);
static_assert(offsetof(Slot, commit_mark) == 88 && sizeof(Slot) == 96);
static_assert(sizeof(SlotMessage) == 80 && offsetof(SlotMessage, data) == offsetof(Slot, data));
static_assert(offsetof(Ring, cc) == 0 && offsetof(Ring, construct_lock) == 4);
static_assert(offsetof(Ring, constructed) == 8 && offsetof(Ring, write_cursor) == 64);
static_assert(offsetof(Ring, epoch) == 128 && offsetof(Ring, slots) == 192);
static_assert(sizeof(Ring) == 24832);
static_assert(offsetof(ChunkBlockHeader, head) == 32 && offsetof(ChunkBlockHeader, initialised) == 33);
static_assert(offsetof(ChunkBlockHeader, lock) == 36 && sizeof(ChunkBlockHeader) == 40);
static_assert(sizeof(ChunkHeader) == 8);

// Zeroes the connection mask once per ring's life, under the ring's own spin
// lock (which it must not zero while holding it).
void ConstructRing(Ring& ring);

// Takes the lowest free receiver bit; 0 when all 32 are taken.
std::uint32_t ConnectReceiver(Ring& ring);
void DisconnectReceiver(Ring& ring, std::uint32_t bit);

// What a push writes into the slot it claimed.
struct Fragment {
  std::uint32_t conn_id;
  std::uint32_t id;
  std::int32_t remain;
  std::uint8_t storage;
  const void* data;  // up to 64 bytes
  std::size_t size;
};

enum class PushResult { kPushed, kNoReceiver, kFull };

// Claims the slot at the write cursor without a lock, unless a receiver has
// not read it yet.
PushResult TryNormalPush(Ring& ring, const Fragment& fragment);

// What a forced push found in the slot it overwrote, so the caller can free
// the chunk that the old message held.
struct Overwritten {
  std::int32_t remain;
  std::int32_t chunk_index;
  std::uint32_t unread_by;  // receivers that had not read it, and now never will
};

struct ForcedPushResult {
  bool pushed = false;
  std::optional<Overwritten> old_chunk_message;
};

// Takes the oldest slot even when unread: the receivers that had not read it
// are removed from the connection mask. Prints the force_push texts.
ForcedPushResult ForcedPush(Ring& ring, const Fragment& fragment);

// Copies the slot at the cursor when it was written for that cursor, clears
// the receiver's bit and advances the cursor.
std::optional<SlotMessage> Pop(Ring& ring, std::uint32_t& read_cursor, std::uint32_t receiver_bit);

// Chunk size for a message of n bytes: room for the chunk header and n bytes,
// in steps of 1024.
std::size_t ChunkSizeFor(std::size_t message_size);
// Bytes of the block holding 32 chunks of that size.
std::size_t ChunkBlockBytes(std::size_t chunk_size);

// A mapped chunk block of one chunk size. Every index and link read from it
// is checked before use, and every chunk against the mapped size.
class ChunkBlock {
 public:
  ChunkBlock(void* memory, std::size_t mapped_size, std::size_t chunk_size);

  bool initialised() const;
  // Takes a free chunk for the receivers in `readers`; nothing when none is
  // free (or the free list is corrupt).
  std::optional<std::int32_t> Take(std::uint32_t readers);
  // The message bytes of a chunk; null for an index outside the block.
  std::uint8_t* Message(std::int32_t index) const;
  ChunkHeader* Header(std::int32_t index) const;
  // Clears `gone` from the chunk's pending readers (and keeps only
  // `still_connected`); the one call that empties the set returns the chunk
  // to the free list.
  void Release(std::int32_t index, std::uint32_t gone, std::uint32_t still_connected);

 private:
  bool Contains(std::int32_t index) const;
  void PushFree(std::int32_t index);

  ChunkBlockHeader* header_;
  std::size_t mapped_size_;
  std::size_t chunk_size_;
};

}  // namespace shm
