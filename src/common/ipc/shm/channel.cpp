#include "ipc/shm/channel.h"

#include <fmt/format.h>

#include <immintrin.h>

#include <bit>
#include <climits>

#include "ipc/shm/chunk_registry.h"
#include "ipc/shm/connection_id.h"
#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "ipc/shm/ring_receiver.h"
#include "ipc/shm/ring_sender.h"
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

// How long a sender at a full ring yields to its receivers before it sleeps
// until one of them frees the slot: enough for one that is running.
constexpr std::int64_t kFullRingGraceUs = 2000;
// With limit 0, how long a sender at a full ring then waits for a receiver
// that was asleep to wake and read (a wake-up takes the system a few
// milliseconds, under load some tens) before it cuts the slow ones off. It
// is also what a dead or stopped receiver costs a send, once: after that it
// is cut off. Each condition wait is this long, so a send waits at most
// twice this per full ring.
constexpr DWORD kFullRingPatienceMs = 50;
// A receiver that runs reads half a ring in some tens of microseconds: a
// sender waiting ahead of a full ring spins that long before it yields, and
// keeps its processor on a busy machine. It yields for as long as a receiver
// that was asleep may take to be woken and run: at a full ring it would
// sleep, and each read would then have to wake it.
constexpr std::int64_t kRoomAheadSpinUs = 50;
constexpr std::int64_t kRoomAheadPatienceUs = 20000;

std::optional<ChunkBlock> BlockOfSize(std::size_t chunk_size, bool create) {
  return ChunkBlockOfSize(chunk_size, create);
}

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

// The channel's way of waiting for room: its named conditions, with the
// sender's limit.
class Channel::Waits : public SendWaits {
 public:
  Waits(Channel& channel, unsigned limit_ms) : channel_(channel), limit_ms_(limit_ms) {}

  PushResult WaitForRoom(const std::function<PushResult()>& push,
                         std::size_t slots_wanted) override {
    // Before a receiver is cut off it gets a chance to read, even with limit
    // 0: it is woken, and this sender yields its processor for a short while.
    channel_.reader_waiter_->Broadcast();
    PushResult result = PushResult::kFull;
    const Stopwatch grace;
    for (int tries = 0; result == PushResult::kFull && (tries < kPushTriesBeforeWaiting ||
                                                        grace.Microseconds() < kFullRingGraceUs);
         ++tries) {
      Count(Counted::kYield);
      SwitchToThread();
      if (RoomFor(*channel_.ring(), slots_wanted)) result = push();
    }
    // Room for one slot will do from here on (a receiver may be slow, or
    // its bits a dead one's).
    if (result == PushResult::kFull) result = push();
    if (result != PushResult::kFull) return result;
    if (limit_ms_ > 0) {
      channel_.writer_waiter_->WaitWhile([&] { return (result = push()) == PushResult::kFull; },
                                         limit_ms_);
      return result;
    }
    const Stopwatch patience;
    channel_.writer_waiter_->WaitWhile(
        [&] {
          return (result = push()) == PushResult::kFull &&
                 patience.Microseconds() < kFullRingPatienceMs * 1000;
        },
        kFullRingPatienceMs);
    return result;
  }
  bool WaitForRoomAhead(std::size_t slots) override {
    // Only receivers asleep are woken here, at no kernel call while there
    // are none: one on its way into a wait is caught by the wake at the end
    // of the message, or at the full ring should this wait run out.
    const Ring& ring = *channel_.ring();
    const Stopwatch waited;
    while (!RoomFor(ring, slots)) {
      const std::int64_t us = waited.Microseconds();
      if (us >= kRoomAheadPatienceUs) return false;
      channel_.reader_waiter_->WakeSleeping();
      if (us < kRoomAheadSpinUs) {
        for (int i = 0; i < 64; ++i) _mm_pause();  // a few hundred nanoseconds between looks
      } else {
        Count(Counted::kYield);
        SwitchToThread();
      }
    }
    return true;
  }
  void WakeReceivers() override { channel_.reader_waiter_->Broadcast(); }
  void WakeSleepingReceivers() override { channel_.reader_waiter_->WakeSleeping(); }
  void WakeSenders() override { channel_.writer_waiter_->Broadcast(); }
  void ChunkSent(const ChunkBlock& block, std::int32_t index, std::uint32_t readers) override {
    RememberSentChunk(block, index, readers);
  }

 private:
  Channel& channel_;
  unsigned limit_ms_;
};

std::unique_ptr<Channel> Channel::Open(std::string_view name, bool global) {
  return std::unique_ptr<Channel>(new Channel(name, global));
}

