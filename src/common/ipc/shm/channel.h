#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/shm/primitives.h"
#include "ipc/shm/ring.h"

// A named broadcast queue in shared memory: any number of processes send,
// up to 32 receivers read, and each receiver gets every message sent after it
// connected. Messages of up to 64 bytes travel in one ring slot; longer ones
// in a shared chunk when one is free, else in 64-byte fragments. A full ring
// never blocks a sender: the oldest slot is taken and the receivers that had
// not read it are cut off.
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

enum class ConnectMode { kSender = 0, kReceiver = 1 };

class Channel {
 public:
  // Opens (creating when needed) every shared object of channel `name` in
  // the global or the local namespace. A channel whose ring cannot be mapped
  // is returned all the same; it cannot connect.
  static std::unique_ptr<Channel> Open(std::string_view name, bool global);
  ~Channel();  // disconnects and closes
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool connect(ConnectMode mode);
  // Gives up the receiver bit and makes every wait on this channel end.
  void disconnect();
  // With limit 0 a full ring is taken by force instead of waited on.
  bool send(const void* data, std::size_t size, unsigned limit_ms = 0);
  // Waits for the next message; empty after 2 s without one, or on failure.
  ReceiveBuffer recv();
  // Safe from another thread: a recv that waits returns empty at once, and so
  // does every later one until the next connect. The receiver stays connected.
  void cancel_recv();

  std::uint32_t conn_id() const { return conn_id_; }
  std::uint32_t receiver_bit() const { return receiver_bit_; }

 private:
  class Waiter;
  explicit Channel(std::string_view name, bool global);
  Ring* ring() const;
  bool Push(const Fragment& fragment, unsigned limit_ms);
  // Nothing when no chunk can be had (the message then goes as fragments).
  std::optional<bool> SendInChunk(const void* data, std::size_t size, std::uint32_t id,
                                  unsigned limit_ms);
  bool SendFragments(const std::uint8_t* data, std::size_t size, std::uint32_t id,
                     unsigned limit_ms);
  void FreeOverwrittenChunk(const Overwritten& old);

  std::string name_;
  std::uint32_t conn_id_ = 0;
  std::unique_ptr<Waiter> connection_waiter_;
  std::unique_ptr<Waiter> writer_waiter_;
  std::unique_ptr<Waiter> reader_waiter_;
  handle message_counter_;
  handle ring_block_;
  std::uint32_t receiver_bit_ = 0;
  std::uint32_t read_cursor_ = 0;
};

// Waits until the receivers of every chunk message this process sent have
// released their chunks, at most `timeout_ms`. A process calls it before it
// exits, because the chunk block dies with the last process that maps it and
// a receiver may not have mapped it yet. True when nothing is left pending.
bool WaitForSentChunksReleased(DWORD timeout_ms);

}  // namespace shm
