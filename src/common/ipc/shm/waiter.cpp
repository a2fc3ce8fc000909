#include "ipc/shm/waiter.h"

#include <fmt/format.h>

namespace shm {

Waiter::Waiter(std::string_view name, bool global) {
  // Both are tried, so that each failure prints its text.
  const bool condition_opened = condition_.Open(fmt::format("_waiter_cond_{}", name), global);
  // No namespace prefix: peers open the lock by this bare name.
  const bool lock_opened = lock_.Open(fmt::format("_waiter_lock_{}", name));
  valid_ = condition_opened && lock_opened;
}

void Waiter::Broadcast() {
  if (!valid_) return;
  // Held and given back at once: a thread between its predicate check and
  // its wait holds it, so after this it counts itself as waiting.
  static_cast<void>(lock_.Lock());
  // Whether anyone was woken changes nothing for the caller.
  if (condition_.HasWaiters()) static_cast<void>(condition_.Broadcast());
}

void Waiter::WakeSleeping() {
  if (condition_.HasWaiters()) Broadcast();
}

void Waiter::Quit() {
  quit_ = true;
  Broadcast();
}

}  // namespace shm
