#include "ipc/shm/ring.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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
constexpr std::size_t kMessageWords = sizeof(SlotMessage) / sizeof(std::uint64_t);
// A write of an earlier lap still in flight finishes within microseconds
// unless its sender lost its processor; one that takes this long is taken
// for dead and its slot taken over (see "Writing" in ring.h).
constexpr std::int64_t kInFlightWriteUs = 100'000;
// Bit 31 of a written mark, flipped while the slot is being written.
constexpr std::uint64_t kWritingBit = 1ull << 31;
static_assert(sizeof(SlotMessage) % sizeof(std::uint64_t) == 0 && alignof(Slot) >= 8);

#ifdef KESTOVA_SHM_FAULTS
std::atomic<FaultHook> g_fault_hook{nullptr};
#endif

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
std::uint64_t WritingMark(std::uint64_t cursor) { return ~cursor ^ kWritingBit; }
// The write cursor value that claims the slot next, one lap later.
std::uint64_t ReadByAllMark(std::uint64_t written_cursor) { return written_cursor + kRingSlots; }

// The message written for `cursor` was read by all its receivers.
bool ReadByAllFor(std::uint64_t mark, std::uint32_t cursor) {
  return mark != 0 && Low32(mark) == Low32(ReadByAllMark(cursor));
}

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

// The 80 message bytes of a slot are read while a writer of the next lap may
// already write them (a reader that was overtaken): word by word, so that
// such a copy is only stale, never undefined, and checked afterwards (see
// Intact).
void CopyOut(Slot& slot, SlotMessage& message) {
  std::uint64_t words[kMessageWords];
  auto* source = reinterpret_cast<std::uint64_t*>(&slot);
  for (std::size_t i = 0; i < kMessageWords; ++i) {
    words[i] = std::atomic_ref<std::uint64_t>(source[i]).load(std::memory_order_relaxed);
  }
  std::memcpy(&message, words, sizeof(message));
  std::atomic_thread_fence(std::memory_order_acquire);
}

// Which write a mark of the slot of `cursor` belongs to, counted in cursor
// values from `cursor` (negative: an earlier lap), and whether that write is
// still in progress.
struct MarkOwner {
  std::int32_t distance;
  bool writing;
};

MarkOwner OwnerOf(std::uint64_t mark, std::uint64_t cursor) {
  const std::uint32_t here = Low32(cursor);
  if (mark == 0) return {std::numeric_limits<std::int32_t>::min(), false};
  const std::uint32_t low = Low32(mark);
  // A read mark ends in the slot's own index, the others in 255 minus it.
  if ((low & 0xFF) == (here & 0xFF)) {
    return {static_cast<std::int32_t>(low - static_cast<std::uint32_t>(kRingSlots) - here), false};
  }
  // Written and writing marks differ in bit 31 only: the owner is the one
  // near `cursor`, never 2^31 slots away.
  const auto written = static_cast<std::int32_t>(~low - here);
  const auto writing =
      static_cast<std::int32_t>(~(low ^ static_cast<std::uint32_t>(kWritingBit)) - here);
  const auto magnitude = [](std::int32_t d) { return d < 0 ? -static_cast<std::int64_t>(d) : d; };
  if (magnitude(writing) < magnitude(written)) return {writing, true};
  return {written, false};
}

// Makes the slot this sender's to write for `cursor`: false when a later lap
// has taken it over (this sender was held up for a lap). A write of an
// earlier lap still in flight is waited for within kInFlightWriteUs: two
// writers must never mix their bytes in one slot.
bool BeginWrite(Slot& slot, std::uint64_t cursor) {
  std::uint64_t mark = slot.commit_mark.load();
  // Started at the first wait only: every fragment passes here, and a clock
  // read costs about as much as the rest of its write.
  std::optional<Stopwatch> waited;
  for (Backoff backoff;;) {
    const MarkOwner owner = OwnerOf(mark, cursor);
    if (owner.distance >= 0) return false;
    if (owner.writing && !waited) waited.emplace();
    if (owner.writing && waited->Microseconds() < kInFlightWriteUs) {
      backoff.Pause();
      mark = slot.commit_mark.load();
      continue;
    }
    if (slot.commit_mark.compare_exchange_weak(mark, WritingMark(cursor))) return true;
  }
}

