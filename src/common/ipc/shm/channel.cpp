#include "ipc/shm/channel.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "ipc/shm/chunk_registry.h"
#include "ipc/shm/connection_id.h"
#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "ipc/shm/receive_cache.h"
#include "ipc/shm/waiter.h"

namespace shm {
namespace {

constexpr int kPopTriesBeforeWaiting = 32;
// A receiver that found nothing keeps looking (yielding) this long before it
// sleeps: a sleeping receiver costs the next send the condition's lock and
// post, and itself the whole wait; a sender's next message is rarely further
// off than this.
constexpr std::int64_t kPopSpinUs = 500;
constexpr int kPushTriesBeforeWaiting = 32;
constexpr DWORD kReceiveWaitMs = 2000;
// A sender writes its slot within microseconds of claiming it. A slot still
// unwritten this long after the one behind it was written belongs to a
// sender that died; its receivers connect afresh.
constexpr ULONGLONG kStalledSlotMs = 1000;
// A message in fragments wakes sleeping receivers after this many fragments
// (an eighth of the ring, so they drain long before it fills) and after its
// last one, rather than after each.
constexpr std::size_t kFragmentsPerWake = 32;

constexpr char kCutOff[] = "was cut off";

// How long a sender at a full ring yields to its receivers before it cuts
// the slow ones off: long enough for a receiver that lost its processor to
// get it back, short enough that a hung one costs a send little.
constexpr std::int64_t kFullRingGraceUs = 2000;

std::string RingBlockName(std::string_view channel) {
  return fmt::format("__QU_CONN__{}__{}__{}", kFragmentSize, kRingNameAlignment, channel);
}

}  // namespace

std::optional<int> ConnectedReceivers(std::string_view name, bool global) {
  handle block;
  if (!block.open_existing(RingBlockName(name), global) || block.size() < sizeof(Ring) ||
      block.get_mem() == nullptr) {
    return std::nullopt;
  }
  return std::popcount(static_cast<const Ring*>(block.mem())->cc.load());
}

std::unique_ptr<Channel> Channel::Open(std::string_view name, bool global) {
  return std::unique_ptr<Channel>(new Channel(name, global));
}

Channel::Channel(std::string_view name, bool global)
    : name_(name),
      conn_id_(TakeConnectionId(global)),
      connection_waiter_(std::make_unique<Waiter>("__CC_CONN__" + name_, global)),
      writer_waiter_(std::make_unique<Waiter>("__WT_CONN__" + name_, global)),
      reader_waiter_(std::make_unique<Waiter>("__RD_CONN__" + name_, global)),
      receive_cache_(std::make_unique<ReceiveCache>()) {
  message_counter_.acquire("__AC_CONN__" + name_, sizeof(std::uint32_t), global);
  if (ring_block_.acquire(RingBlockName(name_), sizeof(Ring), global) &&
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
    stalled_since_ = 0;
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
  if (released) receive_cache_->clear();
}

void Channel::cancel_recv() { reader_waiter_->Quit(); }

bool Channel::send(const void* data, std::size_t size, unsigned limit_ms) {
  // The slot describes the rest of a message in 32 signed bits.
  if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
    Print(stderr, text::kSendArguments, data, static_cast<std::ptrdiff_t>(size));
    return false;
  }
  if (ring() == nullptr) {
    Print(stderr, text::kSendNoRing);
    return false;
  }
  if (ring()->cc.load() == 0) {
    Print(stderr, text::kSendNoReceiver);
    return false;
  }
  auto* counter = static_cast<std::atomic<std::uint32_t>*>(message_counter_.mem());
  if (counter == nullptr) {
    Print(stderr, text::kSendNoMessageCounter);
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
  std::optional<ChunkBlock> block = ChunkBlockOfSize(ChunkSizeFor(size), true);
  if (!block) return std::nullopt;
  const std::uint32_t readers = ring()->cc.load();
  const std::optional<std::int32_t> index = block->Take(readers);
  if (!index) return std::nullopt;
  std::memcpy(block->Message(*index), data, size);
  const Fragment fragment{conn_id_,       id,      static_cast<std::int32_t>(size - kFragmentSize),
                          kStoredInChunk, &*index, sizeof(*index)};
  if (!Push(fragment, limit_ms, true)) {
    // Placed nowhere, so nobody will read it.
    block->Release(*index, readers, 0);
    return false;
  }
  RememberSentChunk(*block, *index, readers);
  return true;
}

bool Channel::SendFragments(const std::uint8_t* data, std::size_t size, std::uint32_t id,
                            unsigned limit_ms) {
  const std::size_t fragments = (size + kFragmentSize - 1) / kFragmentSize;
  for (std::size_t i = 0; i < fragments; ++i) {
    const std::size_t offset = i * kFragmentSize;
    const Fragment fragment{
        conn_id_,
        id,
        static_cast<std::int32_t>(size - offset) - static_cast<std::int32_t>(kFragmentSize),
        kStoredInSlots,
        data + offset,
        std::min(kFragmentSize, size - offset)};
    const bool wake = i + 1 == fragments || (i + 1) % kFragmentsPerWake == 0;
    if (!Push(fragment, limit_ms, wake)) {
      reader_waiter_->Broadcast();  // for the fragments already placed
      return false;
    }
  }
  return true;
}

bool Channel::Push(const Fragment& fragment, unsigned limit_ms, bool wake_receivers) {
  Ring* queue = ring();
  if (queue == nullptr) return false;
  PushResult result = TryNormalPush(*queue, fragment);
  if (result == PushResult::kFull) {
    // Before a receiver is cut off it gets a chance to read, even with limit
    // 0: it is woken, and this sender yields its processor for a short while.
    reader_waiter_->Broadcast();
    const Stopwatch grace;
    for (int tries = 0; result == PushResult::kFull && (tries < kPushTriesBeforeWaiting ||
                                                        grace.Microseconds() < kFullRingGraceUs);
         ++tries) {
      Count(Counted::kYield);
      SwitchToThread();
      result = TryNormalPush(*queue, fragment);
    }
    if (result == PushResult::kFull && limit_ms > 0) {
      writer_waiter_->WaitWhile(
          [&] { return (result = TryNormalPush(*queue, fragment)) == PushResult::kFull; },
          limit_ms);
    }
  }
  bool pushed = result == PushResult::kPushed;
  if (!pushed) {
    Count(Counted::kForcedPush);
    Print(stdout, text::kForcePushMessage, static_cast<std::ptrdiff_t>(fragment.id),
          fragment.remain, static_cast<std::ptrdiff_t>(fragment.size));
    const ForcedPushResult forced = ForcedPush(*queue, fragment);
    if (forced.old_chunk_message) FreeOverwrittenChunk(*forced.old_chunk_message);
    pushed = forced.pushed;
    // Receivers it cut off notice at once, and so does a sender that waits
    // for room at the slot this one took.
    wake_receivers = true;
    writer_waiter_->Broadcast();
  }
  if (wake_receivers) reader_waiter_->Broadcast();
  return pushed;
}

// The overwritten message is gone for the receivers that had not read it;
// the chunk goes back to the pool once no reader holds it any more.
void Channel::FreeOverwrittenChunk(const Overwritten& old) {
  const std::int64_t size = static_cast<std::int64_t>(old.remain) + kFragmentSize;
  if (size < 1) {
    Print(stderr, text::kClearMessageSize, static_cast<int>(size));
    return;
  }
  if (!ValidChunkIndex(old.chunk_index)) {
    Print(stderr, text::kReleaseStorageId, static_cast<long>(old.chunk_index),
          static_cast<std::ptrdiff_t>(size));
    return;
  }
  if (auto block = ChunkBlockOfSize(ChunkSizeFor(size), false)) {
    block->Release(old.chunk_index, old.unread_by, ~0u);
  }
}

ReceiveBuffer Channel::recv() {
  if (receiver_bit_ == 0 || ring() == nullptr) return {};
  Ring& queue = *ring();
  for (;;) {
    const std::optional<SlotMessage> message = NextSlot(queue);
    if (!message) return {};
    if (message_counter_.mem() != nullptr && message->conn_id == conn_id_) continue;
    const std::int64_t size = static_cast<std::int64_t>(message->remain) + kFragmentSize;
    if (size < 1) {
      Print(stderr, text::kReceiveSize, static_cast<int>(size));
      return {};
    }
    ReceiveBuffer buffer = message->storage == kStoredInChunk
                               ? ChunkMessage(*message, static_cast<std::size_t>(size))
                               : receive_cache_->Add(*message, static_cast<std::size_t>(size));
    if (!buffer.empty()) return buffer;
  }
}

std::optional<SlotMessage> Channel::NextSlot(Ring& queue) {
  // Cut off by a forced push: what this receiver has not read stays readable
  // until overwritten, but every send fails for want of a receiver (or skips
  // this one) until it holds a bit again.
  if ((queue.cc.load() & receiver_bit_) == 0) Reconnect(queue, kCutOff);
  std::optional<SlotMessage> message;
  const auto pop = [&] {
    message = Pop(queue, read_cursor_, receiver_bit_);
    return message.has_value();
  };
  bool popped = pop();
  const Stopwatch spin;
  for (int tries = 0;
       !popped && (tries < kPopTriesBeforeWaiting || spin.Microseconds() < kPopSpinUs); ++tries) {
    Count(Counted::kYield);
    SwitchToThread();
    popped = pop();
  }
  if (!popped) {
    const char* lost = nullptr;
    reader_waiter_->WaitWhile([&] { return !pop() && (lost = LostPlace(queue)) == nullptr; },
                              kReceiveWaitMs);
    // Told to quit, or the wait ran out: nothing arrived.
    if (!message) {
      if (lost == nullptr) lost = LostPlace(queue);
      if (lost != nullptr && !Reconnect(queue, lost)) {
        // Every bit is taken: wait as long as an idle receiver would, not spin.
        reader_waiter_->WaitWhile([&] { return !pop(); }, kReceiveWaitMs);
      }
      return std::nullopt;
    }
  }
  // Waiting senders need to hear only of the read that freed their slot.
  if (FreedForWaitingSender(queue, read_cursor_ - 1)) writer_waiter_->Broadcast();
  return message;
}

ReceiveBuffer Channel::ChunkMessage(const SlotMessage& message, std::size_t size) {
  std::int32_t index = 0;
  std::memcpy(&index, message.data, sizeof(index));
  std::optional<ChunkBlock> block;
  if (!ValidChunkIndex(index)) {
    Print(stderr, text::kFindStorageId, static_cast<long>(index),
          static_cast<std::ptrdiff_t>(size));
  } else {
    block = ChunkBlockOfSize(ChunkSizeFor(size), false);
  }
  // A block whose free list was never built was not made by a sender: the
  // sender's block died with it, and this one holds no message.
  if (block && block->initialised() && block->Message(index) != nullptr) {
    return ReceiveBuffer(*block, index, size, receiver_bit_, ring()->cc.load());
  }
  Print(stdout, text::kChunkMissing, static_cast<std::ptrdiff_t>(message.id),
        static_cast<std::ptrdiff_t>(index), static_cast<std::ptrdiff_t>(size));
  return {};
}

const char* Channel::LostPlace(const Ring& queue) {
  // A forced push took the bit away (a newcomer may hold it by now).
  if ((queue.cc.load() & receiver_bit_) == 0) return kCutOff;
  if (Overtaken(queue, read_cursor_)) return "was overtaken by the writers";
  if (ReadWithout(queue, read_cursor_)) return "missed a slot read by all others";
  if (!LaterSlotCommitted(queue, read_cursor_)) return nullptr;
  const ULONGLONG now = GetTickCount64();
  if (stalled_since_ == 0 || stalled_cursor_ != read_cursor_) {
    stalled_since_ = now;
    stalled_cursor_ = read_cursor_;
    return nullptr;
  }
  return now - stalled_since_ >= kStalledSlotMs ? "waited too long for a slot never written"
                                                : nullptr;
}

bool Channel::Reconnect(Ring& queue, const char* reason) {
  const std::uint32_t old_bit = receiver_bit_;
  const std::uint32_t old_cursor = read_cursor_;
  // The old bit is ours to give back only while the slot we waited at still
  // names it; after a cut-off it may belong to a newcomer. Decided before a
  // new bit is taken, which may be the same one.
  const bool old_bit_ours =
      (queue.cc.load() & old_bit) != 0 && AbandonSlot(queue, old_cursor, old_bit);
  const std::uint32_t bit = ConnectReceiver(queue);
  Print(stderr, text::kReceiverReconnects, old_bit, reason, old_cursor, bit);
  if (bit == 0) return false;
  Count(Counted::kReceiverReconnect);
  receiver_bit_ = bit;
  // A receiver cut off reads on where it was, as long as the slots there
  // are not overwritten; one that lost its place starts afresh.
  if (reason != kCutOff) {
    read_cursor_ = static_cast<std::uint32_t>(queue.write_cursor.load());
    receive_cache_->clear();
  }
  stalled_since_ = 0;
  if (old_bit_ours) {
    DisconnectReceiver(queue, old_bit);
    // The slots that waited for the old bit are free now.
    writer_waiter_->Broadcast();
  }
  connection_waiter_->Broadcast();
  return true;
}

}  // namespace shm
