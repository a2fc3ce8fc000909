#include "ipc/shm/ring_sender.h"

#include <algorithm>
#include <vector>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"

namespace shm {
namespace {

// A message in fragments looks for receivers asleep after this many
// fragments (an eighth of the ring, so they drain long before it fills), and
// wakes every receiver after its last one and whenever it finds the ring
// full, rather than after each: a wake that must also catch a receiver on
// its way into a wait costs two kernel calls even when nobody waits.
constexpr std::size_t kFragmentsPerWake = 32;

// A sender that has to wait for its receivers waits for room for this many
// slots: they then drain half a ring undisturbed.
constexpr std::size_t kRoomBatch = kRingSlots / 2;

// The overwritten message is gone for the receivers that had not read it;
// the chunk goes back to the pool once no reader holds it any more.
void FreeOverwrittenChunk(const ChunkBlocks& blocks, const Overwritten& old) {
  const std::int64_t size = std::int64_t{old.remain} + std::int64_t{kFragmentSize};
  if (size < 1) {
    Print(stderr, text::kClearMessageSize, static_cast<int>(size));
    return;
  }
  if (!ValidChunkIndex(old.chunk_index)) {
    Print(stderr, text::kReleaseStorageId, static_cast<long>(old.chunk_index),
          static_cast<std::ptrdiff_t>(size));
    return;
  }
  if (auto block = blocks(ChunkSizeFor(static_cast<std::size_t>(size)), false)) {
    block->Release(old.chunk_index, old.unread_by, ~0u);
  }
}

// How far ahead of the write cursor a sender in the middle of a message asks
// for the slots it will write: each slot's lines were last written by its
// receivers (a lap ago), and fetching them only as each push comes to them
// leaves the sender waiting on every one in turn. Two slots ahead cut a
// fragment's time between two processors by more than half; eight, by
// little.
constexpr std::uint64_t kPrefetchSlotsAhead = 2;

// A hint for writing, so the lines arrive owned instead of shared; a
// processor without the instruction takes it for no operation.
void PrefetchForWriting(const Slot& slot) {
  const auto* bytes = reinterpret_cast<const char*>(&slot);
  asm volatile("prefetchw %0" : : "m"(bytes[0]));
  asm volatile("prefetchw %0" : : "m"(bytes[sizeof(Slot) - 1]));
}

enum class Wake { kNone, kSleeping, kAll };

// `slots_wanted`: the room worth waiting for at a full ring (see WaitForRoom).
bool Push(Ring& ring, const ChunkBlocks& blocks, SendWaits& waits, const Fragment& fragment,
          std::size_t slots_wanted, Wake wake) {
  // Chunks that gone receivers held are given back whether or not the push
  // then succeeds.
  std::vector<Overwritten> old_chunks;
  const auto push = [&] {
    const PushResult pushed = TryNormalPush(ring, fragment, &old_chunks);
    for (const Overwritten& old : old_chunks) FreeOverwrittenChunk(blocks, old);
    old_chunks.clear();
    return pushed;
  };
  PushResult result = push();
  if (result == PushResult::kFull) result = waits.WaitForRoom(push, slots_wanted);
  if (result == PushResult::kPushed) {
    if (wake == Wake::kAll) waits.WakeReceivers();
    if (wake == Wake::kSleeping) waits.WakeSleepingReceivers();
    return true;
  }
  Count(Counted::kForcedPush);
  Print(stdout, text::kForcePushMessage, static_cast<std::ptrdiff_t>(fragment.id), fragment.remain,
        static_cast<std::ptrdiff_t>(fragment.size));
  const ForcedPushResult forced = ForcedPush(ring, fragment);
  if (forced.old_chunk_message) FreeOverwrittenChunk(blocks, *forced.old_chunk_message);
  // Receivers it cut off notice at once, and so does a sender that waits
  // for room at the slot this one took.
  waits.WakeSenders();
  waits.WakeReceivers();
  return forced.pushed;
}

// Nothing when no chunk can be had (the message then goes as fragments).
std::optional<bool> SendInChunk(Ring& ring, const ChunkBlocks& blocks, SendWaits& waits,
                                std::uint32_t conn_id, std::uint32_t id, const void* data,
                                std::size_t size) {
  std::optional<ChunkBlock> block = blocks(ChunkSizeFor(size), true);
  if (!block) return std::nullopt;
  const std::uint32_t readers = ring.cc.load();
  const std::optional<std::int32_t> index = block->Take(readers);
  if (!index) return std::nullopt;
  CopyToShared(block->Message(*index), data, size);
  Fault(FaultPoint::kChunkTaken);
  // Receivers that connect or leave before the slot is claimed change who
  // reads it: the push sets the pending readers to the claim's.
  const Fragment fragment{conn_id,
                          id,
                          static_cast<std::int32_t>(size - kFragmentSize),
                          kStoredInChunk,
                          &*index,
                          sizeof(*index),
                          &block->Header(*index)->pending_readers};
  if (!Push(ring, blocks, waits, fragment, 1, Wake::kAll)) {
    // Placed nowhere, so nobody will read it.
    block->Release(*index, readers, 0);
    return false;
  }
  waits.ChunkSent(*block, *index, readers);
  return true;
}

}  // namespace

bool RoomFor(const Ring& ring, std::size_t slots) {
  const std::uint32_t receivers = ring.cc.load();
  const std::uint64_t cursor = ring.write_cursor.load();
  // Receivers read in order: the last slot of the stretch is the last they free.
  const std::size_t last = std::clamp<std::size_t>(slots, 1, kRingSlots) - 1;
  const Slot& slot = ring.slots[(cursor + last) % kRingSlots];
  return (static_cast<std::uint32_t>(slot.read_state.load()) & receivers) == 0;
}

bool SendOnRing(Ring& ring, const ChunkBlocks& blocks, SendWaits& waits, std::uint32_t conn_id,
                std::uint32_t id, const void* data, std::size_t size) {
  if (size > kFragmentSize) {
    if (const std::optional<bool> sent =
            SendInChunk(ring, blocks, waits, conn_id, id, data, size)) {
      return *sent;
    }
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::size_t fragments = (size + kFragmentSize - 1) / kFragmentSize;
  // The sender stops short of a full ring while its receivers drain: at a
  // full ring each read that frees the slot it waits at costs its reader a
  // wake of the senders (kernel calls), and the two trade the ring a slot
  // at a time. Once such a wait runs out, the full ring is met as always.
  bool look_ahead = true;
  for (std::size_t i = 0; i < fragments; ++i) {
    const std::size_t left = fragments - i;
    if (look_ahead && i % kFragmentsPerWake == 0 &&
        !RoomFor(ring, std::min(left, kFragmentsPerWake) + 1)) {
      look_ahead = waits.WaitForRoomAhead(std::min(left, kRoomBatch) + 1);
    }
    const std::size_t offset = i * kFragmentSize;
    const Fragment fragment{
        conn_id,
        id,
        static_cast<std::int32_t>(size - offset) - static_cast<std::int32_t>(kFragmentSize),
        kStoredInSlots,
        bytes + offset,
        std::min(kFragmentSize, size - offset)};
    // A receiver asleep is woken by the first fragment already: its wake-up
    // then overlaps the sender's work on the rest.
    const Wake wake = i + 1 == fragments                           ? Wake::kAll
                      : i == 0 || (i + 1) % kFragmentsPerWake == 0 ? Wake::kSleeping
                                                                   : Wake::kNone;
    // Only while the slots ahead were found read: one a receiver still has
    // to read would be pulled away from it.
    if (look_ahead && left > kPrefetchSlotsAhead) {
      const std::uint64_t cursor = ring.write_cursor.load(std::memory_order_relaxed);
      PrefetchForWriting(ring.slots[(cursor + kPrefetchSlotsAhead) % kRingSlots]);
    }
    if (!Push(ring, blocks, waits, fragment, std::min(left, kRoomBatch), wake)) {
      waits.WakeReceivers();  // for the fragments already placed
      return false;
    }
  }
  return true;
}

}  // namespace shm
