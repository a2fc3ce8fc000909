#include "ipc/shm/ring.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "ipc/shm/spin.h"

namespace shm {
namespace {

constexpr std::uint64_t kEpochStep = 1ull << 56;
// A slot that another sender has claimed but not yet counted (write cursor
// not moved), or that its last reader has not yet marked read, settles within
// a few instructions of its owner: spins, then yields for an owner that lost
// its processor, and no more. An owner that died must not stall a send.
constexpr int kSettleSpins = 16;
constexpr int kSettleTries = kSettleSpins + 48;

void SettlePause(int tries) {
  if (tries < kSettleSpins) {
    _mm_pause();
  } else {
    Count(Counted::kYield);
    YieldThread();
  }
}

std::uint32_t Low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

// The slot may be claimed at write cursor `cursor`: read by all one lap ago,
// or never written.
bool FreeFor(std::uint64_t mark, std::uint64_t cursor) {
  return mark == 0 || Low32(mark) == Low32(cursor);
}

// The slot holds the message written for receive cursor `cursor`.
bool WrittenFor(std::uint64_t mark, std::uint32_t cursor) {
  return mark != 0 && Low32(mark) == ~cursor;
}

std::uint64_t WrittenMark(std::uint64_t cursor) { return ~cursor; }
// The write cursor value that claims the slot next, one lap later.
std::uint64_t ReadByAllMark(std::uint64_t written_cursor) { return written_cursor + kRingSlots; }

std::uint32_t Receivers(std::uint64_t read_state) { return static_cast<std::uint32_t>(read_state); }
std::uint64_t Counter(std::uint64_t read_state) { return (read_state >> 32) & 0xFFFFFF; }
std::uint8_t EpochByte(std::uint64_t value) { return static_cast<std::uint8_t>(value >> 56); }

std::uint64_t ReadState(std::uint64_t counter, std::uint8_t epoch_byte, std::uint32_t receivers) {
  return ((counter & 0xFFFFFF) << 32) | (static_cast<std::uint64_t>(epoch_byte) << 56) | receivers;
}

// The next read_state of a slot: counter advanced, epoch byte and receivers given.
std::uint64_t NextReadState(std::uint64_t previous, std::uint8_t epoch_byte,
                            std::uint32_t receivers) {
  return ReadState(Counter(previous) + 1, epoch_byte, receivers);
}

void WriteSlot(Slot& slot, std::uint64_t cursor, const Fragment& fragment) {
  slot.conn_id = fragment.conn_id;
  slot.id = fragment.id;
  slot.remain = fragment.remain;
  slot.storage = fragment.storage;
  std::memset(slot.zero, 0, sizeof(slot.zero));
  std::memset(slot.data, 0, sizeof(slot.data));
  std::memcpy(slot.data, fragment.data, std::min(fragment.size, kFragmentSize));
  slot.commit_mark.store(WrittenMark(cursor));
}

}  // namespace

void ConstructRing(Ring& ring) {
  if (ring.constructed.load() != 0) return;
  // A holder that died here left the flag clear (do it again) or set (done):
  // nothing to repair after a takeover.
  SpinLock lock(ring.construct_lock);
  if (ring.constructed.load() == 0) {
    ring.cc.store(0);
    ring.constructed.store(1);
  }
}

std::uint32_t ConnectReceiver(Ring& ring) {
  std::uint32_t mask = ring.cc.load();
  for (Backoff backoff;; backoff.Pause()) {
    if (mask == 0xFFFFFFFFu) return 0;
    const std::uint32_t next = mask | (mask + 1);
    if (ring.cc.compare_exchange_weak(mask, next)) return next ^ mask;
  }
}

void DisconnectReceiver(Ring& ring, std::uint32_t bit) { ring.cc.fetch_and(~bit); }

PushResult TryNormalPush(Ring& ring, const Fragment& fragment) {
  std::uint64_t epoch = ring.epoch.load();
  Backoff backoff;
  for (int settle_tries = 0;;) {
    const std::uint32_t cc = ring.cc.load();
    if (cc == 0) return PushResult::kNoReceiver;
    const std::uint64_t cursor = ring.write_cursor.load();
    Slot& slot = ring.slots[cursor % kRingSlots];
    std::uint64_t state = slot.read_state.load();
    const bool free_mark = FreeFor(slot.commit_mark.load(), cursor);

    bool settling = false;
    if ((Receivers(state) & cc) != 0 && EpochByte(state) == EpochByte(epoch)) {
      if (ring.write_cursor.load() != cursor) continue;  // another sender moved on
      if (!free_mark) return PushResult::kFull;
      // Claimed by another sender that has not yet moved the cursor: it looks
      // like an unread slot, but the slot still carries a free mark.
      settling = true;
    } else if (Receivers(state) == 0 && !free_mark) {
      // The last reader has not marked it read yet, or a writer is finishing it.
      settling = true;
    }
    if (settling) {
      if (settle_tries == kSettleTries) return PushResult::kUnsettled;
      SettlePause(settle_tries++);
      continue;
    }

    const std::uint64_t claimed = NextReadState(state, EpochByte(epoch), cc);
    if (slot.read_state.compare_exchange_strong(state, claimed)) {
      if (ring.epoch.load() == epoch) {
        ring.write_cursor.store(cursor + 1);
        WriteSlot(slot, cursor, fragment);
        return PushResult::kPushed;
      }
      epoch = ring.epoch.load();
      continue;
    }
    backoff.Pause();
  }
}

ForcedPushResult ForcedPush(Ring& ring, const Fragment& fragment) {
  std::uint64_t epoch = ring.epoch.fetch_add(kEpochStep) + kEpochStep;
  Backoff backoff;
  for (;;) {
    std::uint32_t cc = ring.cc.load();
    if (cc == 0) return {};
    const std::uint64_t cursor = ring.write_cursor.load();
    Slot& slot = ring.slots[cursor % kRingSlots];
    std::uint64_t state = slot.read_state.load();

    if (const std::uint32_t unread = Receivers(state) & cc; unread != 0) {
      Print(stdout, text::kForcePushCutOff, static_cast<unsigned>(backoff.count()), cc,
            Receivers(state));
      while (!ring.cc.compare_exchange_weak(cc, cc & ~Receivers(state))) {
      }
      cc &= ~Receivers(state);
      if (cc == 0) return {};
    }

    const std::uint64_t claimed = NextReadState(state, EpochByte(epoch), cc);
    if (!slot.read_state.compare_exchange_strong(state, claimed)) {
      backoff.Pause();
      continue;
    }
    if (ring.epoch.load() != epoch) {
      if (TryNormalPush(ring, fragment) == PushResult::kPushed) return {true, std::nullopt};
      epoch = ring.epoch.fetch_add(kEpochStep) + kEpochStep;
      continue;
    }

    ring.write_cursor.store(cursor + 1);
    ForcedPushResult result{true, std::nullopt};
    if (slot.storage == kStoredInChunk) {
      std::int32_t index = 0;
      std::memcpy(&index, slot.data, sizeof(index));
      result.old_chunk_message = Overwritten{slot.remain, index, Receivers(state)};
    }
    WriteSlot(slot, cursor, fragment);
    return result;
  }
}

std::optional<SlotMessage> Pop(Ring& ring, std::uint32_t& read_cursor, std::uint32_t receiver_bit) {
  Slot& slot = ring.slots[read_cursor % kRingSlots];
  const std::uint64_t mark = slot.commit_mark.load();
  if (!WrittenFor(mark, read_cursor)) return std::nullopt;
  ++read_cursor;
  SlotMessage message;
  std::memcpy(&message, &slot, sizeof(message));
  // A forced push may have taken the slot while it was copied; then the copy
  // is not the message, and the slot is no longer this receiver's to clear.
  if (slot.commit_mark.load() != mark) return std::nullopt;

  std::uint64_t state = slot.read_state.load();
  for (Backoff backoff;; backoff.Pause()) {
    const std::uint64_t cleared =
        NextReadState(state, EpochByte(state), Receivers(state) & ~receiver_bit);
    if (slot.read_state.compare_exchange_weak(state, cleared)) {
      if (Receivers(cleared) == 0) slot.commit_mark.store(ReadByAllMark(~mark));
      return message;
    }
  }
}

bool FreedForWaitingSender(const Ring& ring, std::uint32_t popped_cursor) {
  const Slot& slot = ring.slots[popped_cursor % kRingSlots];
  if ((Receivers(slot.read_state.load()) & ring.cc.load()) != 0) return false;
  return Low32(ring.write_cursor.load()) == popped_cursor + static_cast<std::uint32_t>(kRingSlots);
}

bool LaterSlotCommitted(const Ring& ring, std::uint32_t read_cursor) {
  const std::uint32_t next = read_cursor + 1;
  const std::uint64_t mark = ring.slots[next % kRingSlots].commit_mark.load();
  return WrittenFor(mark, next) || (mark != 0 && Low32(mark) == Low32(ReadByAllMark(next)));
}

bool ReadWithout(const Ring& ring, std::uint32_t read_cursor) {
  const std::uint64_t mark = ring.slots[read_cursor % kRingSlots].commit_mark.load();
  return mark != 0 && Low32(mark) == Low32(ReadByAllMark(read_cursor));
}

bool Overtaken(const Ring& ring, std::uint32_t read_cursor) {
  return Low32(ring.write_cursor.load()) - read_cursor > kRingSlots;
}

bool AbandonSlot(Ring& ring, std::uint32_t read_cursor, std::uint32_t receiver_bit) {
  Slot& slot = ring.slots[read_cursor % kRingSlots];
  std::uint64_t state = slot.read_state.load();
  for (Backoff backoff;; backoff.Pause()) {
    if ((Receivers(state) & receiver_bit) == 0) return false;
    const std::uint64_t cleared =
        NextReadState(state, EpochByte(state), Receivers(state) & ~receiver_bit);
    if (slot.read_state.compare_exchange_weak(state, cleared)) return true;
  }
}

bool ValidChunkIndex(std::int32_t index) {
  return index >= 0 && index < static_cast<std::int32_t>(kChunksPerBlock);
}

std::size_t ChunkSizeFor(std::size_t message_size) {
  // Peers name the block by this size, so the rounding is theirs exactly:
  // (n + 7) rounded down to the step, plus one step.
  constexpr std::size_t kStep = 1024;
  return (message_size + sizeof(ChunkHeader) - 1) / kStep * kStep + kStep;
}

std::size_t ChunkBlockBytes(std::size_t chunk_size) {
  return kChunksPerBlock * chunk_size + sizeof(ChunkBlockHeader);
}

ChunkBlock::ChunkBlock(void* memory, std::size_t mapped_size, std::size_t chunk_size)
    : header_(static_cast<ChunkBlockHeader*>(memory)),
      mapped_size_(mapped_size),
      chunk_size_(chunk_size) {}

bool ChunkBlock::initialised() const { return header_->initialised != 0; }

bool ChunkBlock::Contains(std::int32_t index) const {
  if (index < 0 || index >= static_cast<std::int32_t>(kChunksPerBlock)) return false;
  const std::size_t end = sizeof(ChunkBlockHeader) + (index + 1) * chunk_size_;
  return end <= mapped_size_;
}

ChunkHeader* ChunkBlock::Header(std::int32_t index) const {
  if (!Contains(index)) return nullptr;
  return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uint8_t*>(header_) +
                                        sizeof(ChunkBlockHeader) + index * chunk_size_);
}

