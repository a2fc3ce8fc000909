// Fault-injection soak of the ring, chunk and reassembly code: threads play
// sender and receiver processes over one ring, its chunk blocks and its
// message counter in plain memory. At the points where another process may
// stop (see FaultPoint) and between messages, a thread pauses for a while or
// dies for good, holding whatever it holds; a process that dies is replaced.
// Every message is checked byte for byte and for its sender's order.
//
//   shm_soak [seconds] [first seed] [seeds]   (default: 8 1 1)
//
// Each seed runs for `seconds`; its fault plan and message sizes follow from
// the seed (the threads' interleaving does not). Exit code 0 when every
// check held; a failure names the seed.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "ipc/shm/ring.h"
#include "ipc/shm/ring_receiver.h"
#include "ipc/shm/ring_sender.h"
#include "shm_payload.h"

namespace {

using namespace shm;
using Clock = std::chrono::steady_clock;

constexpr int kSenders = 3;
constexpr int kReceivers = 3;
constexpr int kMaxDeaths = 12;  // dead threads stay blocked until the end
// Messages of this chunk size travel as fragments (its pool is taken), and
// are longer than a ring lap.
constexpr std::size_t kLongSize = 16384;
constexpr std::size_t kMaxSize = 20000;
// How long a sender at a full ring waits for room before it forces, by kind.
constexpr std::chrono::milliseconds kForcingPatience{2};
constexpr std::chrono::milliseconds kWaitingPatience{100};
// What any single wait may take beyond its bound on a loaded machine under a
// sanitizer; a wait beyond it is a hang.
constexpr std::chrono::seconds kSlack{3};
constexpr std::chrono::milliseconds kDrained{1500};

struct Killed {};

std::FILE* g_report = stderr;

// One run's shared memory and its books.
struct Run {
  explicit Run(std::uint64_t seed) : seed(seed) {
    std::memset(static_cast<void*>(ring.get()), 0, sizeof(Ring));
    ConstructRing(*ring);
    for (std::size_t chunk = 1024; chunk <= ChunkSizeFor(kMaxSize); chunk += 1024) {
      memory[chunk].assign(ChunkBlockBytes(chunk), 0);
    }
    // The long messages' pool is taken, as by a reader that never lets go.
    ChunkBlock hog(memory[ChunkSizeFor(kLongSize)].data(), memory[ChunkSizeFor(kLongSize)].size(),
                   ChunkSizeFor(kLongSize));
    while (hog.Take(1u << 31)) {
    }
  }

  std::optional<ChunkBlock> Block(std::size_t chunk_size) {
    const auto found = memory.find(chunk_size);
    if (found == memory.end()) return std::nullopt;
    return ChunkBlock(found->second.data(), found->second.size(), chunk_size);
  }

  void Fail(const std::string& what) {
    std::lock_guard lock(mutex);
    if (failures.size() < 20) failures.push_back(what);
  }

  const std::uint64_t seed;
  std::unique_ptr<Ring> ring = std::make_unique<Ring>();
  std::atomic<std::uint32_t> counter{0xFFFFFF00u};  // ids wrap during the run
  std::map<std::size_t, std::vector<std::uint8_t>> memory;
  std::atomic<bool> sending{true};
  std::atomic<bool> drained{false};  // every sender that lives has finished
  std::atomic<bool> over{false};
  std::atomic<int> deaths{0};
  std::atomic<int> pauses{0};
  std::atomic<int> reconnects{0};
  std::atomic<std::uint64_t> delivered{0};
  std::atomic<std::uint64_t> forced{0};
  // Receivers that take themselves for a bit's holder, by bit: more than one
  // once a receiver cut off while held up takes no notice before a newcomer
  // gets its bit, and reads on under it.
  std::array<std::atomic<int>, 32> holders{};

