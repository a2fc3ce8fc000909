// How a sender paces a message of many ring laps against its receiver, on
// plain memory: where it waits, and whom it wakes.
#include "ipc/shm/ring_sender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "shm_payload.h"

namespace {

using namespace shm;

// Counts the sender's waits and wakes; reads all there is whenever the
// sender waits ahead, unless it is deaf.
struct Receiver : SendWaits {
  Receiver(Ring& ring, bool deaf) : ring(ring), deaf(deaf), bit(ConnectReceiver(ring)) {}
  PushResult WaitForRoom(const std::function<PushResult()>& push, std::size_t) override {
    ++full_ring_waits;
    return push();
  }
  bool WaitForRoomAhead(std::size_t slots) override {
    ++waits_ahead;
    EXPECT_TRUE(RoomFor(ring, 1)) << "waits ahead of a full ring only";
    for (SlotMessage slot; !deaf && Pop(ring, cursor, bit, slot) == PopResult::kMessage;) {
      read.insert(read.end(), slot.data, slot.data + std::min(slot.remain + 64, 64));
    }
    return RoomFor(ring, slots);
  }
  void WakeReceivers() override { ++wakes_of_all; }
  void WakeSleepingReceivers() override {}
  void WakeSenders() override {}
  void ChunkSent(const ChunkBlock&, std::int32_t, std::uint32_t) override {}

  Ring& ring;
  bool deaf;
  std::uint32_t bit;
  std::uint32_t cursor = 0;
  int full_ring_waits = 0;
  int waits_ahead = 0;
  int wakes_of_all = 0;
  std::vector<std::uint8_t> read;
};

TEST(SendPacingTest, AMessageOfManyLapsWaitsShortOfAFullRingWhileItsReceiverReads) {
  const auto payload = shm_test::MakePayload(1, 1, 1600 * 64 + 10);
  const ChunkBlocks no_chunks = [](std::size_t, bool) { return std::optional<ChunkBlock>(); };
  for (const bool deaf : {false, true}) {
    auto ring = std::make_unique<Ring>();
    std::memset(static_cast<void*>(ring.get()), 0, sizeof(Ring));
    Receiver receiver(*ring, deaf);
    // One that does not read is waited for once, then cut off at the full ring.
    EXPECT_EQ(SendOnRing(*ring, no_chunks, receiver, 7, 1, payload.data(), payload.size()), !deaf);
    EXPECT_EQ(receiver.full_ring_waits, deaf ? 1 : 0);
    if (deaf) {
      EXPECT_EQ(receiver.waits_ahead, 1);
      continue;
    }
    EXPECT_EQ(receiver.wakes_of_all, 1);
    receiver.WaitForRoomAhead(1);
    EXPECT_EQ(receiver.read, payload);
  }
}

TEST(SendPacingTest, RoomCountsOnlyConnectedReceiversThatHaveNotRead) {
  Ring ring{};
  ring.cc.store(0b01);
  ring.write_cursor.store(2 * kRingSlots + 10);
  ring.slots[19].read_state.store(0b10);  // read by all but one since cut off
  ring.slots[40].read_state.store(0b01);  // 31 slots ahead: still to read
  ring.slots[9].read_state.store(0b01);   // the slot behind the cursor
  const std::pair<std::size_t, bool> cases[] = {
      {0, true}, {10, true}, {30, true}, {31, false}, {255, true}, {256, false}, {1000, false}};
  for (const auto& [slots, room] : cases) EXPECT_EQ(RoomFor(ring, slots), room) << slots;
}

}  // namespace
