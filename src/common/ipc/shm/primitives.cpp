#include "ipc/shm/primitives.h"

#include <fmt/format.h>

#include <mutex>
#include <utility>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"
#include "system/security.h"
#include "system/text.h"

namespace shm {
namespace {

std::string MappingName(std::string_view name, bool global) {
  return fmt::format("{}\\__IPC_SHM__{}", NamespacePrefix(global), name);
}

}  // namespace

std::string_view NamespacePrefix(bool global) { return global ? "Global" : "Local"; }

SECURITY_ATTRIBUTES* SharedObjectSecurity() {
  static std::once_flag reported;
  std::call_once(reported, [] {
    const std::optional<SecurityBuildFailure> failure = EveryoneSecurityFailure();
    if (!failure) return;
    Print(stderr,
          failure->step == SecurityBuildFailure::Step::InitializeDescriptor
              ? text::kInitializeSecurityDescriptor
              : text::kSetSecurityDescriptorDacl,
          static_cast<int>(failure->error));
  });
  return EveryoneSecurityAttributes();
}

bool NamedMutex::Open(std::string_view name) {
  Close();
  const std::string name_text(name);
  handle_.reset(CreateMutexW(SharedObjectSecurity(), FALSE, Utf8ToWide(name_text).c_str()));
  if (!handle_) {
    Print(stderr, text::kCreateMutex, GetLastError(), name_text.c_str());
    return false;
  }
  return true;
}

MutexGuard NamedMutex::Lock() {
  for (;;) {
    Count(Counted::kMutexWait);
    const DWORD result = WaitForSingleObject(handle_.get(), INFINITE);
    switch (result) {
      case WAIT_OBJECT_0: return MutexGuard(handle_.get());
      case WAIT_ABANDONED:
        // The owner died holding it; what it left behind is used as it is.
        Print(stdout, text::kMutexAbandoned, GetLastError());
        Count(Counted::kMutexRelease);
        if (!ReleaseMutex(handle_.get())) {
          Print(stderr, text::kReleaseMutex, GetLastError());
          return {};
        }
        break;
      case WAIT_TIMEOUT: return {};
      default:
        Print(stderr, text::kWaitFailed, GetLastError(), static_cast<unsigned>(result));
        return {};
    }
  }
}

MutexGuard& MutexGuard::operator=(MutexGuard&& other) noexcept {
  if (this != &other) {
    Unlock();
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

void MutexGuard::Unlock() {
  if (mutex_ == nullptr) return;
  Count(Counted::kMutexRelease);
  if (!ReleaseMutex(std::exchange(mutex_, nullptr))) {
    Print(stderr, text::kReleaseMutex, GetLastError());
  }
}

MutexGuard HoldMutex(HANDLE mutex, DWORD timeout_ms) {
  if (mutex == nullptr) return {};
  const DWORD result = WaitForSingleObject(mutex, timeout_ms);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? MutexGuard(mutex) : MutexGuard();
}

HeldMutex::HeldMutex(std::string_view name, SECURITY_ATTRIBUTES* security)
    : handle_(CreateMutexW(security, TRUE, Utf8ToWide(std::string(name)).c_str())) {
  // An existing mutex is opened, not taken: its owner keeps it.
  if (handle_ && GetLastError() != ERROR_ALREADY_EXISTS) guard_ = MutexGuard(handle_.get());
}

bool NamedSemaphore::Open(std::string_view name) {
  Close();
  const std::string name_text(name);
  handle_.reset(
      CreateSemaphoreW(SharedObjectSecurity(), 0, LONG_MAX, Utf8ToWide(name_text).c_str()));
  if (!handle_) {
    Print(stderr, text::kCreateSemaphore, GetLastError(), name_text.c_str());
    return false;
  }
  return true;
}

bool NamedSemaphore::Post(long count) {
  Count(Counted::kSemaphorePost);
  if (!ReleaseSemaphore(handle_.get(), count, nullptr)) {
    Print(stderr, text::kReleaseSemaphore, GetLastError());
    return false;
  }
  return true;
}

bool handle::acquire_mapping(std::string_view name, std::size_t size, bool create) {
  if (mapping_) release();
  if (name.empty()) {
    Print(stderr, text::kAcquireEmptyName);
    return false;
  }
  const std::string full_name = MappingName(name, global_);
  const std::wstring wide_name = Utf8ToWide(full_name);
  const std::uint64_t size64 = size;
  mapping_.reset(create ? CreateFileMappingW(INVALID_HANDLE_VALUE, SharedObjectSecurity(),
                                             PAGE_READWRITE | SEC_COMMIT,
                                             static_cast<DWORD>(size64 >> 32),
                                             static_cast<DWORD>(size64), wide_name.c_str())
                        : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide_name.c_str()));
  if (!mapping_) {
    if (create) {
      Print(stderr, text::kCreateFileMapping, static_cast<int>(GetLastError()), full_name.c_str());
    }
    return false;
  }
  return get_mem() != nullptr;
}

bool handle::acquire(std::string_view name, std::size_t size, std::optional<bool> global) {
  global_ = global.value_or(global_);
  return acquire_mapping(name, size, true);
}

bool handle::open_existing(std::string_view name, std::optional<bool> global) {
  global_ = global.value_or(global_);
  return acquire_mapping(name, 0, false);
}

void* handle::get_mem() {
  if (view_) return view_.get();
  if (!mapping_) {
    Print(stderr, text::kNoMappingHandle);
    return nullptr;
  }
  base::MappedView view(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!view) {
    Print(stderr, text::kMapViewOfFile, static_cast<int>(GetLastError()));
    return nullptr;
  }
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(view.get(), &region, sizeof(region)) == 0) {
    Print(stderr, text::kVirtualQuery, static_cast<int>(GetLastError()));
    return nullptr;
  }
  size_ = region.RegionSize;
  view_ = std::move(view);
  return view_.get();
}

void handle::release() {
  if (view_ && size_ != 0) {
    view_.reset();
  } else {
    Print(stderr, text::kReleaseNoView, view_.get(), static_cast<std::ptrdiff_t>(size_));
  }
  size_ = 0;
  if (mapping_) {
    mapping_.reset();
  } else {
    Print(stderr, text::kReleaseNoHandle);
  }
}

bool NamedCondition::Open(std::string_view name, bool global) {
  Close();
  const std::string_view prefix = NamespacePrefix(global);
  valid_ = semaphore_.Open(fmt::format("{}\\_cond_sem_{}", prefix, name)) &&
           lock_.Open(fmt::format("{}\\_cond_lock_{}", prefix, name)) &&
           count_block_.acquire(fmt::format("_cond_shm_{}", name), sizeof(std::int32_t), global);
  return valid_;
}

std::atomic<std::int32_t>* NamedCondition::count() {
  return static_cast<std::atomic<std::int32_t>*>(count_block_.mem());
}

bool NamedCondition::Wait(NamedMutex& outer, MutexGuard& held, DWORD timeout_ms) {
  if (!valid_ || !held) return false;
  {
    const MutexGuard count_lock = lock_.Lock();
    if (!count_lock) return false;
    const std::int32_t waiting = count()->load();
    count()->store(waiting < 0 ? 1 : waiting + 1);
  }

  // Releasing the outer mutex and starting the wait is one step, so a
  // broadcast between the caller's check and the wait is not lost.
  Count(Counted::kSignalAndWait);
  const DWORD result =
      SignalObjectAndWait(std::exchange(held.mutex_, nullptr), semaphore_.get(), timeout_ms, FALSE);
  held = outer.Lock();
  if (result != WAIT_OBJECT_0) {
    if (const MutexGuard count_lock = lock_.Lock()) count()->fetch_sub(1);
    return false;
  }
  return static_cast<bool>(held);
}

bool NamedCondition::Broadcast() {
  if (!valid_) return false;
  const MutexGuard count_lock = lock_.Lock();
  if (!count_lock) return false;
  const std::int32_t waiting = count()->load();
  if (waiting <= 0) return false;
  const bool posted = semaphore_.Post(waiting);
  count()->store(0);
  return posted;
}

bool NamedCondition::HasWaiters() { return valid_ && count()->load() > 0; }

void NamedCondition::Close() {
  semaphore_.Close();
  lock_.Close();
  if (count_block_.mem() != nullptr) count_block_.release();
  valid_ = false;
}

}  // namespace shm