// A writer moves the write cursor past the slot's next lap before it writes
// a byte of it: while the cursor is at most one lap ahead of the copied slot,
// and the mark still says written (or, since, read by all), the copy is the
// message written for `cursor`.
bool Intact(const Ring& ring, const Slot& slot, std::uint32_t cursor) {
  const std::uint64_t mark = slot.commit_mark.load();
  return (WrittenFor(mark, cursor) || ReadByAllFor(mark, cursor)) &&
         Low32(ring.write_cursor.load()) - cursor <= kRingSlots;
}

// Writes the fragment for `cursor` and commits it; false when the slot was
// taken over before the commit, the fragment then being nobody's message.
bool WriteSlot(Slot& slot, std::uint64_t cursor, std::uint32_t receivers,
               const Fragment& fragment) {
  Fault(FaultPoint::kOwned);
  if (!BeginWrite(slot, cursor)) return false;
  Fault(FaultPoint::kWriting);
  if (fragment.chunk_readers != nullptr) fragment.chunk_readers->store(receivers);
  SlotMessage message{};
  message.conn_id = fragment.conn_id;
  message.id = fragment.id;
  message.remain = fragment.remain;
  message.storage = fragment.storage;
  std::memcpy(message.data, fragment.data, std::min(fragment.size, kFragmentSize));
  std::uint64_t words[kMessageWords];
  std::memcpy(words, &message, sizeof(message));
  // Pairs with the fence of CopyOut: a reader that saw one of these words
  // sees the write cursor that this writer moved before.
  std::atomic_thread_fence(std::memory_order_release);
  auto* target = reinterpret_cast<std::uint64_t*>(&slot);
  for (std::size_t i = 0; i < kMessageWords; ++i) {
    std::atomic_ref<std::uint64_t>(target[i]).store(words[i], std::memory_order_relaxed);
  }
  std::uint64_t writing = WritingMark(cursor);
  return slot.commit_mark.compare_exchange_strong(writing, WrittenMark(cursor));
}

// What the slot at write cursor `cursor` holds for a sender that would claim it.
enum class Previous {
  kFree,      // read by all one lap ago, or never written; bits left are a claim's
  kUnread,    // the message of the last lap, some receivers still to read it
  kAllRead,   // ... its last reader about to mark it read
  kAbandoned  // a write never finished (its sender died), or marks of no lap
};

Previous PreviousOf(std::uint64_t mark, std::uint64_t state, std::uint64_t cursor) {
  if (FreeFor(mark, cursor)) return Previous::kFree;
  if (WrittenFor(mark, Low32(cursor) - static_cast<std::uint32_t>(kRingSlots))) {
    return Receivers(state) == 0 ? Previous::kAllRead : Previous::kUnread;
  }
  return Previous::kAbandoned;
}

// The chunk the overwritten message of `slot` named, while receivers in
// `unread_by` still held it.
std::optional<Overwritten> OverwrittenChunk(Slot& slot, Previous previous,
                                            std::uint32_t unread_by) {
  if (previous != Previous::kUnread || unread_by == 0) return std::nullopt;
  SlotMessage old;
  CopyOut(slot, old);
  if (old.storage != kStoredInChunk) return std::nullopt;
  std::int32_t index = 0;
  std::memcpy(&index, old.data, sizeof(index));
  return Overwritten{old.remain, index, unread_by};
}

