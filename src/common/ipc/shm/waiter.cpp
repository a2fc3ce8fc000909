#include "ipc/shm/waiter.h"

#include <fmt/format.h>

namespace shm {

Waiter::Waiter(std::string_view name, bool global) {
  condition_.Open(fmt::format("_waiter_cond_{}", name), global);
  // No namespace prefix: peers open the lock by this bare name.
  lock_.Open(fmt::format("_waiter_lock_{}", name));
}

void Waiter::Broadcast() {
  if (lock_.Lock()) lock_.Unlock();
  if (condition_.HasWaiters()) condition_.Broadcast();
}

void Waiter::WakeSleeping() {
  if (condition_.HasWaiters()) Broadcast();
}

void Waiter::Quit() {
  quit_ = true;
  Broadcast();
}

}  // namespace shm