Channel::Channel(std::string_view name, bool global)
    : name_(name),
      conn_id_(TakeConnectionId(global)),
      connection_waiter_(std::make_unique<Waiter>("__CC_CONN__" + name_, global)),
      writer_waiter_(std::make_unique<Waiter>("__WT_CONN__" + name_, global)),
      reader_waiter_(std::make_unique<Waiter>("__RD_CONN__" + name_, global)) {
  // Without the counter send refuses, and receivers do without it: both check.
  static_cast<void>(message_counter_.acquire("__AC_CONN__" + name_, sizeof(std::uint32_t), global));
  if (ring_block_.acquire(RingBlockName(name_), sizeof(Ring), global) &&
      ring_block_.size() >= sizeof(Ring)) {
    ConstructRing(*ring());
    receiver_ = std::make_unique<RingReceiver>(
        *ring(), static_cast<const std::atomic<std::uint32_t>*>(message_counter_.mem()), conn_id_,
        BlockOfSize);
  }
}

Channel::~Channel() { disconnect(); }

Ring* Channel::ring() const {
  // A block smaller than a ring (made by something else under our name) is
  // never used as one.
  if (ring_block_.size() < sizeof(Ring)) return nullptr;
  return static_cast<Ring*>(ring_block_.mem());
}

std::uint32_t Channel::receiver_bit() const { return receiver_ ? receiver_->bit() : 0; }

bool Channel::connect(ConnectMode mode) {
  if (mode == ConnectMode::kSender) {
    if (receiver_bit() != 0) disconnect();
    return ring() != nullptr;
  }
  if (!receiver_) return false;
  if (!receiver_->connected()) {
    if (!receiver_->Connect()) return false;
    for (Waiter* waiter : {connection_waiter_.get(), writer_waiter_.get(), reader_waiter_.get()}) {
      waiter->Resume();
    }
  }
  connection_waiter_->Broadcast();
  return true;
}

void Channel::disconnect() {
  rejoining_ = false;
  const bool released = receiver_bit() != 0;
  if (released) receiver_->Disconnect();
  for (Waiter* waiter : {connection_waiter_.get(), writer_waiter_.get(), reader_waiter_.get()}) {
    waiter->Quit();
  }
  // The slots it gave up may be what a waiting sender waits for.
  if (released) writer_waiter_->Broadcast();
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
  Waits waits(*this, limit_ms);
  return SendOnRing(*ring(), BlockOfSize, waits, conn_id_, counter->fetch_add(1), data, size);
}

ReceiveBuffer Channel::recv() {
  if (rejoining_) {
    rejoining_ = !receiver_->Connect();
    if (rejoining_) {
      // Every bit is taken: wait as long as an idle receiver would, not spin.
      reader_waiter_->WaitWhile([] { return true; }, kReceiveWaitMs);
      return {};
    }
  }
  if (receiver_bit() == 0) return {};
  return Receive();
}

ReceiveBuffer Channel::Receive() {
  Ring& queue = *ring();
  ReceiveBuffer message;
  RingReceiver::Step step = RingReceiver::Step::kNothing;
  const char* lost = nullptr;
  // One look at the ring; true when it gave something to act on.
  const auto poll = [&] {
    step = receiver_->Poll(message);
    if (step == RingReceiver::Step::kNothing) return false;
    if (step == RingReceiver::Step::kLost) {
      lost = receiver_->lost_reason();
    } else if (FreedForWaitingSender(queue, receiver_->cursor() - 1)) {
      // Waiting senders need to hear only of the read that freed their slot.
      writer_waiter_->Broadcast();
    }
    return true;
  };
  for (;;) {
    bool found = poll();
    // The clock is read only once the ring ran dry: a read costs about as
    // much as taking a fragment, and a message in fragments takes many.
    if (!found) {
      const Stopwatch spin;
      for (int tries = 0;
           !found && (tries < kPopTriesBeforeWaiting || spin.Microseconds() < kPopSpinUs);
           ++tries) {
        Count(Counted::kYield);
        SwitchToThread();
        found = poll();
      }
    }
    if (!found) {
      reader_waiter_->WaitWhile(
          [&] { return !poll() && (lost = receiver_->LostPlace()) == nullptr; }, kReceiveWaitMs);
      // Told to quit, or the wait ran out: nothing arrived.
      if (step == RingReceiver::Step::kNothing && lost == nullptr) lost = receiver_->LostPlace();
    }
    if (step == RingReceiver::Step::kMessage) return message;
    if (lost != nullptr) {
      Reconnect(lost);
      return {};
    }
    if (step != RingReceiver::Step::kPassed) return {};
  }
}

void Channel::Reconnect(const char* reason) {
  // The slots that waited for the old bit are free now.
  rejoining_ = !receiver_->Reconnect(reason);
  writer_waiter_->Broadcast();
  if (!rejoining_) connection_waiter_->Broadcast();
}

}  // namespace shm
