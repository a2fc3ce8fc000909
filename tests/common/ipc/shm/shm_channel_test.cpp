// The channel across real processes: shm_peer.exe plays the other ends.
#include "ipc/shm/channel.h"

#include <gtest/gtest.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "ipc/shm/ring.h"
#include "shm_payload.h"
#include "system/text.h"
#include "test_support.h"

namespace {

using shm::Channel;
using shm::ConnectMode;
using shm_test::Expected;
using shm_test::Received;

// A named manual-reset event that peers open by name.
struct Gate {
  Gate()
      : name(test_support::UniqueName(L"kestova-shm-gate")),
        event(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
  void Open() const { SetEvent(event.get()); }
  bool Wait() const { return WaitForSingleObject(event.get(), 60000) == WAIT_OBJECT_0; }
  std::wstring name;
  base::KernelHandle event;
};

struct Peer {
  base::KernelHandle process;
  std::filesystem::path report;
  std::filesystem::path out;
  std::filesystem::path err;

  DWORD Finish() const { return test_support::WaitForExitCode(process); }
  // The streams are in text mode, so each "\n" printed reaches the file as "\r\n".
  std::string Out() const { return Text(out); }
  std::string Err() const { return Text(err); }
  static std::string Text(const std::filesystem::path& file) {
    std::string text = test_support::ReadFileBytes(file);
    std::erase(text, '\r');
    return text;
  }

  std::uint32_t ConnId() const {
    std::istringstream lines(test_support::ReadFileBytes(report));
    std::string word;
    std::uint32_t id = 0;
    lines >> word >> id;
    return id;
  }

  std::vector<Received> Messages() const {
    std::istringstream lines(test_support::ReadFileBytes(report));
    std::string first;
    std::getline(lines, first);
    std::vector<Received> messages;
    Received message;
    while (lines >> message.size >> message.hash >> message.tag >> message.sequence) {
      messages.push_back(message);
    }
    return messages;
  }
};

// A chunk size that no other test, iteration or concurrent run uses: a chunk
// block stays mapped, with its chunks' state, for as long as any process
// that used it lives.
std::size_t UnusedChunkSize() {
  static std::uint32_t next = 0;
  return 1024 * (200 + 16 * (GetCurrentProcessId() % 32) + next++ % 16);
}

// Waits (a minute at most) until a process has printed the text.
bool WaitForText(const std::filesystem::path& file, const std::string& text) {
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (Peer::Text(file).find(text) == std::string::npos) {
    if (GetTickCount64() > deadline) return false;
    Sleep(1);
  }
  return true;
}

class ShmChannelTest : public testing::Test {
 protected:
  Peer StartPeer(const std::wstring& arguments) {
    const std::wstring label = std::to_wstring(++peers_);
    Peer peer{{},
              temp_.path() / (L"report" + label),
              temp_.path() / (L"out" + label),
              temp_.path() / (L"err" + label)};
    const auto exe = test_support::BinaryDir() / "shm_peer.exe";
    peer.process = test_support::StartProcess(
        exe,
        L"\"" + exe.wstring() + L"\" " + arguments + L" report=\"" + peer.report.wstring() +
            L"\" parent=" + std::to_wstring(GetCurrentProcessId()),
        {.stdout_file = peer.out, .stderr_file = peer.err});
    EXPECT_TRUE(peer.process) << "cannot start shm_peer.exe: error " << GetLastError();
    return peer;
  }

  // A receiver process that is connected when this returns.
  Peer StartReceiver(int count, bool global = true, const Gate* hold = nullptr) {
    Gate ready;
    std::wstring arguments = L"role=recv name=" + WideName() + L" global=" +
                             (global ? L"1" : L"0") + L" count=" + std::to_wstring(count) +
                             L" ready=" + ready.name;
    if (hold != nullptr) arguments += L" hold=" + hold->name;
    Peer peer = StartPeer(arguments);
    const HANDLE waits[] = {ready.event.get(), peer.process.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0)
        << "receiver did not start";
    return peer;
  }

  Peer StartSender(std::size_t size, int count, std::uint32_t tag, const std::wstring& extra = L"",
                   bool global = true) {
    return StartPeer(L"role=send name=" + WideName() + L" global=" + (global ? L"1" : L"0") +
                     L" size=" + std::to_wstring(size) + L" count=" + std::to_wstring(count) +
                     L" tag=" + std::to_wstring(tag) + L" " + extra);
  }

  std::wstring WideName() const { return Utf8ToWide(name_); }