  std::mutex mutex;
  std::vector<std::thread> dead_threads;
  std::vector<std::string> failures;
  // Stamps of one clock order the sends: a message that ended before
  // another began lies wholly before it on the ring.
  std::atomic<std::uint64_t> clock{0};
  struct Sent {
    std::uint32_t id;
    std::size_t size;
    std::uint64_t began;
    std::uint64_t ended;
    bool ok;
  };
  std::map<std::uint32_t, std::vector<Sent>> sent;  // by sender tag, in sequence
  // From a connect to the loss of its place, or to the end of the run.
  struct Life {
    std::uint32_t first_id;  // the counter after it connected
    std::map<std::uint32_t, std::set<std::uint32_t>> received;
    bool to_the_end;
  };
  std::vector<Life> lives;
};

// A thread's part: its random choices and what it does at a fault point.
class Actor {
 public:
  Actor(Run& run, std::uint64_t stream) : run_(run), random_(run.seed * 1000003 + stream) {}
  virtual ~Actor() = default;

  // Pauses, or dies: then it blocks until the run is over and unwinds.
  void Hazard(int death_in, int pause_in, int longest_pause_ms = 40) {
    if (Chance(death_in) && run_.deaths.fetch_add(1) < kMaxDeaths) {
      dead_.store(true);
      Dying();
      while (!run_.over.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      throw Killed{};
    }
    if (Chance(pause_in)) {
      run_.pauses.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(Pick(1, longest_pause_ms)));
    }
  }
  bool dead() const { return dead_.load(); }
  bool done() const { return done_.load(); }
  void Finish() { done_.store(true); }
  virtual void AtFault(FaultPoint point) = 0;
  virtual void Dying() {}

 protected:
  bool Chance(int one_in) { return one_in > 0 && Pick(1, one_in) == 1; }
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  Run& run_;
  std::mt19937_64 random_;
  std::atomic<bool> dead_{false};
  std::atomic<bool> done_{false};
};

thread_local Actor* t_actor = nullptr;

void OnFault(FaultPoint point) {
  if (t_actor != nullptr) t_actor->AtFault(point);
}

class Sender : public Actor, public SendWaits {
 public:
  Sender(Run& run, std::uint32_t tag, bool forcing)
      : Actor(run, tag), tag_(tag), forcing_(forcing) {}

  void Main() {
    const ChunkBlocks blocks = [this](std::size_t size, bool) { return run_.Block(size); };
    for (std::uint32_t sequence = 0; run_.sending.load(); ++sequence) {
      Hazard(20000, 500);
      const std::size_t size = PickSize();
      const auto payload = shm_test::MakePayload(tag_, sequence, size);
      const std::uint64_t began = run_.clock.fetch_add(1);
      const std::uint32_t id = run_.counter.fetch_add(1);
      {
        std::lock_guard lock(run_.mutex);
        run_.sent[tag_].push_back({id, size, began, 0, false});
      }
      const bool ok = SendOnRing(*run_.ring, blocks, *this, tag_ + 1, id, payload.data(), size);
      const std::uint64_t ended = run_.clock.fetch_add(1);
      std::lock_guard lock(run_.mutex);
      run_.sent[tag_].back().ended = ended;
      run_.sent[tag_].back().ok = ok;
    }
  }

  void AtFault(FaultPoint point) override {
    if (point == FaultPoint::kClaimed || point == FaultPoint::kCursorMoved ||
        point == FaultPoint::kOwned) {
      Hazard(200000, 20000);
    } else if (point == FaultPoint::kWriting) {
      // A writer that stops here for longer than a lap's worth of waiting
      // is taken for dead: pauses stay short.
      Hazard(200000, 2000, 5);
    } else if (point == FaultPoint::kChunkTaken) {
      Hazard(200000, 5);
    }
  }

  PushResult WaitForRoom(const std::function<PushResult()>& push, std::size_t) override {
    const auto start = Clock::now();
    const auto bound = forcing_ ? kForcingPatience : kWaitingPatience;
    PushResult result = push();
    while (result == PushResult::kFull && Clock::now() - start < bound) {
      std::this_thread::yield();
      result = push();
    }
    if (Clock::now() - start > bound + kSlack) run_.Fail("a sender waited beyond its bound");
    if (result == PushResult::kFull) run_.forced.fetch_add(1);
    return result;
  }
  bool WaitForRoomAhead(std::size_t slots) override {
    for (int tries = 0; tries < 64 && !RoomFor(*run_.ring, slots); ++tries) {
      std::this_thread::yield();
    }
    return RoomFor(*run_.ring, slots);
  }
  void WakeReceivers() override {}
  void WakeSleepingReceivers() override {}
  void WakeSenders() override {}
  void ChunkSent(const ChunkBlock&, std::int32_t, std::uint32_t) override {}

