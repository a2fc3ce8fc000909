#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ipc/shm/ring.h"

namespace shm {

// A received message. It may point straight into a shared chunk; destroying
// the buffer hands the chunk back.
class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  ReceiveBuffer(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size);
  ReceiveBuffer(ChunkBlock block, std::int32_t index, std::size_t size, std::uint32_t own_bit,
                std::uint32_t connected);
  ~ReceiveBuffer() { Release(); }
  ReceiveBuffer(ReceiveBuffer&& other) noexcept;
  ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

 private:
  struct ChunkLease {
    ChunkBlock block;
    std::int32_t index;
    std::uint32_t own_bit;
    std::uint32_t connected;
  };
  void Release();

  std::unique_ptr<std::uint8_t[]> owned_;
  std::unique_ptr<ChunkLease> lease_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace shm
