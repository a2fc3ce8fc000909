#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ipc/shm/spin.h"

// The broadcast ring and the chunk blocks of a channel, as they lie in shared
// memory, and the algorithms that work on them. Every process of the product
// maps the same bytes: the layouts, offsets and bit meanings are fixed.
//
// Life of a slot, for the write cursor value c it is claimed at (c counts
// every slot ever claimed; the slot is c mod 256):
//
//   free       commit_mark is c: the slot was read by all one lap ago (see
//              "read"), or 0 when never written. The receivers named in
//              read_state are gone from cc, or the bits are a claim that
//              never moved the cursor.
//   claimed    a normal push swapped read_state to {counter + 1, current
//              epoch byte, cc}, found `epoch` unchanged, and then moved
//              write_cursor from c to c + 1 by compare-and-swap: the cursor
//              decides between two claims of one slot. It claims only a free
//              slot: the last lap's readers that are gone from cc are cleared
//              first and the slot marked read, as their reads would have, so
//              that bits on a slot still marked written are always readers.
//              A forced push moves the cursor first and sets read_state
//              after, so that a claim that fails never took a bit from a
//              message still to be read.
//   writing    commit_mark = ~c with bit 31 flipped, swapped in from the
//              mark of an earlier lap before the first byte is written: a
//              sender held up for a lap finds a later lap's mark there and
//              claims again instead of writing over that lap's message. A
//              later lap that finds an earlier one writing waits for it
//              (up to 100 ms, then takes it for dead): two writers never
//              mix their bytes in one slot, unless one stops for longer
//              than that inside its write.
//   committed  commit_mark swapped from writing to ~c, after the bytes:
//              from now on a receiver whose cursor is c may copy the slot.
//              A sender whose swap fails lost the slot and claims again.
//   read       each receiver clears its own bit in read_state (counter + 1).
//              The one that clears the last bit swaps commit_mark from ~c to
//              c + 256, the cursor value that will claim the slot one lap
//              later, so a sender's "free" test is a single comparison with
//              its cursor.
//
// Reading: a receiver copies the 80 bytes word by word and then checks that
// the write cursor is at most a lap ahead of c (a writer of the next lap
// moves it before it writes a byte) and that its own bit is still in
// read_state; else the copy is not its message. A bit in read_state is a
// reservation: a message committed with a receiver's bit is never taken by
// a normal push, only by a forced push that cuts that receiver off.
//
// Cut-off: a forced push cuts off exactly the connected receivers whose bit
// is still in the message it overwrites (a claim's bits on a free slot are
// nobody's), and only after it moved the cursor: a receiver cut off is then
// more than a lap behind the writers, whatever a newcomer with its bit does
// later. It judges by the mark and cc read after the state it swaps out. It
// resumes at the write cursor under a fresh bit, never where it
// was: the readers of its old slots freed their chunks without it. Leaving
// gives back the bit's reservations of slots and chunks up to the write
// cursor, while the bit is still its own; a newcomer gives back what an
// earlier holder left in the lap before its cursor before it takes the bit
// (which was free after it read the cursor), waiting a bound for the writes
// in flight there, so that no forced push counts that holder's bit against
// it; only messages written for the cursor in question are touched, never a
// slot of the next lap. A receiver clears its bit only while the slot still
// holds the message it copied: held up, it may find the next lap's state,
// and the bit there a newcomer's.
//
// Chunks: pending_readers is set to the receivers of the slot's claim before
// the slot is committed (receivers that came or went after the chunk was
// taken would otherwise be missing from it, and the chunk freed under their
// feet, or be kept in it for good). A receiver copies a chunk message out
// and clears its own bit at once; the message is its own only if the bit
// was still there and it was not overtaken meanwhile (readers that saw it
// cut off free the chunk without it). Whoever clears a
// receiver's bit from a slot (that receiver, a forced push, a leaving or
// arriving holder of the bit) clears it from the slot's chunk as well.
//
// Message ids: a receiver reads the message counter after it took its bit;
// every message of that id or later is reserved for it while it holds the
// bit. A fragment of an earlier id that it does not hold is dropped (it may
// be a tail), and a slot of a later id not reserved for it means it was cut
// off.
//
// Epoch: a forced push adds one to the top byte of `epoch`. A claim made by
// a peer that then finds `epoch` moved claims again; the bits it left on the
// free slot carry the old epoch byte. A claim of the current epoch on a free
// slot is let to settle (a few spins and yields, never a sleep: a dead peer
// must not stall a push) before a forced push takes the slot over.
//
// Low 32 bits: receivers keep 32-bit cursors while the marks hold the 64-bit
// cursor, so every comparison of a mark with a cursor compares the low 32
// bits; a ring outlives 2^32 slots. Written marks keep all 64 bits for peers
// that compare the whole value: a receiver takes the full cursor from the
// mark it matched (~mark). A written mark of slot s ends in the byte 255 - s,
// a read one in the byte s: the two never meet, whatever the high bits.
//
// Waiters (see waiter.h) sit beside the ring: a condition's shared count says
// how many threads wait on it. It may go negative: a waiter that timed out
// takes its count back, and when a broadcast had set the count to 0 in the
// meantime it ends at -1 with one post left over; the next waiter then counts
// from 1, and the extra post wakes a thread that finds its predicate unchanged
// and waits again. A broadcast first locks and unlocks the waiter mutex: a
// waiter checks its predicate and counts itself while holding that mutex and
// lets go of it only inside its wait, so once the broadcaster has held it,
// every waiter that saw the old state is counted, and a count of 0 or below
// means nobody to wake.
//
// Spin locks (the ring's construct lock, each chunk block's lock) stay one
// word, 0 free and 1 held, taken by exchange, as peers take them. Nothing
// records the holder, so a holder that dies keeps the word at 1. A holder keeps
// it for a few stores; a waiter that has not had it for SpinLock::kDeadHolderMs
// (1 s: millions of critical sections, and far beyond the time slices a
// descheduled holder waits for) takes its turn at a kernel mutex shared by all
// processes, waits the bound once more in turn (a taker before it may have
// freed the word, and a live holder taken it since), and if the word is still
// held, goes in as the holder and stores 0 when done. What the dead holder
// guarded is then checked before use: the construct lock guards the constructed
// flag and cc, which are done again while the flag is clear, as always; a chunk
// block's free list changes by single stores, so it holds together but may lack
// the chunk in hand when the holder died (lost to the pool), or, if it died
// building the list, is built afresh; a link out of range or back into the list
// ends it. A live holder stopped (suspended) that long is taken for dead all
// the same.
namespace shm {

inline constexpr std::size_t kFragmentSize = 64;
// Part of the ring's name only; peers open "__QU_CONN__64__8__<name>".
inline constexpr std::size_t kRingNameAlignment = 8;
inline constexpr std::size_t kRingSlots = 256;
inline constexpr std::size_t kMaxReceivers = 32;
inline constexpr std::size_t kChunksPerBlock = 32;
inline constexpr std::uint8_t kNoFreeChunk = 32;
// Slot.storage: where the message's bytes are.
inline constexpr std::uint8_t kStoredInSlots = 0;
inline constexpr std::uint8_t kStoredInChunk = 1;  // data holds the chunk index

struct Slot {
  std::uint32_t conn_id;  // the sending channel object
  std::uint32_t id;       // message id
  std::int32_t remain;    // message bytes from this fragment's start to the end, minus 64
  std::uint8_t storage;   // kStoredInSlots or kStoredInChunk
  std::uint8_t zero[3];
  std::uint8_t data[kFragmentSize];
  // Bits 0-31 receivers still to read, 32-55 modification counter, 56-63
  // the epoch byte when written.
  std::atomic<std::uint64_t> read_state;
  // See "Life of a slot" above.
  std::atomic<std::uint64_t> commit_mark;
};

// The 80 bytes of a slot that a receiver copies.
struct SlotMessage {
  std::uint32_t conn_id;
  std::uint32_t id;
  std::int32_t remain;
  std::uint8_t storage;
  std::uint8_t zero[3];
  std::uint8_t data[kFragmentSize];
};

struct Ring {
  std::atomic<std::uint32_t> cc;  // connected receivers, one bit each
  std::atomic<std::uint32_t> construct_lock;
  std::atomic<std::uint8_t> constructed;
  std::uint8_t reserved0[55];
  std::atomic<std::uint64_t> write_cursor;  // slots ever claimed
  std::uint8_t reserved1[56];
  std::atomic<std::uint64_t> epoch;  // only the top byte counts
  std::uint8_t reserved2[56];
  Slot slots[kRingSlots];
  std::uint8_t reserved3[64];
};

struct ChunkBlockHeader {
  std::uint8_t links[kChunksPerBlock];  // free list: chunk that follows chunk i
  std::uint8_t head;                    // first free chunk; 32 when none
  std::uint8_t initialised;
  std::uint8_t reserved[2];
  std::atomic<std::uint32_t> lock;
};

struct ChunkHeader {
  std::atomic<std::uint32_t> pending_readers;
  std::uint32_t reserved;
};

static_assert(sizeof(std::atomic<std::uint64_t>) == 8 &&
              std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 &&
              std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(offsetof(Slot, conn_id) == 0 && offsetof(Slot, id) == 4);
static_assert(offsetof(Slot, remain) == 8 && offsetof(Slot, storage) == 12);
static_assert(offsetof(Slot, data) == 16 && offsetof(Slot, read_state) == 80);
static_assert(offsetof(Slot, commit_mark) == 88 && sizeof(Slot) == 96);
static_assert(sizeof(SlotMessage) == 80 && offsetof(SlotMessage, data) == offsetof(Slot, data));
static_assert(offsetof(Ring, cc) == 0 && offsetof(Ring, construct_lock) == 4);
static_assert(offsetof(Ring, constructed) == 8 && offsetof(Ring, write_cursor) == 64);
static_assert(offsetof(Ring, epoch) == 128 && offsetof(Ring, slots) == 192);
static_assert(sizeof(Ring) == 24832);
static_assert(offsetof(ChunkBlockHeader, head) == 32 &&
              offsetof(ChunkBlockHeader, initialised) == 33);
static_assert(offsetof(ChunkBlockHeader, lock) == 36 && sizeof(ChunkBlockHeader) == 40);
static_assert(sizeof(ChunkHeader) == 8);

// Zeroes the connection mask once per ring's life, under the ring's own spin
// lock (which it must not zero while holding it).
void ConstructRing(Ring& ring);

// Takes the lowest free receiver bit; 0 when all 32 are taken.
std::uint32_t ConnectReceiver(Ring& ring);
// Takes `bit` when it is free; false when another receiver holds it.
bool TakeReceiverBit(Ring& ring, std::uint32_t bit);
void DisconnectReceiver(Ring& ring, std::uint32_t bit);

// What a push writes into the slot it claimed.
struct Fragment {
  std::uint32_t conn_id;
  std::uint32_t id;
  std::int32_t remain;
  std::uint8_t storage;
  const void* data;  // up to 64 bytes
  std::size_t size;
  // A chunk message's pending readers: set to the receivers of the slot's
  // claim before the slot is committed, so that the chunk is reserved for
  // exactly the receivers that will read it.
  std::atomic<std::uint32_t>* chunk_readers = nullptr;
};

enum class PushResult {
  kPushed,
  kNoReceiver,
  kFull,       // a connected receiver has not read the slot at the write cursor
  kUnsettled,  // another process left that slot half claimed or half read
};

// A chunk message that a push overwrote while some receivers still held it:
// the receivers that had not read it (cut off, or gone) never will, and their
// reservations of the chunk are the pusher's to give back.
struct Overwritten {
  std::int32_t remain;
  std::int32_t chunk_index;
  std::uint32_t unread_by;
};

// Claims the slot at the write cursor without a lock, unless a connected
// receiver has not read it yet.
PushResult TryNormalPush(Ring& ring, const Fragment& fragment,
                         std::vector<Overwritten>* old_chunks = nullptr);

struct ForcedPushResult {
  bool pushed = false;
  std::optional<Overwritten> old_chunk_message;
};

// Takes the oldest slot even when unread: the connected receivers that had
// not read it are removed from the connection mask. Prints the force_push
// texts.
ForcedPushResult ForcedPush(Ring& ring, const Fragment& fragment);

enum class PopResult {
  kEmpty,        // nothing written at the cursor yet
  kMessage,      // copied, and this receiver's bit cleared
  kNotReserved,  // written without this receiver (claimed before it connected,
                 // or after it was cut off); passed over, `message` copied
  kOverwritten,  // a later lap took the slot while it was read: this receiver
                 // was overtaken, and the copy is not a message
};

// Copies the slot at the cursor when it was written for that cursor and for
// this receiver, clears the receiver's bit and advances the cursor.
PopResult Pop(Ring& ring, std::uint32_t& read_cursor, std::uint32_t receiver_bit,
              SlotMessage& message);

// After a pop of the slot at `popped_cursor`: true when no connected receiver
// still has to read it and the write cursor stands at it one lap later, the
// one case in which a sender waiting for room may now go on.
bool FreedForWaitingSender(const Ring& ring, std::uint32_t popped_cursor);

// True when the slot after `read_cursor` was written (or read) for its own
// cursor: the ring has moved on past a slot this receiver still waits for.
bool LaterSlotCommitted(const Ring& ring, std::uint32_t read_cursor);

// True while the writers have claimed the slot of `cursor` (the write cursor
// is past it) and its write for that cursor is not committed yet.
bool WriteInFlight(const Ring& ring, std::uint32_t cursor);

// True when the writers are more than a ring ahead of `read_cursor`: the
// slots from there on were overwritten before this receiver read them.
bool Overtaken(const Ring& ring, std::uint32_t read_cursor);

// True when every slot claimed in the last lap from `read_cursor` on names
// `receiver_bit`, but for messages older than `first_id`: what a receiver
// finds that took the bit when the message counter stood at `first_id`,
// kept it, and read none of them. One cut off finds the slot that cut it
// off without its bit, as long as the writers are within two laps of it
// (beyond that, false).
bool ReservedSince(const Ring& ring, std::uint32_t read_cursor, std::uint32_t receiver_bit,
                   std::uint32_t first_id);

// Gives up the receiver's claim on the message written for `cursor` without
// reading it: clears the bit there (and, when it was the last, marks the
// slot read). True, with the message in `message` (so that the caller gives
// back the chunk it names), when the bit was still set.
bool GiveUpSlot(Ring& ring, std::uint32_t cursor, std::uint32_t receiver_bit,
                std::optional<SlotMessage>& message);

// Where a thread of another process may stop, for a while or for good. The
// native build calls a hook there, so that a test can pause or end a thread
// at that point; elsewhere nothing is called.
enum class FaultPoint {
  kClaimed,      // a sender owns a slot, the write cursor not yet moved
  kCursorMoved,  // ... the cursor moved, the slot not yet written
  kOwned,        // ... the slot found still its own, about to be written
  kWriting,      // ... writing it
  kChunkTaken,   // a sender took a chunk and copied its message, no slot claimed yet
  kCopied,       // a receiver copied a slot, its bit not yet cleared
  kChunkFound,   // a receiver popped a chunk message, the chunk not yet copied
};
using FaultHook = void (*)(FaultPoint);
void SetFaultHook(FaultHook hook);
void Fault(FaultPoint point);

// A chunk index within a block's 32 chunks.
bool ValidChunkIndex(std::int32_t index);

// Chunk size for a message of n bytes: room for the chunk header and n bytes,
// in steps of 1024.
std::size_t ChunkSizeFor(std::size_t message_size);
// Bytes of the block holding 32 chunks of that size.
std::size_t ChunkBlockBytes(std::size_t chunk_size);

// A mapped chunk block of one chunk size. Every index and link read from it
// is checked before use, and every chunk against the mapped size.
class ChunkBlock {
 public:
  ChunkBlock(void* memory, std::size_t mapped_size, std::size_t chunk_size);

  bool initialised() const;
  // Takes a free chunk for the receivers in `readers`; nothing when none is
  // free (or the free list is corrupt).
  std::optional<std::int32_t> Take(std::uint32_t readers);
  // The message bytes of a chunk; null for an index outside the block.
  std::uint8_t* Message(std::int32_t index) const;
  ChunkHeader* Header(std::int32_t index) const;
  // Clears `gone` from the chunk's pending readers (and keeps only
  // `still_connected`); the one call that empties the set returns the chunk
  // to the free list. True when every bit of `gone` was still pending: a
  // reader whose bit was no longer there cannot know that the bytes it read
  // were still its message.
  bool Release(std::int32_t index, std::uint32_t gone, std::uint32_t still_connected);

 private:
  bool Contains(std::int32_t index) const;
  void PushFree(std::int32_t index);
  void BuildFreeList();
  // After the lock was taken from a dead holder.
  void RepairFreeList();

  ChunkBlockHeader* header_;
  std::size_t mapped_size_;
  std::size_t chunk_size_;
};

// The block of a chunk size, as a process maps it (`create` false: only one
// that exists); nothing when it cannot be had.
using ChunkBlocks = std::function<std::optional<ChunkBlock>(std::size_t chunk_size, bool create)>;

// Copies into and out of a chunk while another process may recycle it: the
// reader checks afterwards that the chunk was still its own (Release), and a
// copy that raced a recycle is dropped, never undefined.
void CopyToShared(std::uint8_t* shared, const void* data, std::size_t size);
void CopyFromShared(void* out, const std::uint8_t* shared, std::size_t size);

}  // namespace shm