 private:
  std::size_t PickSize() {
    switch (Pick(0, 9)) {
      case 0:  // longer than a ring lap, in fragments; a whole number of them at times
        return Chance(2) ? kLongSize + 64 * Pick(1, 15) : kLongSize + Pick(1, 1000);
      case 1:
      case 2: return Pick(65, 4000);   // in a chunk
      case 3: return 64 * Pick(2, 8);  // fragments when the pool runs dry
      default: return Pick(8, 64);     // one slot
    }
  }

  std::uint32_t tag_;
  bool forcing_;
};

class Receiver : public Actor {
 public:
  Receiver(Run& run, std::uint64_t stream) : Actor(run, stream) {}

  void Main() {
    const ChunkBlocks blocks = [this](std::size_t size, bool) { return run_.Block(size); };
    RingReceiver receiver(*run_.ring, &run_.counter, 0, blocks);
    if (!receiver.Connect()) return;
    StartLife(receiver);
    auto idle_since = Clock::now();
    for (;;) {
      Hazard(200000, 5000);  // a receiver that stops reading: cut off, or dead
      if (Chance(4000)) {
        // A module that restarts: the next one mostly takes the same bit,
        // and must not answer for what this one left unread.
        LetGoOfBit();
        receiver.Disconnect();
        EndLife(false);
        if (!receiver.Connect()) {
          run_.Fail("no receiver bit was free");
          return;
        }
        StartLife(receiver);
        continue;
      }
      ReceiveBuffer message;
      const RingReceiver::Step step = receiver.Poll(message);
      const char* lost = step == RingReceiver::Step::kLost ? receiver.lost_reason() : nullptr;
      if (step == RingReceiver::Step::kMessage) {
        Check(message);
      } else if (step == RingReceiver::Step::kNothing) {
        lost = receiver.LostPlace();
        if (lost == nullptr) {
          // Drained once the senders stopped: every write behind the cursor,
          // or none more to come (a sender died before writing its slot).
          if (run_.drained.load() &&
              (receiver.cursor() == static_cast<std::uint32_t>(run_.ring->write_cursor.load()) ||
               Clock::now() - idle_since > kDrained)) {
            break;
          }
          std::this_thread::yield();
          continue;
        }
      }
      idle_since = Clock::now();
      if (lost != nullptr) {
        if (std::strcmp(lost, "was cut off") == 0) CheckCutOff(receiver);
        // Overtaken: the slot it took (its cursor is past it) is gone a lap later.
        if (std::strcmp(lost, "was overtaken by the writers") == 0 &&
            static_cast<std::uint32_t>(run_.ring->write_cursor.load()) - receiver.cursor() + 1 <=
                kRingSlots) {
          run_.Fail("a receiver within a lap of the writers took itself for overtaken");
        }
        run_.reconnects.fetch_add(1);
        const auto writers = static_cast<std::uint32_t>(run_.ring->write_cursor.load());
        LetGoOfBit();
        if (!receiver.Reconnect(lost)) {
          run_.Fail("no receiver bit was free");
          return;
        }
        // Never where it was: the other readers freed its old slots' chunks.
        if (static_cast<std::int32_t>(receiver.cursor() - writers) < 0) {
          run_.Fail("a receiver resumed " + std::to_string(writers - receiver.cursor()) +
                    " slots behind the writers");
        }
        EndLife(false);
        StartLife(receiver);
      }
    }
    LetGoOfBit();
    EndLife(true);
  }

  void Dying() override { LetGoOfBit(); }