  static bool Send(Channel& channel, std::uint32_t tag, std::uint32_t sequence, std::size_t size) {
    const auto payload = shm_test::MakePayload(tag, sequence, size);
    return channel.send(payload.data(), payload.size());
  }

  // The channel's ring, seen from outside the channel.
  shm::Ring& SpyRing(bool global = true) {
    if (!spy_.acquire("__QU_CONN__64__8__" + name_, sizeof(shm::Ring), global)) {
      ADD_FAILURE() << "the ring cannot be mapped";
    }
    return *static_cast<shm::Ring*>(spy_.mem());
  }

  const std::string name_ = WideToUtf8(test_support::UniqueName(L"shmtest"));
  test_support::TempDir temp_;
  shm::handle spy_;
  int peers_ = 0;
};

// Other product processes open these objects by name; one wrong character
// and they talk to nobody.
TEST_F(ShmChannelTest, ChannelObjectsCarryTheNamesPeersOpen) {
  auto channel = Channel::Open(name_, true);
  ASSERT_TRUE(channel->connect(ConnectMode::kReceiver));
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  ASSERT_TRUE(Send(*sender, 2, 0, 100));
  const std::wstring name = WideName();
  for (const std::wstring& mapping :
       {L"Global\\__IPC_SHM____QU_CONN__64__8__" + name, L"Global\\__IPC_SHM____AC_CONN__" + name,
        L"Global\\__IPC_SHM___cond_shm__waiter_cond___RD_CONN__" + name,
        L"Global\\__IPC_SHM___cond_shm__waiter_cond___WT_CONN__" + name,
        L"Global\\__IPC_SHM___cond_shm__waiter_cond___CC_CONN__" + name,
        std::wstring(L"Global\\__IPC_SHM____CHUNK_INFO__1024")}) {
    EXPECT_TRUE(base::KernelHandle(OpenFileMappingW(FILE_MAP_READ, FALSE, mapping.c_str())))
        << WideToUtf8(mapping);
  }
  for (const std::wstring& semaphore : {L"Global\\_cond_sem__waiter_cond___RD_CONN__" + name,
                                        L"Global\\_cond_sem__waiter_cond___WT_CONN__" + name}) {
    EXPECT_TRUE(base::KernelHandle(OpenSemaphoreW(SYNCHRONIZE, FALSE, semaphore.c_str())))
        << WideToUtf8(semaphore);
  }
  for (const std::wstring& mutex :
       {L"Global\\_cond_lock__waiter_cond___RD_CONN__" + name, L"_waiter_lock___RD_CONN__" + name,
        L"_waiter_lock___CC_CONN__" + name}) {
    EXPECT_TRUE(base::KernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, mutex.c_str())))
        << WideToUtf8(mutex);
  }
  EXPECT_FALSE(base::KernelHandle(OpenFileMappingW(
      FILE_MAP_READ, FALSE, (L"Local\\__IPC_SHM____QU_CONN__64__8__" + name).c_str())));
}

TEST_F(ShmChannelTest, MessagesOfEverySizeArriveIntactInAnotherProcess) {
  const std::size_t sizes[] = {1, 63, 64, 65, 100, 1017, 100 * 1024, 5 * 1024 * 1024};
  Peer receiver = StartReceiver(std::size(sizes));
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  for (std::uint32_t i = 0; i < std::size(sizes); ++i) ASSERT_TRUE(Send(*sender, 1, i, sizes[i]));
  ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
  const auto messages = receiver.Messages();
  ASSERT_EQ(messages.size(), std::size(sizes));
  for (std::uint32_t i = 0; i < std::size(sizes); ++i) {
    EXPECT_EQ(messages[i], Expected(1, i, sizes[i])) << "size " << sizes[i];
  }
}