// Clears the bits of receivers that are gone from the last lap's message in
// `slot` (read as `mark` and `state`) and marks it read by all, as its last
// reader would; `state` becomes the cleared read state. The chunk the message
// names, if any, is theirs to give back. False when the state changed.
bool ReleaseGoneReaders(Slot& slot, std::uint64_t mark, std::uint64_t& state,
                        std::vector<Overwritten>* old_chunks) {
  // Copied while the state still shows the message: a later lap writes the
  // slot only after it changed the state.
  const std::optional<Overwritten> chunk =
      OverwrittenChunk(slot, Previous::kUnread, Receivers(state));
  const std::uint64_t cleared = NextReadState(state, EpochByte(state), 0);
  if (!slot.read_state.compare_exchange_strong(state, cleared)) return false;
  state = cleared;
  slot.commit_mark.compare_exchange_strong(mark, ReadByAllMark(~mark));
  if (chunk && old_chunks != nullptr) old_chunks->push_back(*chunk);
  return true;
}

}  // namespace

void Fault([[maybe_unused]] FaultPoint point) {
#ifdef KESTOVA_SHM_FAULTS
  if (const FaultHook hook = g_fault_hook.load(std::memory_order_relaxed)) hook(point);
#endif
}

void SetFaultHook(FaultHook hook) {
#ifdef KESTOVA_SHM_FAULTS
  g_fault_hook.store(hook);
#else
  (void)hook;
#endif
}

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

bool TakeReceiverBit(Ring& ring, std::uint32_t bit) {
  std::uint32_t mask = ring.cc.load();
  for (Backoff backoff;; backoff.Pause()) {
    if ((mask & bit) != 0) return false;
    if (ring.cc.compare_exchange_weak(mask, mask | bit)) return true;
  }
}

void DisconnectReceiver(Ring& ring, std::uint32_t bit) { ring.cc.fetch_and(~bit); }

PushResult TryNormalPush(Ring& ring, const Fragment& fragment,
                         std::vector<Overwritten>* old_chunks) {
  std::uint64_t epoch = ring.epoch.load();
  Backoff backoff;
  for (int settle_tries = 0;;) {
    const std::uint32_t cc = ring.cc.load();
    if (cc == 0) return PushResult::kNoReceiver;
    const std::uint64_t cursor = ring.write_cursor.load();
    Slot& slot = ring.slots[cursor % kRingSlots];
    std::uint64_t state = slot.read_state.load();
    const std::uint64_t mark = slot.commit_mark.load();
    const Previous previous = PreviousOf(mark, state, cursor);
    if (ring.write_cursor.load() != cursor) continue;  // another sender moved on

    if ((previous == Previous::kUnread || previous == Previous::kAbandoned) &&
        (Receivers(state) & cc) != 0) {
      // Whatever the epoch byte says: the bits of a written message are
      // readers that have not read it, not a claim. A lap-old claim whose
      // message is not written yet has readers waiting for it too; its
      // sender is slow or dead, and only a forced push may take it.
      return PushResult::kFull;
    }
    // Claimed by another sender that has not yet moved the cursor, or read
    // by all and its last reader not yet done.
    const bool settling = (previous == Previous::kFree && (Receivers(state) & cc) != 0 &&
                           EpochByte(state) == EpochByte(epoch)) ||
                          previous == Previous::kAllRead;
    if (settling) {
      if (settle_tries == kSettleTries) return PushResult::kUnsettled;
      SettlePause(settle_tries++);
      continue;
    }

    if (previous == Previous::kUnread) {
      // Only receivers that are gone still hold the last lap's message: they
      // are let go as their own last read would have, and the claim lies on
      // a free slot. A claim laid over the message itself would look to a
      // forced push like its readers that have not read it, and cut off every
      // receiver it names. Gone by the receivers read after the state: one
      // that took its bit since the first read may hold the message.
      if ((Receivers(state) & ring.cc.load()) != 0) continue;
      if (!ReleaseGoneReaders(slot, mark, state, old_chunks)) {
        backoff.Pause();
        continue;
      }
    }
    const std::uint64_t claimed = NextReadState(state, EpochByte(epoch), cc);
    if (!slot.read_state.compare_exchange_strong(state, claimed)) {
      backoff.Pause();
      continue;
    }
    Fault(FaultPoint::kClaimed);
    if (ring.epoch.load() != epoch) {
      epoch = ring.epoch.load();
      continue;
    }
    // The cursor decides between claims of one slot: one that a forced push
    // took over while this sender was held up loses here.
    std::uint64_t expected = cursor;
    if (!ring.write_cursor.compare_exchange_strong(expected, cursor + 1)) continue;
    Fault(FaultPoint::kCursorMoved);
    // A sender held up for a lap between its cursor move and its write finds
    // its slot taken by force: it must not write over the new message.
    if (slot.read_state.load() != claimed) continue;
    if (!WriteSlot(slot, cursor, cc, fragment)) continue;
    return PushResult::kPushed;
  }
}

