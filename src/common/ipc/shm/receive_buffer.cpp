#include "ipc/shm/receive_buffer.h"

#include <utility>

namespace shm {

ReceiveBuffer::ReceiveBuffer(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size)
    : bytes_(std::move(bytes)), size_(bytes_ ? size : 0) {}

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
  bytes_ = std::move(other.bytes_);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

}  // namespace shm
