#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/shm/primitives.h"
#include "ipc/shm/receive_buffer.h"
#include "ipc/shm/ring.h"

// A named broadcast queue in shared memory: any number of processes send,
// up to 32 receivers read, and each receiver gets every message sent after it
// connected. Messages of up to 64 bytes travel in one ring slot; longer ones
// in a shared chunk when one is free, else in 64-byte fragments. A full ring
// never blocks a sender: the oldest slot is taken and the receivers that had
// not read it are cut off; such a receiver notices, says so on the standard
// error stream and connects afresh, losing what was in flight.
namespace shm {

class ReceiveCache;
class Waiter;

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
  // With limit 0 a full ring is taken by force, after at most 2 ms in which
  // its receivers may still read, instead of waited on.
  bool send(const void* data, std::size_t size, unsigned limit_ms = 0);
  // Waits for the next message; empty after 2 s without one, on failure, or
  // when the receiver lost its place and connected afresh (new receiver bit).
  ReceiveBuffer recv();
  // Safe from another thread: a recv that waits returns empty at once, and so
  // does every later one until the next connect. The receiver stays connected.
  void cancel_recv();

  std::uint32_t conn_id() const { return conn_id_; }
  std::uint32_t receiver_bit() const { return receiver_bit_; }

 private:
  explicit Channel(std::string_view name, bool global);
  Ring* ring() const;
  // `wake_receivers` false leaves sleeping receivers asleep: the caller wakes
  // them after a later fragment of the same message.
  bool Push(const Fragment& fragment, unsigned limit_ms, bool wake_receivers);
  // Nothing when no chunk can be had (the message then goes as fragments).
  std::optional<bool> SendInChunk(const void* data, std::size_t size, std::uint32_t id,
                                  unsigned limit_ms);
  bool SendFragments(const std::uint8_t* data, std::size_t size, std::uint32_t id,
                     unsigned limit_ms);
  void FreeOverwrittenChunk(const Overwritten& old);
  // The next slot for this receiver; nothing when a wait ran out or was
  // ended, or when the receiver had to connect afresh.
  std::optional<SlotMessage> NextSlot(Ring& queue);
  ReceiveBuffer ChunkMessage(const SlotMessage& message, std::size_t size);
  // Why this receiver can no longer expect its next slot; null while it can.
  const char* LostPlace(const Ring& queue);
  // Takes a fresh receiver bit (and, unless it was only cut off, moves to
  // the write cursor); false when no bit is free.
  bool Reconnect(Ring& queue, const char* reason);

  std::string name_;
  std::uint32_t conn_id_ = 0;
  std::unique_ptr<Waiter> connection_waiter_;
  std::unique_ptr<Waiter> writer_waiter_;
  std::unique_ptr<Waiter> reader_waiter_;
  // Messages in fragments being put together. One per channel object, not
  // per thread: message ids count per channel, and a thread's cache would
  // be destroyed at its exit after the runtime freed its thread storage.
  std::unique_ptr<ReceiveCache> receive_cache_;
  handle message_counter_;
  handle ring_block_;
  std::uint32_t receiver_bit_ = 0;
  std::uint32_t read_cursor_ = 0;
  // Since when the receiver has waited at read_cursor_ with later slots written.
  ULONGLONG stalled_since_ = 0;
  std::uint32_t stalled_cursor_ = 0;
};

// How many receivers are connected to the channel, without creating any of
// its objects; nothing when its ring does not exist or cannot be read.
std::optional<int> ConnectedReceivers(std::string_view name, bool global);

// Waits until the receivers of every chunk message this process sent have
// released their chunks, at most `timeout_ms`. A process calls it before it
// exits, because the chunk block dies with the last process that maps it and
// a receiver may not have mapped it yet. True when nothing is left pending.
bool WaitForSentChunksReleased(DWORD timeout_ms);

}  // namespace shm
