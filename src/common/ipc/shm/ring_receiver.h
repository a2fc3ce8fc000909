#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "ipc/shm/receive_buffer.h"
#include "ipc/shm/receive_cache.h"
#include "ipc/shm/ring.h"

namespace shm {

// One receiver on a ring: its bit, its cursor and the messages it is putting
// back together, and every decision about its place on the ring. It never
// waits; the caller decides how to wait between polls.
class RingReceiver {
 public:
  // `message_counter` may be null (then nothing is known of message ids);
  // messages from `own_conn_id` are passed over while it is not null.
  RingReceiver(Ring& ring, const std::atomic<std::uint32_t>* message_counter,
               std::uint32_t own_conn_id, ChunkBlocks blocks);
  ~RingReceiver() { Disconnect(); }
  RingReceiver(const RingReceiver&) = delete;
  RingReceiver& operator=(const RingReceiver&) = delete;

  // Takes the lowest free bit and starts at the write cursor; false when all
  // 32 bits are taken.
  [[nodiscard]] bool Connect();
  // Gives back the slots and chunks still reserved for it, then its bit.
  void Disconnect();
  bool connected() const { return bit_ != 0; }
  std::uint32_t bit() const { return bit_; }
  std::uint32_t cursor() const { return cursor_; }

  enum class Step {
    kMessage,  // `message` holds a whole message
    kNothing,  // nothing new at the cursor
    kPassed,   // a slot went by that gave no message (yet)
    kLost,     // the receiver lost its place: Reconnect(lost_reason())
  };
  Step Poll(ReceiveBuffer& message);
  const char* lost_reason() const { return lost_reason_; }
  // While Poll finds nothing: why this receiver can no longer expect its
  // next slot, or null while it can.
  const char* LostPlace();
  // Connects afresh at the write cursor, losing what was in flight; false
  // when no bit is free (the receiver is then disconnected).
  [[nodiscard]] bool Reconnect(const char* reason);

 private:
  void Leave(bool cut_off);
  ReceiveBuffer ChunkMessage(const SlotMessage& message, std::size_t size);
  void GiveBackChunk(const SlotMessage& message, std::uint32_t bit);
  // Gives up what an earlier holder of `bit` left in the lap before `start`.
  void GiveUpEarlierHolder(std::uint32_t bit, std::uint32_t start);
  // Gives up `bit`'s reservations of the slots [from, to).
  void GiveUpSlots(std::uint32_t bit, std::uint32_t from, std::uint32_t to);

  Ring& ring_;
  const std::atomic<std::uint32_t>* message_counter_;
  std::uint32_t own_conn_id_;
  ChunkBlocks blocks_;
  ReceiveCache cache_;
  std::uint32_t bit_ = 0;
  std::uint32_t cursor_ = 0;
  std::optional<std::uint32_t> first_id_;
  const char* lost_reason_ = nullptr;
  // Since when the receiver has waited at stalled_cursor_ with later slots written.
  std::chrono::steady_clock::time_point stalled_since_{};
  std::uint32_t stalled_cursor_ = 0;
  bool stalled_ = false;
};

}  // namespace shm