ForcedPushResult ForcedPush(Ring& ring, const Fragment& fragment) {
  // Peers that claim a slot and then find the epoch moved claim again.
  const std::uint64_t epoch = ring.epoch.fetch_add(kEpochStep) + kEpochStep;
  ForcedPushResult result;
  Backoff backoff;
  for (;;) {
    const std::uint32_t cc = ring.cc.load();
    if (cc == 0) return result;
    std::uint64_t cursor = ring.write_cursor.load();
    Slot& slot = ring.slots[cursor % kRingSlots];
    // The slot is taken by moving the cursor past it, before its read state
    // changes: a claim that fails must not have taken any receiver's bit
    // from a message it has still to read. A sender of ours that claimed the
    // slot and has not moved the cursor yet (or died in between) loses it
    // here and claims again.
    if (!ring.write_cursor.compare_exchange_strong(cursor, cursor + 1)) {
      backoff.Pause();
      continue;
    }
    Fault(FaultPoint::kCursorMoved);
    // Receivers still clear their bits; each one that does has read it.
    std::uint64_t state = slot.read_state.load();
    Previous previous;
    std::uint32_t unread;
    std::uint32_t remaining;
    std::uint64_t claimed;
    std::uint64_t mark;
    std::uint32_t connected;
    do {
      // The mark and the receivers are read after the state. A mark that
      // still says written for the last lap did so when the state was read,
      // and the state's bits are that message's readers (claims lie on free
      // slots); one read before may since have been marked read by the last
      // reader (or by a sender letting go of readers that are gone), and the
      // bits be a claim's. A receiver that took a bit after the state was
      // read (and that the swap below finds unchanged) gave back what an
      // earlier holder of the bit left in the slot before it took the bit:
      // a bit there is not its own.
      mark = slot.commit_mark.load();
      connected = ring.cc.load();
      previous = PreviousOf(mark, state, cursor);
      // Only a written message can be unread: the bits of a claim that never
      // moved the cursor (its sender died, or lost the epoch race) are nobody's.
      unread = previous == Previous::kUnread ? Receivers(state) & connected : 0;
      remaining = connected & ~unread;
      claimed = NextReadState(state, EpochByte(epoch), remaining);
    } while (!slot.read_state.compare_exchange_weak(state, claimed));

    if (auto chunk = OverwrittenChunk(slot, previous, Receivers(state))) {
      result.old_chunk_message = chunk;
    }
    if (unread != 0) {
      // Cut off only now that the cursor moved on: a receiver that is told
      // (or whose chunk a reader frees because of it) finds itself overtaken.
      Print(stdout, text::kForcePushCutOff, static_cast<unsigned>(backoff.count()), connected,
            unread);
      ring.cc.fetch_and(~unread);
    }
    if (remaining == 0) {
      // Nobody is left to read it: the slot is free for the next lap.
      if (BeginWrite(slot, cursor)) {
        std::uint64_t writing = WritingMark(cursor);
        slot.commit_mark.compare_exchange_strong(writing, ReadByAllMark(cursor));
      }
      return result;
    }
    Fault(FaultPoint::kClaimed);
    if (slot.read_state.load() != claimed) continue;  // taken by force meanwhile
    if (!WriteSlot(slot, cursor, remaining, fragment)) continue;
    result.pushed = true;
    return result;
  }
}