std::uint8_t* ChunkBlock::Message(std::int32_t index) const {
  ChunkHeader* header = Header(index);
  return header == nullptr ? nullptr : reinterpret_cast<std::uint8_t*>(header + 1);
}

std::optional<std::int32_t> ChunkBlock::Take(std::uint32_t readers) {
  std::int32_t taken = -1;
  {
    SpinLock lock(header_->lock);
    if (lock.taken_over()) RepairFreeList();
    if (header_->initialised == 0) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(header_);
      if (std::all_of(bytes, bytes + offsetof(ChunkBlockHeader, initialised),
                      [](std::uint8_t b) { return b == 0; })) {
        BuildFreeList();
      }
      header_->initialised = 1;
    }
    // A head or link beyond the list's range means the list is corrupt:
    // treat the pool as exhausted rather than follow it.
    const std::uint8_t head = header_->head;
    if (head < kNoFreeChunk && header_->links[head] <= kNoFreeChunk && Contains(head)) {
      header_->head = header_->links[head];
      taken = head;
    }
  }
  if (taken < 0) return std::nullopt;
  Header(taken)->pending_readers.store(readers);
  return taken;
}

void ChunkBlock::BuildFreeList() {
  for (std::uint8_t i = 0; i < kChunksPerBlock; ++i) header_->links[i] = i + 1;
  header_->head = 0;
}

