#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "ipc/shm/receive_buffer.h"
#include "ipc/shm/ring.h"

namespace shm {

// Puts messages that travel as 64-byte fragments back together. A receiver
// keeps one: the fragments of one message arrive in order, those of several
// senders interleaved, and some never (their sender died, or this receiver
// was cut off), which is why it forgets old entries.
class ReceiveCache {
 public:
  // Takes one slot's message (not a chunk message) whose bytes from this
  // fragment to the message's end are `size` (remain + 64, at least 1).
  // Returns the whole message once this slot completes it; empty while parts
  // are missing, or when a message of the size announced cannot be held.
  ReceiveBuffer Add(const SlotMessage& message, std::size_t size);
  // Forgets every message, for a receiver that (re)connected when the
  // channel's message counter stood at `next_id`: a message of an older id
  // that it does not hold began before, and its fragments are dropped. An
  // id the counter has not yet reached would make every message look older.
  void Restart(std::optional<std::uint32_t> next_id);
  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Fnv1a {
    std::size_t operator()(std::uint32_t id) const;
  };
  struct PartialMessage {
    std::unique_ptr<std::uint8_t[]> bytes;  // null: dropped, its fragments are skipped
    std::size_t size;
    std::size_t filled;
  };

  std::unordered_map<std::uint32_t, PartialMessage, Fnv1a> entries_;
  std::optional<std::uint32_t> first_id_;
};

}  // namespace shm
