#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ipc/shm/ring.h"

namespace shm {

// How a sender waits and wakes: the channel with its named conditions, a
// test with threads on its own clock.
class SendWaits {
 public:
  virtual ~SendWaits() = default;
  // Called when the ring is full: retries `push` until it finds room or this
  // sender gives up, within the bound of the implementation, and returns
  // the last result.
  virtual PushResult WaitForRoom(const std::function<PushResult()>& push) = 0;
  // Receivers have something new to read.
  virtual void WakeReceivers() = 0;
  // A forced push took a slot that other senders may be waiting at.
  virtual void WakeSenders() = 0;
  // A chunk message went out; its readers hold the chunk until they read it.
  virtual void ChunkSent(const ChunkBlock& block, std::int32_t index, std::uint32_t readers) = 0;
};

// Sends one message with the id given: in a chunk when one is free, else in
// 64-byte fragments. A full ring is waited on as `waits` decides, then taken
// by force. False when a push failed (no receiver is left).
[[nodiscard]] bool SendOnRing(Ring& ring, const ChunkBlocks& blocks, SendWaits& waits,
                              std::uint32_t conn_id, std::uint32_t id, const void* data,
                              std::size_t size);

}  // namespace shm