PopResult Pop(Ring& ring, std::uint32_t& read_cursor, std::uint32_t receiver_bit,
              SlotMessage& message) {
  Slot& slot = ring.slots[read_cursor % kRingSlots];
  const std::uint64_t mark = slot.commit_mark.load();
  // Written and read by all without this receiver: not reserved for it.
  const bool read_by_all = ReadByAllFor(mark, read_cursor);
  if (!WrittenFor(mark, read_cursor) && !read_by_all) return PopResult::kEmpty;
  const std::uint32_t cursor = read_cursor++;
  CopyOut(slot, message);
  if (!Intact(ring, slot, cursor)) return PopResult::kOverwritten;
  if (read_by_all) return PopResult::kNotReserved;
  Fault(FaultPoint::kCopied);

  std::uint64_t state = slot.read_state.load();
  for (Backoff backoff;; backoff.Pause()) {
    // Checked after each read of the state: a receiver held up here may find
    // the next lap's state, and the bit in it a newcomer's reservation. Once
    // read by all, the slot is free for the next lap's claim: a bit there
    // is not this receiver's for this message.
    if (!Intact(ring, slot, cursor)) return PopResult::kOverwritten;
    if (!WrittenFor(slot.commit_mark.load(), cursor)) return PopResult::kNotReserved;
    // A forced push that took the slot meanwhile cut this receiver off; the
    // chunk the copy names may be free already.
    if ((Receivers(state) & receiver_bit) == 0) return PopResult::kNotReserved;
    const std::uint64_t cleared =
        NextReadState(state, EpochByte(state), Receivers(state) & ~receiver_bit);
    if (slot.read_state.compare_exchange_weak(state, cleared)) {
      if (Receivers(cleared) == 0) {
        // Unless a forced push has written the slot anew in the meantime.
        std::uint64_t written = mark;
        slot.commit_mark.compare_exchange_strong(written, ReadByAllMark(~mark));
      }
      return PopResult::kMessage;
    }
  }
}

bool GiveUpSlot(Ring& ring, std::uint32_t cursor, std::uint32_t receiver_bit,
                std::optional<SlotMessage>& message) {
  Slot& slot = ring.slots[cursor % kRingSlots];
  message.reset();
  std::uint64_t mark = 0;
  SlotMessage copy;
  std::uint64_t state = slot.read_state.load();
  for (Backoff backoff;; backoff.Pause()) {
    if ((Receivers(state) & receiver_bit) == 0) return false;
    // Once the writers claim the slot's next lap, the bit may be a claim for
    // it: this receiver's (or a newcomer's with the same bit) to read.
    // Before, the state read above belongs to this lap, and the swap below
    // succeeds only while it does. While the writers stand at the next lap,
    // a claim could be on its way, unless the slot holds a message whose
    // reader this bit is: a sender finds that slot full and does not claim,
    // and one that takes it by force changes the state first.
    if (Low32(ring.write_cursor.load()) - cursor > kRingSlots) return false;
    // A claim not yet written stays its sender's: it writes only while the
    // state is the one it claimed with.
    mark = slot.commit_mark.load();
    if (!WrittenFor(mark, cursor)) return false;
    CopyOut(slot, copy);
    const std::uint64_t cleared =
        NextReadState(state, EpochByte(state), Receivers(state) & ~receiver_bit);
    if (slot.read_state.compare_exchange_weak(state, cleared)) {
      state = cleared;
      break;
    }
  }
  message = copy;
  if (Receivers(state) == 0) {
    std::uint64_t expected = mark;
    slot.commit_mark.compare_exchange_strong(expected, ReadByAllMark(~mark));
  }
  return true;
}

