// How a sender paces a message of many fragments against its receivers, on
// plain memory: where it waits, and whom it wakes.
#include "ipc/shm/ring_sender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "shm_payload.h"

namespace {

using namespace shm;

// Records the sender's calls; while it waits ahead, the receiver reads all
// that is there when `drain` is set, else nothing.
class PacedReceiver : public SendWaits {
 public:
  PacedReceiver(Ring& ring, bool drain) : ring_(ring), drain_(drain), bit_(ConnectReceiver(ring)) {}

  PushResult WaitForRoom(const std::function<PushResult()>& push, std::size_t wanted) override {
    ++full_ring_waits;
    EXPECT_TRUE(wanted >= 1 && wanted <= kRingSlots / 2) << wanted;
    return push();
  }
  bool WaitForRoomAhead(std::size_t slots) override {
    ++waits_ahead;
    EXPECT_TRUE(RoomFor(ring_, 1)) << "the sender waits ahead of a full ring only";
    if (drain_) Drain();
    return RoomFor(ring_, slots);
  }
  void WakeReceivers() override { ++wakes_of_all; }
  void WakeSleepingReceivers() override {}
  void WakeSenders() override {}
  void ChunkSent(const ChunkBlock&, std::int32_t, std::uint32_t) override {}

  void Drain() {
    SlotMessage slot;
    while (Pop(ring_, cursor_, bit_, slot) == PopResult::kMessage) {
      const auto bytes = std::min<std::int64_t>(slot.remain + 64, 64);
      received.insert(received.end(), slot.data, slot.data + bytes);
    }
  }

  int full_ring_waits = 0;
  int waits_ahead = 0;
  int wakes_of_all = 0;
  std::vector<std::uint8_t> received;

 private:
  Ring& ring_;
  bool drain_;
  std::uint32_t bit_;
  std::uint32_t cursor_ = 0;
};

std::unique_ptr<Ring> NewRing() {
  auto ring = std::make_unique<Ring>();
  std::memset(static_cast<void*>(ring.get()), 0, sizeof(Ring));
  ConstructRing(*ring);
  return ring;
}

const ChunkBlocks kNoChunks = [](std::size_t, bool) { return std::optional<ChunkBlock>(); };

TEST(SendPacingTest, AMessageOfManyLapsStopsShortOfAFullRingAndWakesAllOnceAtItsEnd) {
  auto ring = NewRing();
  PacedReceiver receiver(*ring, true);
  const auto payload = shm_test::MakePayload(1, 1, 1600 * 64 + 10);
  ASSERT_TRUE(SendOnRing(*ring, kNoChunks, receiver, 7, 1, payload.data(), payload.size()));
  receiver.Drain();
  EXPECT_EQ(receiver.received, payload);
  EXPECT_GE(receiver.waits_ahead, 6);
  EXPECT_EQ(receiver.full_ring_waits, 0);
  EXPECT_EQ(receiver.wakes_of_all, 1);
}

TEST(SendPacingTest, AReceiverThatDoesNotReadCostsOneWaitAheadThenTheFullRing) {
  auto ring = NewRing();
  PacedReceiver receiver(*ring, false);
  const auto payload = shm_test::MakePayload(1, 1, 300 * 64);
  // Taken by force at the full ring: the receiver that did not read is cut off.
  EXPECT_FALSE(SendOnRing(*ring, kNoChunks, receiver, 7, 1, payload.data(), payload.size()));
  EXPECT_EQ(receiver.waits_ahead, 1);
  EXPECT_EQ(receiver.full_ring_waits, 1);
}

TEST(SendPacingTest, RoomCountsOnlyConnectedReceiversThatHaveNotRead) {
  auto ring = NewRing();
  ring->cc.store(0b01);
  ring->write_cursor.store(2 * kRingSlots + 10);
  ring->slots[19].read_state.store(0b10);  // read by all but one since cut off
  ring->slots[40].read_state.store(0b01);  // 31 slots ahead: still to read
  ring->slots[9].read_state.store(0b01);   // the slot behind the cursor
  const struct {
    std::size_t slots;
    bool room;
  } cases[] = {{0, true},   {10, true},   {30, true},   {31, false},
               {255, true}, {256, false}, {1000, false}};
  for (const auto& c : cases) EXPECT_EQ(RoomFor(*ring, c.slots), c.room) << c.slots;
}

}  // namespace