void ChunkBlock::RepairFreeList() {
  // Died building the list: no chunk was handed out yet.
  if (header_->initialised == 0) {
    BuildFreeList();
    header_->initialised = 1;
    return;
  }
  // Died taking or giving back a chunk: each is one store, so the list holds
  // together, at worst without the chunk in hand (lost to the pool). Cut it
  // at a link that leaves the range or comes back, so that no chunk can be
  // handed out twice.
  std::uint32_t seen = 0;
  for (std::uint8_t* link = &header_->head; *link != kNoFreeChunk; link = &header_->links[*link]) {
    if (*link > kNoFreeChunk || !Contains(*link) || (seen >> *link & 1) != 0) {
      *link = kNoFreeChunk;
      break;
    }
    seen |= 1u << *link;
  }
}

void ChunkBlock::PushFree(std::int32_t index) {
  SpinLock lock(header_->lock);
  if (lock.taken_over()) RepairFreeList();
  header_->links[index] = header_->head;
  header_->head = static_cast<std::uint8_t>(index);
}

void ChunkBlock::Release(std::int32_t index, std::uint32_t gone, std::uint32_t still_connected) {
  ChunkHeader* header = Header(index);
  if (header == nullptr) return;
  std::uint32_t pending = header->pending_readers.load();
  for (Backoff backoff;; backoff.Pause()) {
    // Only the change that empties the set frees the chunk: a chunk already
    // free must not enter the free list twice.
    if (pending == 0) return;
    const std::uint32_t left = pending & ~gone & still_connected;
    if (header->pending_readers.compare_exchange_weak(pending, left)) {
      if (left == 0) PushFree(index);
      return;
    }
  }
}

}  // namespace shm
