#include "ipc/shm/ring_receiver.h"

#include <cstring>
#include <new>
#include <utility>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "ipc/shm/spin.h"

namespace shm {
namespace {

// A sender writes its slot within microseconds of claiming it. A slot still
// unwritten this long after the one behind it was written belongs to a
// sender that died; its receivers connect afresh.
constexpr std::chrono::milliseconds kStalledSlot{1000};
// How long a connect waits, in all, for writes in flight in the last lap: a
// writer may itself wait 100 ms for a writer of the lap before (see ring.h).
constexpr std::int64_t kInFlightWriteUs = 500'000;

constexpr char kCutOff[] = "was cut off";
constexpr char kOvertaken[] = "was overtaken by the writers";
constexpr char kStalled[] = "waited too long for a slot never written";

}  // namespace

RingReceiver::RingReceiver(Ring& ring, const std::atomic<std::uint32_t>* message_counter,
                           std::uint32_t own_conn_id, ChunkBlocks blocks)
    : ring_(ring),
      message_counter_(message_counter),
      own_conn_id_(own_conn_id),
      blocks_(std::move(blocks)) {}

bool RingReceiver::Connect() {
  if (bit_ != 0) return true;
  for (;;) {
    // A new receiver sees only what is written after it connected. The
    // cursor is taken before the bit, so that no slot behind it is reserved
    // for it; slots claimed from there on before the bit was taken are not,
    // and are passed over.
    const auto start = static_cast<std::uint32_t>(ring_.write_cursor.load());
    const std::uint32_t mask = ring_.cc.load();
    if (mask == 0xFFFFFFFFu) return false;
    const std::uint32_t bit = ~mask & (mask + 1);
    // Given back before the bit is taken, so that no forced push finds it
    // there and cuts this receiver off. The bit was free after `start` was
    // read: a holder that comes after claims only slots from there on.
    GiveUpEarlierHolder(bit, start);
    if (TakeReceiverBit(ring_, bit)) {
      bit_ = bit;
      cursor_ = start;
      break;
    }
  }
  stalled_ = false;
  lost_reason_ = nullptr;
  // Taken after the bit: every message of this id or later is reserved for it.
  first_id_ = message_counter_ != nullptr ? std::optional<std::uint32_t>(message_counter_->load())
                                          : std::nullopt;
  cache_.Restart(first_id_);
  return true;
}

void RingReceiver::GiveUpEarlierHolder(std::uint32_t bit, std::uint32_t start) {
  // A receiver that held the bit before may have left it in slots it never
  // read (it was cut off, left, or died). They are not this one's to read,
  // and must not count against it one lap later. That includes slots whose
  // write is still in flight: a forced push sets the state of the slot it
  // took after it moved the cursor, with the connected receivers it saw,
  // and the bit comes to light only when the slot is written. So are the
  // writes of the next lap that began since `start` was read: their forced
  // push may still be deciding whom to cut off by the bits it took from the
  // slot, and must decide before this receiver holds the bit. A writer is
  // waited for within a bound; one that takes longer is stopped or dead,
  // and its slot never holds a message.
  const Stopwatch waited;
  Backoff backoff;
  const auto lap = static_cast<std::uint32_t>(kRingSlots);
  for (std::uint32_t cursor = start - lap; cursor != start; ++cursor) {
    while ((WriteInFlight(ring_, cursor) || WriteInFlight(ring_, cursor + lap)) &&
           waited.Microseconds() < kInFlightWriteUs) {
      backoff.Pause();
    }
    std::optional<SlotMessage> message;
    if (GiveUpSlot(ring_, cursor, bit, message) && message) GiveBackChunk(*message, bit);
  }
}

void RingReceiver::Disconnect() { Leave((ring_.cc.load() & bit_) == 0); }

void RingReceiver::Leave(bool cut_off) {
  if (bit_ == 0) return;
  // A receiver cut off no longer owns its bit: a newcomer may hold it by
  // now, and what this one left behind is given back by whoever takes the
  // bit next. A cut-off moves the writers more than a lap past it before it
  // frees the bit, so one that is not that far behind still holds it.
  if (!cut_off && (ring_.cc.load() & bit_) != 0) {
    const auto writers = static_cast<std::uint32_t>(ring_.write_cursor.load());
    if (writers - cursor_ <= kRingSlots) {
      GiveUpSlots(bit_, cursor_, writers);
      DisconnectReceiver(ring_, bit_);
    } else if (first_id_ && ReservedSince(ring_, cursor_, bit_, *first_id_)) {
      // Overtaken at slots never written for it (a sender died there) and
      // not cut off yet. Its reservations are given back while the bit is
      // still its own: once it is free, a newcomer's reservations may lie in
      // the same stretch. What claims leave there meanwhile, the next holder
      // of the bit gives back.
      GiveUpSlots(bit_, cursor_, cursor_ + static_cast<std::uint32_t>(kRingSlots) + 1);
      DisconnectReceiver(ring_, bit_);
    }
  }
  bit_ = 0;
  cache_.clear();
}

void RingReceiver::GiveUpSlots(std::uint32_t bit, std::uint32_t from, std::uint32_t to) {
  if (to - from > kRingSlots) from = to - static_cast<std::uint32_t>(kRingSlots);
  for (std::uint32_t cursor = from; cursor != to; ++cursor) {
    std::optional<SlotMessage> message;
    if (GiveUpSlot(ring_, cursor, bit, message) && message) GiveBackChunk(*message, bit);
  }
}

void RingReceiver::GiveBackChunk(const SlotMessage& message, std::uint32_t bit) {
  if (message.storage != kStoredInChunk) return;
  const std::int64_t size = std::int64_t{message.remain} + std::int64_t{kFragmentSize};
  std::int32_t index = 0;
  std::memcpy(&index, message.data, sizeof(index));
  if (size < 1 || !ValidChunkIndex(index)) return;
  if (auto block = blocks_(ChunkSizeFor(static_cast<std::size_t>(size)), false)) {
    block->Release(index, bit, ~0u);
  }
}

RingReceiver::Step RingReceiver::Poll(ReceiveBuffer& message) {
  if (bit_ == 0) return Step::kNothing;
  if ((ring_.cc.load() & bit_) == 0) {
    lost_reason_ = kCutOff;
    return Step::kLost;
  }
  SlotMessage slot;
  switch (Pop(ring_, cursor_, bit_, slot)) {
    case PopResult::kEmpty: return Step::kNothing;
    case PopResult::kNotReserved:
      // Every message begun after this receiver connected is written for
      // it while it holds its bit: one that is not was cut off, and its bit
      // is a newcomer's by now.
      if (first_id_ && static_cast<std::int32_t>(slot.id - *first_id_) >= 0) {
        lost_reason_ = kCutOff;
        return Step::kLost;
      }
      return Step::kPassed;
    case PopResult::kOverwritten: lost_reason_ = kOvertaken; return Step::kLost;
    case PopResult::kMessage: break;
  }
  // Ids count round in 32 bits: the first id expected follows the newest at
  // a distance that never lets ids pass it. Fragments of a message begun
  // before the connect are older, and must not move it back.
  if (first_id_ && static_cast<std::int32_t>(slot.id - *first_id_) > (1 << 30)) {
    *first_id_ = slot.id - (1u << 30);
  }
  if (message_counter_ != nullptr && slot.conn_id == own_conn_id_) {
    GiveBackChunk(slot, bit_);
    return Step::kPassed;
  }
  const std::int64_t size = std::int64_t{slot.remain} + std::int64_t{kFragmentSize};
  if (size < 1) {
    Print(stderr, text::kReceiveSize, static_cast<int>(size));
    return Step::kPassed;
  }
  if (slot.storage == kStoredInChunk) {
    message = ChunkMessage(slot, static_cast<std::size_t>(size));
    if (lost_reason_ != nullptr) return Step::kLost;
  } else {
    message = cache_.Add(slot, static_cast<std::size_t>(size));
  }
  return message.empty() ? Step::kPassed : Step::kMessage;
}

ReceiveBuffer RingReceiver::ChunkMessage(const SlotMessage& message, std::size_t size) {
  std::int32_t index = 0;
  std::memcpy(&index, message.data, sizeof(index));
  std::optional<ChunkBlock> block;
  if (!ValidChunkIndex(index)) {
    Print(stderr, text::kFindStorageId, static_cast<long>(index),
          static_cast<std::ptrdiff_t>(size));
  } else {
    block = blocks_(ChunkSizeFor(size), false);
  }
  // A block whose free list was never built was not made by a sender: the
  // sender's block died with it, and this one holds no message.
  if (!block || !block->initialised() || block->Message(index) == nullptr) {
    Print(stdout, text::kChunkMissing, static_cast<std::ptrdiff_t>(message.id),
          static_cast<std::ptrdiff_t>(index), static_cast<std::ptrdiff_t>(size));
    return {};
  }
  // Copied out and given back at once: once this receiver is cut off, the
  // other readers free the chunk without it, so a view into it would not
  // stay its message.
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
  if (!bytes) {
    Print(stderr, text::kReceiveSize, static_cast<int>(size));
    block->Release(index, bit_, ring_.cc.load());
    return {};
  }
  Fault(FaultPoint::kChunkFound);
  CopyFromShared(bytes.get(), block->Message(index), size);
  // Cut off meanwhile, the chunk may have been freed and taken for another
  // message, even one reserved for a newcomer with this receiver's old bit.
  // A cut-off moves the write cursor a lap past this receiver first; after
  // the copy that shows (CopyFromShared), and the reservation is no longer
  // its own to give back.
  if (Overtaken(ring_, cursor_)) {
    lost_reason_ = kOvertaken;
    return {};
  }
  if (!block->Release(index, bit_, ring_.cc.load())) {
    lost_reason_ = kCutOff;
    return {};
  }
  return ReceiveBuffer(std::move(bytes), size);
}

const char* RingReceiver::LostPlace() {
  // A forced push took the bit away (a newcomer may hold it by now).
  if ((ring_.cc.load() & bit_) == 0) return kCutOff;
  if (Overtaken(ring_, cursor_)) return kOvertaken;
  if (!LaterSlotCommitted(ring_, cursor_)) return nullptr;
  const auto now = std::chrono::steady_clock::now();
  if (!stalled_ || stalled_cursor_ != cursor_) {
    stalled_ = true;
    stalled_since_ = now;
    stalled_cursor_ = cursor_;
    return nullptr;
  }
  return now - stalled_since_ >= kStalledSlot ? kStalled : nullptr;
}

bool RingReceiver::Reconnect(const char* reason) {
  const std::uint32_t old_bit = bit_;
  const std::uint32_t old_cursor = cursor_;
  Leave(reason == kCutOff);
  const bool connected = Connect();
  Print(stderr, text::kReceiverReconnects, old_bit, reason, old_cursor, bit_);
  Count(Counted::kReceiverReconnect);
  return connected;
}

}  // namespace shm
