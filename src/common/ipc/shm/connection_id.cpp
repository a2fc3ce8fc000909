#include "ipc/shm/connection_id.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "ipc/shm/primitives.h"

namespace shm {
namespace {

constexpr char kConnectionIdCounter[] = "__CA_CONN__";

std::atomic<std::uint32_t>* CounterOf(const handle& block) {
  return static_cast<std::atomic<std::uint32_t>*>(block.mem());
}

// Raises the counter to at least `floor`.
void RaiseTo(std::atomic<std::uint32_t>& counter, std::uint32_t floor) {
  std::uint32_t value = counter.load();
  while (value < floor && !counter.compare_exchange_weak(value, floor)) {
  }
}

}  // namespace

// A process takes its ids from the counter of its first channel's namespace,
// as peers do. Peers in the other namespace (an elevated client, a process
// that cannot reach the global one) draw from the other counter, so ours
// draws from both and moves both past the id it takes, whichever it is
// bound to.
std::uint32_t TakeConnectionId(bool global) {
  static handle bound;
  static handle other;
  static std::mutex mutex;
  static bool bound_once = false;
  std::lock_guard lock(mutex);
  if (!bound_once) {
    bound_once = true;
    // A counter that did not open has no memory, which the reads below
    // check: an id of 0 without the bound one, the bound one's alone
    // without the other.
    static_cast<void>(bound.acquire(kConnectionIdCounter, sizeof(std::uint32_t), global));
    static_cast<void>(other.acquire(kConnectionIdCounter, sizeof(std::uint32_t), !global));
  }
  std::atomic<std::uint32_t>* counter = CounterOf(bound);
  if (counter == nullptr) return 0;
  std::uint32_t id = counter->fetch_add(1);
  if (std::atomic<std::uint32_t>* other_counter = CounterOf(other)) {
    id = std::max(id, other_counter->fetch_add(1));
    RaiseTo(*other_counter, id + 1);
  }
  RaiseTo(*counter, id + 1);
  return id;
}

}  // namespace shm