  void AtFault(FaultPoint point) override {
    if (point == FaultPoint::kCopied) Hazard(500000, 20000);
    // Long enough for the writers to lap it, cut it off and give its bit
    // to another receiver.
    if (point == FaultPoint::kChunkFound) Hazard(0, 200);
  }

 private:
  // A receiver is cut off only for a slot it had not read a lap behind the
  // writers. Within its first two laps the slot may be one that a sender
  // held up since before it connected wrote for the bit's earlier holder.
  // Nor can it tell its reservations from those of an earlier holder that
  // reads on under its bit unaware: the ring names bits, not receivers.
  void CheckCutOff(const RingReceiver& receiver) {
    const auto writers = static_cast<std::uint32_t>(run_.ring->write_cursor.load());
    const std::uint32_t behind = writers - receiver.cursor();
    if (!bit_shared_ && writers - start_ > 2 * kRingSlots && behind < kRingSlots) {
      run_.Fail("receiver cut off only " + std::to_string(behind) + " slots behind the writers");
    }
  }

  void StartLife(const RingReceiver& receiver) {
    held_bit_ = std::countr_zero(receiver.bit());
    bit_shared_ = run_.holders[held_bit_].fetch_add(1) > 0;
    start_ = receiver.cursor();
    life_ = {run_.counter.load(), {}, false};
  }
  void LetGoOfBit() {
    if (held_bit_ < 0) return;
    run_.holders[held_bit_].fetch_sub(1);
    held_bit_ = -1;
  }
  void EndLife(bool to_the_end) {
    life_.to_the_end = to_the_end;
    std::lock_guard lock(run_.mutex);
    run_.lives.push_back(std::move(life_));
  }

  void Check(const ReceiveBuffer& message) {
    run_.delivered.fetch_add(1);
    const shm_test::Received got = shm_test::Describe(message.data(), message.size());
    if (message.size() < 8 || got.tag >= 1000 ||
        !(got == shm_test::Expected(got.tag, got.sequence, message.size()))) {
      std::size_t at = 0;
      const auto want = shm_test::MakePayload(got.tag, got.sequence, message.size());
      while (at < message.size() && message.data()[at] == want[at]) ++at;
      run_.Fail("corrupt message of " + std::to_string(message.size()) + " bytes tag " +
                std::to_string(got.tag) + " seq " + std::to_string(got.sequence) + " at " +
                std::to_string(at));
      return;
    }
    auto [last, first] = last_.try_emplace(got.tag, got.sequence);
    if (!first && got.sequence <= last->second) {
      run_.Fail("sender " + std::to_string(got.tag) + ": " + std::to_string(got.sequence) +
                " after " + std::to_string(last->second));
    }
    last->second = got.sequence;
    life_.received[got.tag].insert(got.sequence);
  }

