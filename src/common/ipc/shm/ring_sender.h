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
  // the last result. `slots_wanted` (at least 1) is how many slots the rest
  // of the message fills: a sender that has to wait anyway may wait for room
  // for several, so that it and its receivers do not trade the ring one
  // slot at a time.
  virtual PushResult WaitForRoom(const std::function<PushResult()>& push,
                                 std::size_t slots_wanted) = 0;
  // Called before the ring is full, when the next slots are still unread:
  // waits a short while, without taking any slot, for the next `slots` to
  // be read (RoomFor). False when they were not: the sender then stops
  // looking ahead for the rest of its message.
  virtual bool WaitForRoomAhead(std::size_t slots) = 0;
  // Receivers have something new to read: wakes every one that waits or is
  // on its way into a wait.
  virtual void WakeReceivers() = 0;
  // The same for the receivers already asleep only: cheap (no kernel call
  // when none is), for the middle of a message, whose end wakes them all.
  virtual void WakeSleepingReceivers() = 0;
  // A forced push took a slot that other senders may be waiting at.
  virtual void WakeSenders() = 0;
  // A chunk message went out; its readers hold the chunk until they read it.
  virtual void ChunkSent(const ChunkBlock& block, std::int32_t index, std::uint32_t readers) = 0;
};

// True when the next `slots` slots from the write cursor (at most a ring)
// hold nothing that a connected receiver has still to read.
bool RoomFor(const Ring& ring, std::size_t slots);

// Sends one message with the id given: in a chunk when one is free, else in
// 64-byte fragments. A full ring is waited on as `waits` decides, then taken
// by force. False when a push failed (no receiver is left).
[[nodiscard]] bool SendOnRing(Ring& ring, const ChunkBlocks& blocks, SendWaits& waits,
                              std::uint32_t conn_id, std::uint32_t id, const void* data,
                              std::size_t size);

}  // namespace shm
