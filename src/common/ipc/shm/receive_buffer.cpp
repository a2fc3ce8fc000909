#include "ipc/shm/receive_buffer.h"

#include <utility>

#include "ipc/shm/diagnostics.h"
#include "ipc/shm/failure_texts.h"

namespace shm {

ReceiveBuffer::ReceiveBuffer(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size)
    : owned_(std::move(bytes)), data_(owned_.get()), size_(size) {}

ReceiveBuffer::ReceiveBuffer(ChunkBlock block, std::int32_t index, std::size_t size,
                             std::uint32_t own_bit, std::uint32_t connected)
    : lease_(std::make_unique<ChunkLease>(ChunkLease{block, index, own_bit, connected})),
      data_(block.Message(index)),
      size_(size) {}

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept
    : owned_(std::move(other.owned_)),
      lease_(std::move(other.lease_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    owned_ = std::move(other.owned_);
    lease_ = std::move(other.lease_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ReceiveBuffer::Release() {
  if (lease_) {
    if (!ValidChunkIndex(lease_->index)) {
      Print(stderr, text::kRecycleStorageId, static_cast<long>(lease_->index),
            static_cast<std::ptrdiff_t>(size_));
    } else {
      lease_->block.Release(lease_->index, lease_->own_bit, lease_->connected);
    }
    lease_.reset();
  }
  owned_.reset();
  data_ = nullptr;
  size_ = 0;
}

}  // namespace shm
