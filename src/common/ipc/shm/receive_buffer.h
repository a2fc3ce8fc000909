#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace shm {

// A received message, in memory of its own.
class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  ReceiveBuffer(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size);
  ReceiveBuffer(ReceiveBuffer&& other) noexcept;
  ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;

  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return bytes_ == nullptr; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

}  // namespace shm
