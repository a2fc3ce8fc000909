#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ipc/shm/spin.h"
#include "system/unique_resource.h"

// Named kernel objects shared by every process of the product under the same
// names: a mutex, a semaphore, a shared-memory block and a condition made of
// the three. Failures print their texts (see diagnostics.h) and leave the
// object empty.
namespace shm {

// "Global" or "Local": the namespace of blocks and conditions.
std::string_view NamespacePrefix(bool global);

// This thread's ownership of a mutex, given back when the guard ends; empty
// when the mutex was not had. It does not own the handle, which must outlive
// it.
class [[nodiscard]] MutexGuard {
 public:
  MutexGuard() = default;
  ~MutexGuard() { Unlock(); }
  MutexGuard(MutexGuard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  MutexGuard& operator=(MutexGuard&& other) noexcept;

  explicit operator bool() const { return mutex_ != nullptr; }
  // Gives the mutex back now; a failure prints its text and goes on.
  void Unlock();

 private:
  friend class NamedMutex;
  friend class NamedCondition;
  friend MutexGuard HoldMutex(HANDLE mutex, DWORD timeout_ms);
  friend class HeldMutex;
  explicit MutexGuard(HANDLE mutex) : mutex_(mutex) {}

  HANDLE mutex_ = nullptr;
};

// Waits for the mutex at most `timeout_ms`, quietly: a mutex whose owner died
// is held all the same. Empty for a null handle, on time-out or failure.
MutexGuard HoldMutex(HANDLE mutex, DWORD timeout_ms);

// A named mutex created owned by this thread, held until this object ends.
// When the name existed already it is one more handle to that mutex and
// holds nothing.
class HeldMutex {
 public:
  HeldMutex(std::string_view name, SECURITY_ATTRIBUTES* security);
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;

 private:
  base::KernelHandle handle_;
  MutexGuard guard_;  // after the handle: given back before the handle closes
};

class NamedMutex {
 public:
  // Creates or opens; the name is used as given (no namespace prefix added).
  [[nodiscard]] bool Open(std::string_view name);
  // Waits without limit; a mutex whose owner died is taken over, as it is.
  MutexGuard Lock();
  void Close() { handle_.reset(); }
  bool valid() const { return handle_.valid(); }
  HANDLE get() const { return handle_.get(); }

 private:
  base::KernelHandle handle_;
};

class NamedSemaphore {
 public:
  [[nodiscard]] bool Open(std::string_view name);
  [[nodiscard]] bool Post(long count);
  void Close() { handle_.reset(); }
  bool valid() const { return handle_.valid(); }
  HANDLE get() const { return handle_.get(); }

 private:
  base::KernelHandle handle_;
};

// A named block of shared memory, zero-filled when first created.
class handle {
 public:
  handle() = default;
  ~handle() {
    if (mapping_) release();
  }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;

  // Creates or opens <prefix>\__IPC_SHM__<name> with at least `size` bytes
  // and maps it. Without a flag the handle keeps the one it had. An existing
  // block is opened whatever its size; size() tells what is usable.
  [[nodiscard]] bool acquire(std::string_view name, std::size_t size,
                             std::optional<bool> global = {});
  // Opens an existing block only; never creates one.
  [[nodiscard]] bool open_existing(std::string_view name, std::optional<bool> global = {});
  // Maps the block on first use; null when it cannot be mapped.
  [[nodiscard]] void* get_mem();
  void release();

  void* mem() const { return view_.get(); }
  std::size_t size() const { return size_; }
  bool global() const { return global_; }

 private:
  [[nodiscard]] bool acquire_mapping(std::string_view name, std::size_t size, bool create);

  bool global_ = false;
  base::KernelHandle mapping_;
  base::MappedView view_;
  std::size_t size_ = 0;
};

// A condition variable across processes: a semaphore carries the wake-ups,
// a shared count says how many threads wait, a mutex guards the count.
class NamedCondition {
 public:
  [[nodiscard]] bool Open(std::string_view name, bool global);
  // The caller holds `outer` through `held`; it is released while waiting
  // and `held` holds it again on return unless that failed. False on
  // time-out or failure. INFINITE waits without limit.
  [[nodiscard]] bool Wait(NamedMutex& outer, MutexGuard& held, DWORD timeout_ms);
  // Wakes every waiting thread; true when anyone was woken.
  [[nodiscard]] bool Broadcast();
  // Whether any thread counts itself as waiting, read without the lock. To
  // be sure of a thread between its predicate check and its wait, first hold
  // the mutex that thread holds there (see Waiter).
  [[nodiscard]] bool HasWaiters();
  void Close();
  bool valid() const { return valid_; }

 private:
  std::atomic<std::int32_t>* count();

  NamedSemaphore semaphore_;
  NamedMutex lock_;
  handle count_block_;
  bool valid_ = false;
};

// Null-DACL security, built once; null (default security) when it failed.
SECURITY_ATTRIBUTES* SharedObjectSecurity();

}  // namespace shm