TEST_F(ShmChannelTest, SlotsCarryFragmentsOrAChunkIndex) {
  shm::Ring& ring = SpyRing();
  auto receiver = Channel::Open(name_, true);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(receiver->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  const auto slot_at = [&](std::uint64_t cursor) -> shm::Slot& { return ring.slots[cursor % 256]; };
  const auto receive_intact = [&](std::uint32_t sequence, std::size_t size) {
    const shm::ReceiveBuffer buffer = receiver->recv();
    ASSERT_FALSE(buffer.empty());
    EXPECT_EQ(shm_test::Describe(buffer.data(), buffer.size()), Expected(3, sequence, size));
  };

  std::uint64_t cursor = ring.write_cursor.load();
  ASSERT_TRUE(Send(*sender, 3, 0, 64));
  EXPECT_EQ(ring.write_cursor.load(), cursor + 1);
  EXPECT_EQ(slot_at(cursor).remain, 0);
  EXPECT_EQ(slot_at(cursor).storage, 0);
  receive_intact(0, 64);

  cursor = ring.write_cursor.load();
  ASSERT_TRUE(Send(*sender, 3, 1, 65));
  EXPECT_EQ(ring.write_cursor.load(), cursor + 1);
  EXPECT_EQ(slot_at(cursor).remain, 1);
  EXPECT_EQ(slot_at(cursor).storage, 1);
  receive_intact(1, 65);

  // With every chunk of its size taken, a 65-byte message goes in two fragments.
  shm::handle pool_mapping;
  ASSERT_TRUE(pool_mapping.acquire("__CHUNK_INFO__1024", shm::ChunkBlockBytes(1024), true));
  shm::ChunkBlock pool(pool_mapping.mem(), pool_mapping.size(), 1024);
  std::vector<std::int32_t> taken;
  while (const auto index = pool.Take(1u << 31)) taken.push_back(*index);
  cursor = ring.write_cursor.load();
  ASSERT_TRUE(Send(*sender, 3, 2, 65));
  for (std::int32_t index : taken) pool.Release(index, 1u << 31, ~0u);
  ASSERT_EQ(ring.write_cursor.load(), cursor + 2);
  EXPECT_EQ(slot_at(cursor).remain, 1);
  EXPECT_EQ(slot_at(cursor + 1).remain, -63);
  EXPECT_EQ(slot_at(cursor).storage, 0);
  receive_intact(2, 65);

  // 1017 bytes need the next chunk size.
  ASSERT_TRUE(Send(*sender, 3, 3, 1017));
  shm::handle bigger;
  EXPECT_TRUE(bigger.open_existing("__CHUNK_INFO__2048", true));
  receive_intact(3, 1017);
}

TEST_F(ShmChannelTest, ChunkMessagesBeyondThePoolGoAsFragments) {
  const std::size_t size = UnusedChunkSize() - 8;
  shm::Ring& ring = SpyRing();
  auto receiver = Channel::Open(name_, true);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(receiver->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  // Receivers copy a chunk message out and give the chunk back at once: a
  // reader elsewhere that keeps its chunks is what empties the pool.
  const std::size_t chunk_size = shm::ChunkSizeFor(size);
  shm::handle pool;
  ASSERT_TRUE(pool.acquire("__CHUNK_INFO__" + std::to_string(chunk_size),
                           shm::ChunkBlockBytes(chunk_size), true));
  shm::ChunkBlock block(pool.mem(), pool.size(), chunk_size);
  std::vector<std::int32_t> kept;
  while (const auto index = block.Take(1u << 31)) kept.push_back(*index);
  ASSERT_EQ(kept.size(), 32u);
  // The message takes more slots than the ring has, so it is read while it
  // is sent; once a chunk is free again the next one takes a single slot.
  std::vector<shm::ReceiveBuffer> held;
  std::thread reader([&] {
    for (int empty = 0; held.size() < 2 && empty < 5;) {
      shm::ReceiveBuffer buffer = receiver->recv();
      if (buffer.empty()) {
        ++empty;
      } else {
        held.push_back(std::move(buffer));
      }
    }
  });
  const std::uint64_t first = ring.write_cursor.load();
  const auto payload = shm_test::MakePayload(4, 0, size);
  const bool fragments_sent = sender->send(payload.data(), payload.size(), 10000);
  EXPECT_EQ(ring.write_cursor.load(), first + (size + 63) / 64);
  block.Release(kept.back(), 1u << 31, ~0u);
  const auto next = shm_test::MakePayload(4, 1, size);
  const bool chunk_sent = sender->send(next.data(), next.size(), 10000);
  reader.join();
  for (std::int32_t index : kept) block.Release(index, 1u << 31, ~0u);
  ASSERT_TRUE(fragments_sent && chunk_sent);
  EXPECT_EQ(ring.write_cursor.load(), first + (size + 63) / 64 + 1);
  ASSERT_EQ(held.size(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(shm_test::Describe(held[i].data(), held[i].size()), Expected(4, i, size));
  }
}

TEST_F(ShmChannelTest, ASleepingReceiverIsWokenByAMessageInFragments) {
  auto receiver = Channel::Open(name_, true);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(receiver->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  shm::handle count_block;
  ASSERT_TRUE(count_block.acquire("_cond_shm__waiter_cond___RD_CONN__" + name_, 4, true));
  const auto& sleeping = *static_cast<const std::atomic<std::int32_t>*>(count_block.mem());
  // With every 2048-byte chunk taken, 1500 bytes go as 24 fragments.
  shm::handle pool_mapping;
  ASSERT_TRUE(pool_mapping.acquire("__CHUNK_INFO__2048", shm::ChunkBlockBytes(2048), true));
  shm::ChunkBlock pool(pool_mapping.mem(), pool_mapping.size(), 2048);
  std::vector<std::int32_t> taken;
  while (const auto index = pool.Take(1u << 31)) taken.push_back(*index);

  shm::ReceiveBuffer received;
  std::thread reading([&] { received = receiver->recv(); });
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (sleeping.load() <= 0 && GetTickCount64() < deadline) SwitchToThread();
  const bool asleep = sleeping.load() > 0;
  const bool sent = Send(*sender, 15, 0, 1500);
  reading.join();
  for (std::int32_t index : taken) pool.Release(index, 1u << 31, ~0u);
  ASSERT_TRUE(asleep);
  ASSERT_TRUE(sent);
  ASSERT_FALSE(received.empty()) << "the receiver slept through the message";
  EXPECT_EQ(shm_test::Describe(received.data(), received.size()), Expected(15, 0, 1500));
}

TEST_F(ShmChannelTest, EveryReceiverProcessGetsEveryMessageSentAfterItConnected) {
  auto early = Channel::Open(name_, true);
  ASSERT_TRUE(early->connect(ConnectMode::kReceiver));
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  ASSERT_TRUE(Send(*sender, 5, 0, 10));  // before the receiver processes exist

  const std::size_t sizes[] = {8, 64, 500, 3000, 70, 12};
  std::vector<Peer> receivers;
  for (int i = 0; i < 3; ++i) receivers.push_back(StartReceiver(std::size(sizes)));
  for (std::uint32_t i = 0; i < std::size(sizes); ++i)
    ASSERT_TRUE(Send(*sender, 5, i + 1, sizes[i]));
  for (const Peer& receiver : receivers) {
    ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
    const auto messages = receiver.Messages();
    ASSERT_EQ(messages.size(), std::size(sizes));
    for (std::uint32_t i = 0; i < std::size(sizes); ++i) {
      EXPECT_EQ(messages[i], Expected(5, i + 1, sizes[i]));
    }
  }
  const shm::ReceiveBuffer first = early->recv();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(shm_test::Describe(first.data(), first.size()), Expected(5, 0, 10));
}

TEST_F(ShmChannelTest, AtMostThirtyTwoReceivers) {
  std::vector<std::unique_ptr<Channel>> receivers;
  for (int i = 0; i < 32; ++i) {
    receivers.push_back(Channel::Open(name_, true));
    ASSERT_TRUE(receivers.back()->connect(ConnectMode::kReceiver)) << i;
  }
  auto extra = Channel::Open(name_, true);
  EXPECT_FALSE(extra->connect(ConnectMode::kReceiver));
  receivers.pop_back();
  EXPECT_TRUE(extra->connect(ConnectMode::kReceiver));
}

TEST_F(ShmChannelTest, SendingWithoutAReceiverFails) {
  Peer sender = StartSender(16, 1, 6);
  EXPECT_EQ(sender.Finish(), 23u);
  EXPECT_EQ(sender.Err(), "fail: send, there is no receiver on this connection.\n");
}

// Sends one of this process's standard streams into a file for as long as it
// lives.
class CapturedStream {
 public:
  CapturedStream(std::FILE* stream, const std::filesystem::path& file)
      : stream_(stream), path_(file) {
    std::fflush(stream_);
    saved_ = _dup(_fileno(stream_));
    file_ = _wfopen(file.c_str(), L"wb");
    _dup2(_fileno(file_), _fileno(stream_));
  }
  ~CapturedStream() { Restore(); }
  std::string Restore() {
    if (file_ != nullptr) {
      std::fflush(stream_);
      _dup2(saved_, _fileno(stream_));
      _close(saved_);
      std::fclose(file_);
      file_ = nullptr;
    }
    return Peer::Text(path_);
  }

 private:
  std::FILE* stream_;
  std::filesystem::path path_;
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

// The receiver that stopped reading is cut off; when it reads again it finds
// a newcomer holding its old bit, connects afresh and gets what comes next.
TEST_F(ShmChannelTest, AFullRingCutsOffTheReceiverThatStoppedReadingUntilItReconnects) {
  shm::Ring& ring = SpyRing();
  auto stalled = Channel::Open(name_, true);
  auto reading = Channel::Open(name_, true);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(stalled->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(reading->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  for (std::uint32_t i = 0; i < 256; ++i) {
    ASSERT_TRUE(Send(*sender, 7, i, 16));
    ASSERT_FALSE(reading->recv().empty());
  }
  CapturedStream capture(stdout, temp_.path() / "stdout");
  const bool sent = Send(*sender, 7, 256, 16);
  const std::string out = capture.Restore();
  ASSERT_TRUE(sent);
  const std::uint32_t stalled_bit = stalled->receiver_bit();
  const std::string bits = std::to_string(stalled_bit | reading->receiver_bit());
  EXPECT_EQ(out,
            "force_push: msg_id = 256, remain = -48, size = 16\n"
            "force_push: k = 0, cc = " +
                bits + ", rem_cc = " + std::to_string(stalled_bit) + "\n");
  EXPECT_EQ(ring.cc.load(), reading->receiver_bit());

  auto newcomer = Channel::Open(name_, true);
  ASSERT_TRUE(newcomer->connect(ConnectMode::kReceiver));
  ASSERT_EQ(newcomer->receiver_bit(), stalled_bit);
  ASSERT_TRUE(Send(*sender, 7, 257, 16));
  CapturedStream err(stderr, temp_.path() / "stderr");
  EXPECT_TRUE(stalled->recv().empty());
  EXPECT_NE(err.Restore().find("[recv] receiver " + std::to_string(stalled_bit) + " was overtaken"),
            std::string::npos);
  EXPECT_NE(stalled->receiver_bit(), stalled_bit);
  EXPECT_EQ(ring.cc.load() & stalled_bit, stalled_bit) << "the newcomer lost its bit";

  ASSERT_TRUE(Send(*sender, 7, 258, 16));
  const std::pair<Channel*, std::vector<std::uint32_t>> expected[] = {
      {reading.get(), {256, 257, 258}}, {newcomer.get(), {257, 258}}, {stalled.get(), {258}}};
  for (const auto& [receiver, sequences] : expected) {
    for (std::uint32_t sequence : sequences) {
      const shm::ReceiveBuffer buffer = receiver->recv();
      ASSERT_FALSE(buffer.empty()) << sequence;
      EXPECT_EQ(shm_test::Describe(buffer.data(), buffer.size()), Expected(7, sequence, 16));
    }
  }
}

// A sender that died inside a slot: after claiming it and moving the cursor
// (its receivers wait at the slot while later ones are written, then connect
// afresh), or before moving the cursor (the next send takes the slot over
// and nobody loses anything).
TEST_F(ShmChannelTest, AReceiverHearsAgainAfterASenderDiedInsideASlot) {
  for (const bool cursor_moved : {true, false}) {
    SCOPED_TRACE(cursor_moved ? "cursor moved" : "cursor not moved");
    shm::Ring& ring = SpyRing();
    Peer receiver = StartReceiver(cursor_moved ? 1 : 2);
    auto sender = Channel::Open(name_, true);
    ASSERT_TRUE(sender->connect(ConnectMode::kSender));
    const std::uint64_t cursor = ring.write_cursor.load();
    shm::Slot& slot = ring.slots[cursor % 256];
    slot.read_state.store(((((slot.read_state.load() >> 32) & 0xFFFFFF) + 1) << 32) |
                          (ring.epoch.load() & 0xFF00000000000000ull) | ring.cc.load());
    if (cursor_moved) ring.write_cursor.store(cursor + 1);

    // The dead claim costs no receiver its place. The force_push texts of a
    // claim that moved the cursor are caught here, and nothing else: a
    // failure printed meanwhile would be lost with them.
    CapturedStream out(stdout, temp_.path() / "stdout");
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(Send(*sender, 14, 0, 16));
    EXPECT_LT(GetTickCount64() - start, 2000u) << "the send stalled on the dead sender's slot";
    out.Restore();
    if (cursor_moved) {
      ASSERT_TRUE(WaitForText(receiver.err, "[recv] receiver "));
    }
    ASSERT_TRUE(Send(*sender, 14, 1, 16));
    ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
    const std::vector<shm_test::Received> expected =
        cursor_moved ? std::vector{Expected(14, 1, 16)}
                     : std::vector{Expected(14, 0, 16), Expected(14, 1, 16)};
    EXPECT_EQ(receiver.Messages(), expected);
    EXPECT_EQ(std::ranges::count(receiver.Err(), '\n'), cursor_moved ? 1 : 0) << receiver.Err();
  }
}

TEST_F(ShmChannelTest, SeveralSenderProcessesAtOnceLoseNothingAndKeepTheirOrder) {
  // Fewer slots than the ring holds in all, so no send can find it full.
  constexpr int kSenders = 3;
  constexpr int kPerSender = 60;
  constexpr std::size_t kSize = 40;
  auto receiver = Channel::Open(name_, true);
  ASSERT_TRUE(receiver->connect(ConnectMode::kReceiver));
  Gate go;
  std::vector<Peer> senders;
  for (int tag = 0; tag < kSenders; ++tag) {
    senders.push_back(StartSender(kSize, kPerSender, 100 + tag, L"go=" + go.name));
  }
  go.Open();
  std::vector<std::uint32_t> next(kSenders, 0);
  for (int received = 0; received < kSenders * kPerSender; ++received) {
    const shm::ReceiveBuffer buffer = receiver->recv();
    ASSERT_FALSE(buffer.empty()) << "after " << received;
    const Received message = shm_test::Describe(buffer.data(), buffer.size());
    ASSERT_GE(message.tag, 100u);
    ASSERT_LT(message.tag, 100u + kSenders);
    const std::uint32_t expected_sequence = next[message.tag - 100]++;
    ASSERT_EQ(message, Expected(message.tag, expected_sequence, kSize));
  }
  for (const Peer& sender : senders) EXPECT_EQ(sender.Finish(), 0u) << sender.Out() << sender.Err();
}

TEST_F(ShmChannelTest, GlobalAndLocalChannelsOfOneNameAreApart) {
  auto global_receiver = Channel::Open(name_, true);
  auto local_receiver = Channel::Open(name_, false);
  ASSERT_TRUE(global_receiver->connect(ConnectMode::kReceiver));
  ASSERT_TRUE(local_receiver->connect(ConnectMode::kReceiver));
  auto global_sender = Channel::Open(name_, true);
  auto local_sender = Channel::Open(name_, false);
  ASSERT_TRUE(global_sender->connect(ConnectMode::kSender));
  ASSERT_TRUE(local_sender->connect(ConnectMode::kSender));
  ASSERT_TRUE(Send(*global_sender, 8, 0, 20));
  ASSERT_TRUE(Send(*local_sender, 8, 1, 20));
  const shm::ReceiveBuffer local = local_receiver->recv();
  const shm::ReceiveBuffer global = global_receiver->recv();
  EXPECT_EQ(shm_test::Describe(local.data(), local.size()), Expected(8, 1, 20));
  EXPECT_EQ(shm_test::Describe(global.data(), global.size()), Expected(8, 0, 20));
}

TEST_F(ShmChannelTest, AWaiterLockLeftByADeadProcessIsTakenOver) {
  // Held open here, so the mutex outlives the process that dies holding it.
  shm::NamedMutex keep_alive;
  ASSERT_TRUE(keep_alive.Open("_waiter_lock___WT_CONN__" + name_));
  Gate ready;
  Peer holder = StartPeer(L"role=hold-lock lock=_waiter_lock___WT_CONN__" + WideName() +
                          L" ready=" + ready.name);
  ASSERT_EQ(holder.Finish(), 0u);
  Peer receiver = StartReceiver(2);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  ASSERT_TRUE(Send(*sender, 9, 0, 30));
  ASSERT_TRUE(Send(*sender, 9, 1, 30));
  ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
  EXPECT_EQ(receiver.Messages().size(), 2u);
  const std::string out = receiver.Out();
  const std::string text = ": WAIT_ABANDONED, try again.\n";
  const size_t first = out.find(text);
  EXPECT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(text, first + 1), std::string::npos) << out;
}

// Runs `step` and waits for it as long as a lock may wait for a dead holder
// and its takeover, with room to spare. A step that hangs ends the whole
// program here: its thread cannot be stopped, and the test's name is then
// the last thing printed.
void CompletesSoon(const std::string& what, std::function<void()> step) {
  const auto done =
      std::make_shared<base::KernelHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread([done, step = std::move(step)] {
    step();
    SetEvent(done->get());
  }).detach();
  if (WaitForSingleObject(done->get(), 20000) == WAIT_OBJECT_0) return;
  ADD_FAILURE() << what << " still waits for a lock whose holder was killed";
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), 1);
}

TEST_F(ShmChannelTest, SpinLocksOfAKilledHolderAreTakenOver) {
  // Each holder takes a lock for real and is killed holding it; the blocks
  // are held open here, so the word stays 1 after the process is gone.
  const auto kill_holding = [&](const std::wstring& which) {
    Gate ready;
    Peer holder = StartPeer(L"role=hold-spin name=" + WideName() + L" global=1 ready=" +
                            ready.name + L" " + which);
    const HANDLE waits[] = {ready.event.get(), holder.process.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0) << holder.Err();
    TerminateProcess(holder.process.get(), 1);
    WaitForSingleObject(holder.process.get(), INFINITE);
  };

  // The ring's construct lock: the next Open constructs the ring.
  shm::Ring& ring = SpyRing();
  kill_holding(L"");
  ASSERT_EQ(ring.construct_lock.load(), 1u);
  std::unique_ptr<Channel> receiver;
  CompletesSoon("Open", [&] { receiver = Channel::Open(name_, true); });
  ASSERT_TRUE(receiver->connect(ConnectMode::kReceiver));
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));

  // A chunk block's lock, taken while its free list was half built: sends
  // of that size go on in chunks, none handed out twice, so every message
  // still held reads as sent.
  const std::size_t chunk_size = UnusedChunkSize();
  const std::size_t size = chunk_size - 8;
  shm::handle block;
  ASSERT_TRUE(block.acquire("__CHUNK_INFO__" + std::to_string(chunk_size),
                            shm::ChunkBlockBytes(chunk_size), true));
  kill_holding(L"chunk=" + std::to_wstring(chunk_size) + L" half_built=1");
  std::vector<shm::ReceiveBuffer> held;
  for (std::uint32_t sequence = 0; sequence < 20; ++sequence) {
    bool sent = false;
    CompletesSoon("send", [&] { sent = Send(*sender, 13, sequence, size); });
    ASSERT_TRUE(sent);
    held.push_back(receiver->recv());
    ASSERT_FALSE(held.back().empty());
  }
  for (std::uint32_t sequence = 0; sequence < held.size(); ++sequence) {
    EXPECT_EQ(shm_test::Describe(held[sequence].data(), held[sequence].size()),
              Expected(13, sequence, size));
  }
  // The same lock again: the next chunk message is taken, and given back
  // as it is received.
  kill_holding(L"chunk=" + std::to_wstring(chunk_size));
  bool sent = false;
  shm::ReceiveBuffer last;
  CompletesSoon("a chunk message", [&] {
    sent = Send(*sender, 13, 20, size);
    if (sent) last = receiver->recv();
  });
  ASSERT_TRUE(sent);
  EXPECT_EQ(shm_test::Describe(last.data(), last.size()), Expected(13, 20, size));
  EXPECT_EQ(static_cast<shm::ChunkBlockHeader*>(block.mem())->lock.load(), 0u);
}

TEST_F(ShmChannelTest, ForgedSlotsAreSkippedWithTheirTexts) {
  shm::Ring& ring = SpyRing();
  Peer receiver = StartReceiver(2);
  auto sender = Channel::Open(name_, true);
  ASSERT_TRUE(sender->connect(ConnectMode::kSender));
  // Written the way a sender claims and fills a slot.
  const auto forge = [&](std::int32_t remain, std::uint8_t storage, std::int32_t index) {
    const std::uint64_t cursor = ring.write_cursor.load();
    shm::Slot& slot = ring.slots[cursor % 256];
    slot.read_state.store(((((slot.read_state.load() >> 32) & 0xFFFFFF) + 1) << 32) |
                          (ring.epoch.load() & 0xFF00000000000000ull) | ring.cc.load());
    ring.write_cursor.store(cursor + 1);
    slot.conn_id = 0xFFFFFFF0;
    slot.id = 0xFFFFFF00 + static_cast<std::uint32_t>(cursor % 256);
    slot.remain = remain;
    slot.storage = storage;
    std::memcpy(slot.data, &index, sizeof(index));
    slot.commit_mark.store(~cursor);
  };
  forge(100 - 64, 1, 45);  // chunk index out of range
  forge(100 - 64, 1, -2);  // negative chunk index
  ASSERT_TRUE(Send(*sender, 10, 0, 20));
  forge(0x7FFFFF00, 0, 0);  // a first fragment announcing almost 2 GiB
  ASSERT_TRUE(Send(*sender, 10, 1, 20));

  ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
  const auto messages = receiver.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], Expected(10, 0, 20));
  EXPECT_EQ(messages[1], Expected(10, 1, 20));
  const std::string err = receiver.Err();
  EXPECT_NE(err.find("[find_storage] id is invalid: id = 45, size = 100\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("[find_storage] id is invalid: id = -2, size = 100\n"), std::string::npos)
      << err;
  EXPECT_NE(receiver.Out().find("fail: shm::handle for large message. msg_id: "),
            std::string::npos);
}

TEST_F(ShmChannelTest, AChunkOutlivesASenderThatWaitsForItsReaders) {
  const std::size_t size = UnusedChunkSize() - 8;
  Gate hold;
  Gate sent;
  Peer receiver = StartReceiver(1, true, &hold);
  Peer sender = StartSender(size, 1, 11, L"sent=" + sent.name + L" wait_chunks=30000");
  ASSERT_TRUE(sent.Wait());
  hold.Open();  // the receiver maps the chunk block only now
  EXPECT_EQ(sender.Finish(), 0u) << sender.Err();
  ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
  ASSERT_EQ(receiver.Messages().size(), 1u);
  EXPECT_EQ(receiver.Messages()[0], Expected(11, 0, size));
}

TEST_F(ShmChannelTest, AChunkWhoseSenderIsGoneIsSkippedAndCorruptsNothing) {
  const std::size_t size = UnusedChunkSize() - 8;
  Gate hold;
  Peer receiver = StartReceiver(1, true, &hold);
  Peer sender = StartSender(size, 1, 12);
  ASSERT_EQ(sender.Finish(), 0u) << sender.Err();  // gone, and its chunk block with it
  hold.Open();
  // Only once the receiver has passed over the orphaned message may a new
  // block of that size exist; before, the orphan would read the new chunk.
  ASSERT_TRUE(WaitForText(receiver.out, "fail: shm::handle for large message. msg_id: "));
  auto again = Channel::Open(name_, true);
  ASSERT_TRUE(again->connect(ConnectMode::kSender));
  ASSERT_TRUE(Send(*again, 12, 1, size));
  ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
  const auto messages = receiver.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Expected(12, 1, size));
}

// A process takes its ids from the counter of its first channel's
// namespace; whichever that is, it must move both counters past the ids it
// takes, or a peer bound to the other one (one that cannot reach the global
// namespace, say) gets the same id and drops the other's messages as its own.
TEST_F(ShmChannelTest, ConnectionIdsStayUniqueAcrossNamespaces) {
  shm::handle local_ids;
  shm::handle global_ids;
  ASSERT_TRUE(local_ids.acquire("__CA_CONN__", 4, false));
  ASSERT_TRUE(global_ids.acquire("__CA_CONN__", 4, true));
  auto& local = *static_cast<std::atomic<std::uint32_t>*>(local_ids.mem());
  auto& global = *static_cast<std::atomic<std::uint32_t>*>(global_ids.mem());
  struct Case {
    bool receiver_first_global;
    bool sender_first_global;
  };
  for (const Case& test : {Case{true, false}, Case{false, true}}) {
    SCOPED_TRACE(test.receiver_first_global ? "global-bound receiver" : "local-bound receiver");
    // The counter the receiver is bound to runs far ahead of the other.
    std::atomic<std::uint32_t>& ahead = test.receiver_first_global ? global : local;
    const std::uint32_t floor = std::max(local.load(), global.load()) + 1000;
    for (std::uint32_t value = ahead.load();
         value < floor && !ahead.compare_exchange_weak(value, floor);) {
    }
    Gate ready;
    Peer receiver = StartPeer(L"role=recv name=" + WideName() + L" global=0 count=1 ready=" +
                              ready.name + L" first=" + (test.receiver_first_global ? L"1" : L"0"));
    ASSERT_EQ(WaitForSingleObject(ready.event.get(), 60000), WAIT_OBJECT_0);
    const std::uint32_t local_after_receiver = local.load();
    const std::uint32_t global_after_receiver = global.load();
    Peer sender = StartSender(
        16, 1, 13, L"first=" + std::wstring(test.sender_first_global ? L"1" : L"0"), false);
    ASSERT_EQ(sender.Finish(), 0u) << sender.Err();
    ASSERT_EQ(receiver.Finish(), 0u) << receiver.Err();
    EXPECT_NE(sender.ConnId(), receiver.ConnId());
    EXPECT_GT(local_after_receiver, receiver.ConnId());
    EXPECT_GT(global_after_receiver, receiver.ConnId());
    EXPECT_EQ(receiver.Messages().size(), 1u);
  }
}

}  // namespace
