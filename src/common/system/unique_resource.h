#pragma once

#include <windows.h>

#include <utility>

namespace base {

// One move-only owner for every kind of Windows resource. The traits name the
// value type, the value that means "nothing owned" and how to give it back.
// Closing keeps GetLastError intact, so an owner going out of scope between a
// failing call and its error check does not hide the error.
template <typename Traits>
class UniqueResource {
 public:
  using value_type = typename Traits::value_type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(value_type value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  value_type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership; the caller closes the value.
  [[nodiscard]] value_type release() noexcept { return std::exchange(value_, Traits::Invalid()); }

  void reset(value_type value = Traits::Invalid()) noexcept {
    if (valid()) {
      const DWORD saved_error = GetLastError();
      Traits::Close(value_);
      SetLastError(saved_error);
    }
    value_ = value;
  }

  // For APIs that return the resource through an out-parameter.
  value_type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  value_type value_ = Traits::Invalid();
};

// Kernel objects: null when nothing is owned (mutex, semaphore, mapping,
// process, thread, token).
struct KernelHandleTraits {
  using value_type = HANDLE;
  static HANDLE Invalid() noexcept { return nullptr; }
  static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

// Files and tool-help snapshots: INVALID_HANDLE_VALUE when nothing is owned.
struct FileHandleTraits {
  using value_type = HANDLE;
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

struct RegKeyTraits {
  using value_type = HKEY;
  static HKEY Invalid() noexcept { return nullptr; }
  static void Close(HKEY key) noexcept { RegCloseKey(key); }
};

struct MappedViewTraits {
  using value_type = void*;
  static void* Invalid() noexcept { return nullptr; }
  static void Close(void* view) noexcept { UnmapViewOfFile(view); }
};

struct LoadedModuleTraits {
  using value_type = HMODULE;
  static HMODULE Invalid() noexcept { return nullptr; }
  static void Close(HMODULE module) noexcept { FreeLibrary(module); }
};

template <typename T>
struct LocalMemoryTraits {
  using value_type = T*;
  static T* Invalid() noexcept { return nullptr; }
  static void Close(T* memory) noexcept { LocalFree(memory); }
};

using KernelHandle = UniqueResource<KernelHandleTraits>;
using FileHandle = UniqueResource<FileHandleTraits>;
using RegKey = UniqueResource<RegKeyTraits>;
using MappedView = UniqueResource<MappedViewTraits>;
using LoadedModule = UniqueResource<LoadedModuleTraits>;
template <typename T>
using LocalMemory = UniqueResource<LocalMemoryTraits<T>>;

}  // namespace base