  Run::Life life_;
  std::uint32_t start_ = 0;  // the cursor the life began at
  int held_bit_ = -1;
  bool bit_shared_ = false;                      // another receiver took itself for the holder
  std::map<std::uint32_t, std::uint32_t> last_;  // across lives: never again, never back
};

template <typename Part>
void Play(Part& part) {
  t_actor = &part;
  try {
    part.Main();
  } catch (const Killed&) {
  }
  t_actor = nullptr;
  part.Finish();
}

// A thread slot that restarts its part when the part dies. A dead part's
// thread stays blocked, holding what it holds, until the run is over.
template <typename Part, typename Make>
std::thread Keep(Run& run, Make make) {
  return std::thread([&run, make] {
    for (int generation = 0; run.sending.load(); ++generation) {
      auto part = std::shared_ptr<Part>(make(generation));
      std::thread player([part] { Play(*part); });
      while (!part->dead() && !part->done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (part->dead()) {
        std::lock_guard lock(run.mutex);
        run.dead_threads.push_back(std::move(player));
        continue;
      }
      player.join();
    }
  });
}

bool Soak(std::uint64_t seed, std::chrono::seconds length) {
  Run run(seed);
  SetFaultHook(OnFault);
  std::vector<std::thread> receivers;
  std::vector<std::thread> senders;
  for (int r = 0; r < kReceivers; ++r) {
    receivers.push_back(Keep<Receiver>(run, [&run, r](int generation) {
      return std::make_unique<Receiver>(run, 100 + r * 1000 + generation);
    }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int s = 0; s < kSenders; ++s) {
    senders.push_back(Keep<Sender>(run, [&run, s](int generation) {
      return std::make_unique<Sender>(run, s * 100 + generation, s != 0);
    }));
  }
  std::this_thread::sleep_for(length);
  run.sending.store(false);
  // A hang shows as a run that does not end, with its seed.
  std::atomic<bool> ended{false};
  std::thread watchdog([&] {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!ended.load() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended.load()) {
      std::fprintf(g_report, "seed %llu: a thread hangs\n", static_cast<unsigned long long>(seed));
      std::fflush(g_report);
      std::abort();
    }
  });
  for (auto& thread : senders) thread.join();
  run.drained.store(true);
  for (auto& thread : receivers) thread.join();
  run.over.store(true);
  for (auto& thread : run.dead_threads) thread.join();
  ended.store(true);
  watchdog.join();
  SetFaultHook(nullptr);

  // A life got every message sent in full after it connected and before
  // the last message it received began (its slots lie before that one's,
  // all reserved for it); one that lasted to the end got all sent after it
  // connected.
  std::uint64_t sent_ok = 0;
  std::uint64_t missing = 0;
  std::vector<std::uint64_t> horizons;
  for (const Run::Life& life : run.lives) {
    std::uint64_t horizon = 0;
    for (const auto& [tag, sequences] : life.received) {
      for (const std::uint32_t sequence : sequences) {
        horizon = std::max(horizon, run.sent[tag][sequence].began);
      }
    }
    horizons.push_back(life.to_the_end ? UINT64_MAX : horizon);
  }
  for (const auto& [tag, messages] : run.sent) {
    for (std::uint32_t sequence = 0; sequence < messages.size(); ++sequence) {
      const Run::Sent& message = messages[sequence];
      if (!message.ok) continue;
      ++sent_ok;
      for (std::size_t l = 0; l < run.lives.size(); ++l) {
        const Run::Life& life = run.lives[l];
        if (static_cast<std::int32_t>(message.id - life.first_id) < 0 ||
            message.ended >= horizons[l]) {
          continue;
        }
        const auto got = life.received.find(tag);
        if (got == life.received.end() || got->second.count(sequence) == 0) {
          if (++missing <= 3) {
            run.Fail("missing: sender " + std::to_string(tag) + " message " +
                     std::to_string(sequence) + " (id " + std::to_string(message.id) + ", " +
                     std::to_string(message.size) + " bytes) for a receiver from id " +
                     std::to_string(life.first_id));
          }
        }
      }
    }
  }
  if (missing != 0) run.Fail(std::to_string(missing) + " deliveries missing");
  std::fprintf(
      g_report,
      "seed %llu: %llu sent, %llu delivered, %d deaths, %d pauses, %d reconnects, %llu forced "
      "pushes, %zu lives, %llu missing, %s\n",
      static_cast<unsigned long long>(seed), static_cast<unsigned long long>(sent_ok),
      static_cast<unsigned long long>(run.delivered.load()),
      std::min(run.deaths.load(), kMaxDeaths), run.pauses.load(), run.reconnects.load(),
      static_cast<unsigned long long>(run.forced.load()), run.lives.size(),
      static_cast<unsigned long long>(missing), run.failures.empty() ? "ok" : "FAILED");
  for (const std::string& failure : run.failures) std::fprintf(g_report, "  %s\n", failure.c_str());
  std::fflush(g_report);
  return run.failures.empty();
}

}  // namespace

int main(int argc, char** argv) {
  // The transport prints a line for each forced push: not to the report.
  g_report = fdopen(dup(fileno(stdout)), "w");
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 8;
  const std::uint64_t first = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const int seeds = argc > 3 ? std::atoi(argv[3]) : 1;
  bool ok = true;
  for (int i = 0; i < seeds; ++i) ok = Soak(first + i, std::chrono::seconds(seconds)) && ok;
  return ok ? 0 : 1;
}
