#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/shm/primitives.h"
#include "ipc/shm/receive_buffer.h"

// A named broadcast queue in shared memory: any number of processes send,
// up to 32 receivers read, and each receiver gets every message sent after it
// connected. Messages of up to 64 bytes travel in one ring slot; longer ones
// in a shared chunk when one is free, else in 64-byte fragments. A full ring
// never blocks a sender: the oldest slot is taken and the receivers that had
// not read it are cut off; such a receiver notices, says so on the standard
// error stream and connects afresh, losing what was in flight.
namespace shm {

struct Ring;
class RingReceiver;
class Waiter;

enum class ConnectMode { kSender = 0, kReceiver = 1 };

class Channel {
 public:
  // Opens (creating when needed) every shared object of channel `name` in
  // the global or the local namespace. A channel whose ring cannot be mapped
  // is returned all the same; it cannot connect.
  [[nodiscard]] static std::unique_ptr<Channel> Open(std::string_view name, bool global);
  ~Channel();  // disconnects and closes
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  [[nodiscard]] bool connect(ConnectMode mode);
  // Gives up the receiver bit and makes every wait on this channel end.
  void disconnect();
  // With limit 0 a full ring is taken by force once its receivers have had
  // a short while to read (see kFullRingPatienceMs), instead of waited on.
  [[nodiscard]] bool send(const void* data, std::size_t size, unsigned limit_ms = 0);
  // Waits for the next message; empty after 2 s without one, on failure, or
  // when the receiver lost its place and connected afresh (new receiver bit).
  [[nodiscard]] ReceiveBuffer recv();
  // Safe from another thread: a recv that waits returns empty at once, and so
  // does every later one until the next connect. The receiver stays connected.
  void cancel_recv();

  std::uint32_t conn_id() const { return conn_id_; }
  std::uint32_t receiver_bit() const;

 private:
  class Waits;
  explicit Channel(std::string_view name, bool global);
  Ring* ring() const;
  // The next message for this receiver; empty when a wait ran out or was
  // ended, or when the receiver had to connect afresh.
  ReceiveBuffer Receive();
  // Connects afresh after the receiver lost its place.
  void Reconnect(const char* reason);

  std::string name_;
  std::uint32_t conn_id_ = 0;
  std::unique_ptr<Waiter> connection_waiter_;
  std::unique_ptr<Waiter> writer_waiter_;
  std::unique_ptr<Waiter> reader_waiter_;
  handle message_counter_;
  handle ring_block_;
  // Its place on the ring and the messages in fragments being put together.
  // One per channel object, not per thread: message ids count per channel,
  // and a thread's cache would be destroyed at its exit after the runtime
  // freed its thread storage.
  std::unique_ptr<RingReceiver> receiver_;
  // It lost its place and found no free bit: it tries again on each recv.
  bool rejoining_ = false;
};

// How many receivers are connected to the channel, without creating any of
// its objects; nothing when its ring does not exist or cannot be read.
[[nodiscard]] std::optional<int> ConnectedReceivers(std::string_view name, bool global);

}  // namespace shm