bool ReservedSince(const Ring& ring, std::uint32_t read_cursor, std::uint32_t receiver_bit,
                   std::uint32_t first_id) {
  const std::uint32_t writers = Low32(ring.write_cursor.load());
  // A cut-off moves the writers past the slot it takes, and clears the
  // bit only after it took that slot's readers from it: while the writers
  // are within two laps of the cursor, that slot is still in the last lap.
  if (writers - read_cursor > 2 * kRingSlots) return false;
  std::uint32_t from = writers - static_cast<std::uint32_t>(kRingSlots);
  if (static_cast<std::int32_t>(read_cursor - from) > 0) from = read_cursor;
  for (std::uint32_t cursor = from; cursor != writers; ++cursor) {
    Slot& slot = const_cast<Slot&>(ring.slots[cursor % kRingSlots]);
    const std::uint64_t mark = slot.commit_mark.load();
    SlotMessage message;
    CopyOut(slot, message);
    const std::uint64_t state = slot.read_state.load();
    // Claimed for a later lap meanwhile: this slot tells nothing.
    if (Low32(ring.write_cursor.load()) - cursor >= kRingSlots) continue;
    if ((Receivers(state) & receiver_bit) != 0) continue;
    // Only a message claimed before the bit was taken is missing it rightly.
    const bool message_of_lap = WrittenFor(mark, cursor) || ReadByAllFor(mark, cursor);
    if (message_of_lap && slot.commit_mark.load() == mark &&
        static_cast<std::int32_t>(message.id - first_id) < 0) {
      continue;
    }
    return false;
  }
  return true;
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

bool WriteInFlight(const Ring& ring, std::uint32_t cursor) {
  const std::uint64_t writers = ring.write_cursor.load();
  const std::uint32_t behind = Low32(writers) - cursor;
  // A cursor before the ring's first was never claimed: its slot's mark is
  // still the zero of a fresh ring, which reads as an earlier lap's.
  if (static_cast<std::int32_t>(behind) <= 0 || behind > writers) return false;
  const MarkOwner owner = OwnerOf(ring.slots[cursor % kRingSlots].commit_mark.load(), cursor);
  return owner.distance < 0 || (owner.distance == 0 && owner.writing);
}

bool Overtaken(const Ring& ring, std::uint32_t read_cursor) {
  return Low32(ring.write_cursor.load()) - read_cursor > kRingSlots;
}

void CopyToShared(std::uint8_t* shared, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::atomic_thread_fence(std::memory_order_release);
  std::size_t i = 0;
  if (reinterpret_cast<std::uintptr_t>(shared) % sizeof(std::uint64_t) == 0) {
    for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof(word));
      std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(shared + i))
          .store(word, std::memory_order_relaxed);
    }
  }
  for (; i < size; ++i)
    std::atomic_ref<std::uint8_t>(shared[i]).store(bytes[i], std::memory_order_relaxed);
}

void CopyFromShared(void* out, const std::uint8_t* shared, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  auto* source = const_cast<std::uint8_t*>(shared);
  std::size_t i = 0;
  if (reinterpret_cast<std::uintptr_t>(source) % sizeof(std::uint64_t) == 0) {
    for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
      const std::uint64_t word =
          std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(source + i))
              .load(std::memory_order_relaxed);
      std::memcpy(bytes + i, &word, sizeof(word));
    }
  }
  for (; i < size; ++i)
    bytes[i] = std::atomic_ref<std::uint8_t>(source[i]).load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
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

bool ChunkBlock::Release(std::int32_t index, std::uint32_t gone, std::uint32_t still_connected) {
  ChunkHeader* header = Header(index);
  if (header == nullptr) return false;
  std::uint32_t pending = header->pending_readers.load();
  for (Backoff backoff;; backoff.Pause()) {
    // Only the change that empties the set frees the chunk: a chunk already
    // free must not enter the free list twice.
    if (pending == 0) return false;
    const std::uint32_t left = pending & ~gone & still_connected;
    if (header->pending_readers.compare_exchange_weak(pending, left)) {
      if (left == 0) PushFree(index);
      return (pending & gone) == gone;
    }
  }
}

}  // namespace shm
