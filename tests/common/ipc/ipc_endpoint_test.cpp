// The endpoint across real processes: KestovaIpc.exe plays the receiving
// product process, child roles of this executable the senders.
#include "ipc/ipc_endpoint.h"

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <algorithm>
#include <fstream>

#include "bus_process.h"
#include "install/install_layout.h"
#include "install/registry.h"
#include "ipc/ipc_quality_monitor.h"
#include "ipc/shm/channel.h"
#include "system/guid.h"
#include "system/privileges.h"
#include "system/quoting.h"
#include "system/text.h"
#include "test_support.h"

namespace {

using ipc::IpcEndpoint;
using ipc::IpcPacket;
using ipc::ModuleId;
using ipc::StatKey;
using ipc_test::BusProcess;
using ipc_test::RunBus;
using nlohmann::json;

// The listener of every test; nothing else in the suites plays it.
constexpr ModuleId kListener = ModuleId::HostService;
constexpr DWORD kWaitMs = 60000;

// ---- in the child processes ------------------------------------------------

// What a child found, written to a file the test reads: "ok" or the failed
// checks. A child that dies writes nothing.
class ChildReport {
 public:
  explicit ChildReport(const wchar_t* path) : path_(path) {}
  void Check(bool passed, const std::string& what) {
    if (!passed) failures_ += what + "; ";
  }
  int Finish() {
    std::ofstream(path_, std::ios::binary) << (failures_.empty() ? "ok" : failures_) << "\n";
    return failures_.empty() ? 0 : 1;
  }

 private:
  std::filesystem::path path_;
  std::string failures_;
};

std::unique_ptr<shm::Channel> Receiver(ModuleId module, bool global) {
  auto channel = shm::Channel::Open(ipc::ModuleName(module), global);
  EXPECT_TRUE(channel->connect(shm::ConnectMode::kReceiver)) << ipc::ModuleName(module);
  return channel;
}

// The "case" of the next packet on the channel (2 s at most).
std::string NextCase(shm::Channel& channel) {
  const shm::ReceiveBuffer buffer = channel.recv();
  if (buffer.empty()) return "<nothing>";
  const auto packet =
      ipc::ParseReceivedPacket({reinterpret_cast<const char*>(buffer.data()), buffer.size()});
  return packet ? packet->data.value("case", "<no case>") : "<not a packet>";
}

std::shared_ptr<IpcPacket> Packet(ModuleId to, const std::string& label, std::int32_t msg_id = 1) {
  return std::make_shared<IpcPacket>(ModuleId::Updater, to, msg_id, json{{"case", label}});
}

// Whether a packet can be placed on the module's channel: whether anyone
// receives there.
bool SomeoneReceives(ModuleId module) {
  const auto channel = shm::Channel::Open(ipc::ModuleName(module), IsElevated());
  const std::string text = *Packet(module, "probe")->WireText();
  return channel->connect(shm::ConnectMode::kSender) && channel->send(text.data(), text.size());
}

bool Wait(HANDLE event) { return WaitForSingleObject(event, kWaitMs) == WAIT_OBJECT_0; }

// Packets for the listener whose pid and message number it is given, each
// named by its "case": some pass the listener's filters, some must not.
// Returns the first two as sent.
std::vector<IpcPacket> Deliver(std::uint64_t listener, std::int32_t msg_id) {
  IpcEndpoint endpoint([] { return std::wstring(); });
  endpoint.Init(ModuleId::Updater);
  const auto send = [&](const std::string& label, auto adjust) {
    auto packet = Packet(kListener, label, msg_id);
    adjust(*packet);
    EXPECT_TRUE(endpoint.Send(packet)) << label;
    return packet;
  };
  const auto raw_send = [&](const std::string& label, auto adjust) {
    auto packet = Packet(kListener, label, msg_id + 1);
    adjust(*packet);
    const auto channel = shm::Channel::Open(ipc::ModuleName(kListener), IsElevated());
    const std::string text = *packet->WireText();
    EXPECT_TRUE(channel->connect(shm::ConnectMode::kSender) &&
                channel->send(text.data(), text.size()))
        << label;
  };
  const auto short_packet = send("short", [](IpcPacket&) {});
  const auto long_packet = send("long", [](IpcPacket& packet) {
    packet.data["pad"] = "";
    packet.data["pad"] = std::string(300 - packet.WireText()->size(), 'x');
  });
  send("no target pid", [](IpcPacket& packet) { packet.to_process_id.reset(); });
  send("listener's pid", [&](IpcPacket& packet) { packet.to_process_id = listener; });
  send("other pid", [&](IpcPacket& packet) { packet.to_process_id = listener + 4; });
  send("listener's own", [&](IpcPacket& packet) { packet.from_process_id = listener; });
  send("listener's own, handled", [&](IpcPacket& packet) {
    packet.from_process_id = listener;
    packet.handle_self_ipc = true;
  });
  // Only a raw send puts a packet for another module on the listener's channel.
  raw_send("other module", [](IpcPacket& packet) { packet.to = ModuleId::DesktopCompanion; });
  raw_send("clock ahead", [](IpcPacket& packet) { *packet.send_time_us += 60'000'000; });
  send("end", [](IpcPacket&) {});
  endpoint.Shutdown();
  return {*short_packet, *long_packet};
}

// Sends packets and shuts down when told: with others at once.
int Burst(int, wchar_t** argv) {
  ChildReport report(argv[3]);
  const std::int32_t msg_id = std::stoi(argv[4]);
  const int count = std::stoi(argv[5]);
  const base::KernelHandle shut(OpenEventW(SYNCHRONIZE, FALSE, argv[6]));
  InstallLayout::Instance().Init(L"Kestova");
  IpcEndpoint& endpoint = IpcEndpoint::Instance();
  endpoint.Init(ModuleId::Unknown);
  for (int i = 0; i < count; ++i) {
    report.Check(endpoint.Send(std::make_shared<IpcPacket>(ModuleId::LaunchAgent, kListener, msg_id,
                                                           json{{"packet", i}})),
                 fmt::format("packet {} not sent", i));
  }
  report.Check(Wait(shut.get()), "never told to shut down");
  endpoint.Shutdown();
  return report.Finish();
}

// Sends one packet to VmCore, says so on the named event, and shuts down.
int SendAndExit(int, wchar_t** argv) {
  ChildReport report(argv[3]);
  const base::KernelHandle sent(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]));
  IpcEndpoint& endpoint = IpcEndpoint::Instance();
  endpoint.Init(ModuleId::Unknown);
  report.Check(endpoint.Send(Packet(ModuleId::VmCore, "last words"), true), "not sent");
  SetEvent(sent.get());
  endpoint.Shutdown();
  return report.Finish();
}

const test_support::ChildRole kBurstChild(L"burst", Burst);
const test_support::ChildRole kSendAndExitChild(L"send-and-exit", SendAndExit);

// ---- in the test process ---------------------------------------------------

class IpcEndpointTest : public testing::Test {
 protected:
  // The stored statistics are the user's own; each test counts under message
  // numbers of its own and takes them out again.
  void SetUp() override {
    InstallLayout::Instance().Init(L"Kestova");
    msg_id_ = 0x40000000 + static_cast<std::int32_t>(GetCurrentProcessId() % 0x10000) * 0x100;
    ForgetStats();
  }
  void TearDown() override { ForgetStats(); }

  void ForgetStats() {
    const ipc::StatsLock lock;
    const std::wstring key = InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other);
    const auto ours = [&](const auto& entry) {
      return entry.first.msg_id >= msg_id_ && entry.first.msg_id < msg_id_ + 0x100;
    };
    ipc::SendTable sends = ipc::ParseSendTable(Stored(ipc::kSendStatsValue));
    std::erase_if(sends, ours);
    EXPECT_TRUE(WriteRegString(HKEY_CURRENT_USER, key, ipc::kSendStatsValue,
                               Utf8ToWide(ipc::SendTableText(sends))));
    ipc::RecvTable receipts = ipc::ParseRecvTable(Stored(ipc::kRecvStatsValue));
    std::erase_if(receipts, ours);
    EXPECT_TRUE(WriteRegString(HKEY_CURRENT_USER, key, ipc::kRecvStatsValue,
                               Utf8ToWide(ipc::RecvTableText(receipts))));
  }

  static std::string Stored(const wchar_t* value) {
    return WideToUtf8(ReadRegString(HKEY_CURRENT_USER,
                                    InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other),
                                    value, L"DEFAULT_VALUE"));
  }
  static ipc::SendCounts StoredSends(const StatKey& key) {
    return ipc::ParseSendTable(Stored(ipc::kSendStatsValue))[key];
  }
  static ipc::RecvCounts StoredReceipts(const StatKey& key) {
    return ipc::ParseRecvTable(Stored(ipc::kRecvStatsValue))[key];
  }

  // A child role and the file it reports to.
  struct Child {
    std::filesystem::path report;
    base::KernelHandle process;
    // The report's lines after the exit; the first is "ok" when every check
    // passed, and is missing when the child died.
    std::vector<std::string> Report() const {
      test_support::WaitForExitCode(process);
      return test_support::SplitLines(test_support::ReadFileBytes(report));
    }
  };
  Child StartChild(const std::wstring& role, const std::wstring& arguments = L"") {
    std::filesystem::path report = dir_.path() / test_support::UniqueName(role);
    return {report, test_support::StartChild(role, L"\"" + report.wstring() + L"\" " + arguments)};
  }

  test_support::TempDir dir_;
  std::int32_t msg_id_ = 0;
};

// What a printed packet was: its "case", "query", or "burst" for a packet of
// the Burst children.
std::string CaseOf(const std::string& line) {
  const json envelope = json::parse(line, nullptr, false);
  if (!envelope.is_object()) return "<not an envelope>";
  if (envelope.contains("response_channel")) return "query";
  const json data = envelope.value("data", json());
  return data.is_object() ? data.value("case", "burst") : data.dump();
}

// An endpoint of the test's own, receiving as Updater, with its statistics
// under a throw-away key: made, initialised and shut down once per run of
// the suite, in this process.
TEST_F(IpcEndpointTest, SendKeepsItsRulesCallbacksMayThrowAndShutdownEndsReceiving) {
  const std::wstring stats_key =
      L"SOFTWARE\\Velmora\\" + test_support::UniqueName(L"KestovaEndpointTest");
  IpcEndpoint endpoint([&stats_key] { return stats_key; });
  const auto play_global = Receiver(ModuleId::PlayService, true);
  const auto play_local = Receiver(ModuleId::PlayService, false);
  EXPECT_EQ(endpoint.TrySend(Packet(ModuleId::PlayService, "before Init"), true),
            ipc::SendResult::kNotRunning);
  const base::KernelHandle handled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const base::KernelHandle asked(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const base::KernelHandle survived(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  endpoint.RegisterMsgHandler(1, [&](std::shared_ptr<IpcPacket>) {
    SetEvent(handled.get());
    throw std::runtime_error("a handler that gives up");
  });
  endpoint.RegisterQueryResponser(2, [&](std::optional<json>) {
    SetEvent(asked.get());
    return json(std::string("\xff not UTF-8"));
  });
  endpoint.RegisterMsgHandler(3, [&](std::shared_ptr<IpcPacket>) { SetEvent(survived.get()); });

  endpoint.Init(ModuleId::Updater);
  EXPECT_TRUE(endpoint.receiving());
  EXPECT_TRUE(SomeoneReceives(ModuleId::Updater)) << "Init started no receiving task";

  for (const ModuleId unnamed : {static_cast<ModuleId>(10012), ModuleId::Unknown}) {
    for (const std::optional<bool> global : {std::optional<bool>(), std::optional(true)}) {
      EXPECT_EQ(endpoint.TrySend(Packet(unnamed, "unnamed"), global),
                ipc::SendResult::kUnnamedTarget);
    }
  }
  for (const char* prefix : {"Global", "Local"}) {
    const base::KernelHandle ring(
        OpenFileMappingA(FILE_MAP_READ, FALSE,
                         fmt::format("{}\\__IPC_SHM____QU_CONN__64__8__UNKNOWN", prefix).c_str()));
    EXPECT_FALSE(ring) << "a send opened the " << prefix << " ring of UNKNOWN";
  }
  // Each module whose marker Send checks, and no other.
  for (const ModuleId module : ipc::NamedModules()) {
    const bool checked = module == ModuleId::StoreClient || module == ModuleId::EmulatorClient ||
                         module == ModuleId::HostService || module == ModuleId::DesktopCompanion ||
                         module == ModuleId::SmartCompanion;
    EXPECT_EQ(ipc::IsReadinessChecked(module), checked) << ipc::ModuleName(module);
    if (!checked) continue;
    // Another kind of object under the marker's name is not the module.
    const base::KernelHandle squatter(
        CreateEventA(nullptr, TRUE, FALSE, ipc::InitedMutexName(module, false).c_str()));
    ASSERT_TRUE(squatter);
    for (const std::optional<bool> global :
         {std::optional<bool>(), std::optional(true), std::optional(false)}) {
      EXPECT_EQ(endpoint.TrySend(Packet(module, "not ready"), global),
                ipc::SendResult::kTargetNotReady);
    }
  }
  EXPECT_TRUE(endpoint.quality_monitor().send_table().empty()) << "refused sends were counted";
  EXPECT_EQ(endpoint.TrySend(Packet(ModuleId::VmCore, "nobody receives"), true),
            ipc::SendResult::kTransportRefused);
  const ipc::SendCounts undelivered = endpoint.quality_monitor().send_table().at({10004, 10017, 1});
  EXPECT_EQ(undelivered.total, 1u);
  EXPECT_EQ(undelivered.success, 0u);

  // Without a flag: global for a module whose marker is not checked...
  EXPECT_TRUE(endpoint.Send(Packet(ModuleId::PlayService, "unflagged")));
  EXPECT_TRUE(endpoint.Send(Packet(ModuleId::PlayService, "local"), false));
  EXPECT_EQ(NextCase(*play_global), "unflagged");
  EXPECT_EQ(NextCase(*play_local), "local");
  // ...and for a checked one, global only where its marker is.
  const auto smart_global = Receiver(ModuleId::SmartCompanion, true);
  const auto smart_local = Receiver(ModuleId::SmartCompanion, false);
  const base::KernelHandle local_marker(
      CreateMutexA(nullptr, TRUE, ipc::InitedMutexName(ModuleId::SmartCompanion, false).c_str()));
  EXPECT_TRUE(endpoint.Send(Packet(ModuleId::SmartCompanion, "local marker")));
  const base::KernelHandle global_marker(
      CreateMutexA(nullptr, TRUE, ipc::InitedMutexName(ModuleId::SmartCompanion, true).c_str()));
  EXPECT_TRUE(endpoint.Send(Packet(ModuleId::SmartCompanion, "global marker")));
  EXPECT_EQ(NextCase(*smart_local), "local marker");
  EXPECT_EQ(NextCase(*smart_global), "global marker");

  const auto to_self = [](std::int32_t msg_id, json data) {
    auto packet = std::make_shared<IpcPacket>(ModuleId::Updater, ModuleId::Updater, msg_id, data);
    packet->handle_self_ipc = true;
    return packet;
  };
  const bool own_namespace = IsElevated();
  EXPECT_TRUE(endpoint.Send(to_self(1, nullptr), own_namespace) && Wait(handled.get()))
      << "the throwing handler was not called";
  auto query = to_self(2, json{{"query_id", 2}, {"data", nullptr}});
  query->response_channel = "KestovaTestAnswer_" + NewGuidText();
  const auto answers = shm::Channel::Open(*query->response_channel, *query->uac);
  ASSERT_TRUE(answers->connect(shm::ConnectMode::kReceiver));
  EXPECT_TRUE(endpoint.Send(query, own_namespace) && Wait(asked.get()))
      << "the throwing answerer was not called";
  EXPECT_TRUE(answers->recv().empty()) << "an answer that cannot be written was sent";
  EXPECT_TRUE(endpoint.Send(to_self(3, nullptr), own_namespace) && Wait(survived.get()))
      << "the process did not go on after the throws";

  endpoint.Shutdown();
  EXPECT_FALSE(SomeoneReceives(ModuleId::Updater)) << "the receiving task outlived Shutdown";
  EXPECT_EQ(endpoint.TrySend(Packet(ModuleId::PlayService, "after Shutdown"), true),
            ipc::SendResult::kNotRunning);
  endpoint.Init(ModuleId::Updater);
  EXPECT_FALSE(SomeoneReceives(ModuleId::Updater)) << "an endpoint came back after Shutdown";
  const ipc::SendTable stored = ipc::ParseSendTable(
      WideToUtf8(ReadRegString(HKEY_CURRENT_USER, stats_key, ipc::kSendStatsValue, L"")));
  ASSERT_FALSE(stored.empty()) << "not stored where it was told";
  EXPECT_EQ(stored.size(), endpoint.quality_monitor().send_table().size());
  EXPECT_EQ(stored.at({10004, 10016, 1}).total, 2u) << "a send after Shutdown was counted";
  RegDeleteTreeW(HKEY_CURRENT_USER, stats_key.c_str());
}

// One listener for every packet of other processes: what the bus tool must
// refuse, a query, packets through the filters, and the counts of processes
// that shut down together.
TEST_F(IpcEndpointTest, PacketsReachTheListenerThroughItsFiltersAndEverySenderIsCounted) {
  constexpr int kPassing = 8;
  constexpr int kProcesses = 4;
  constexpr int kBurst = 10;
  const std::int32_t query_id = msg_id_ + 2;
  BusProcess listener(fmt::format(L"listen {} --idle-ms 20000 --count {} --answer {}",
                                  static_cast<int>(kListener), kPassing + kProcesses * kBurst,
                                  QuoteArgument(fmt::format("{}={{\"answer\":[1,2]}}", query_id))));
  ASSERT_TRUE(listener.WaitReady());

  // Bad input: the usage, exit 2 and nothing sent (the listener would print it).
  for (const wchar_t* arguments : {L"", L"send HostService 5 not-json"}) {
    SCOPED_TRACE(WideToUtf8(arguments));
    const ipc_test::BusRun run = RunBus(arguments);
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_TRUE(run.lines.empty());
  }

  const ipc_test::BusRun query =
      RunBus(fmt::format(L"query HostService {} {}", query_id, QuoteArgument("{\"q\":1}")));
  EXPECT_EQ(query.exit_code, 0u);
  EXPECT_EQ(query.lines, std::vector<std::string>{R"({"answer":[1,2]})"});

  const std::vector<IpcPacket> delivered = Deliver(listener.id(), msg_id_);

  const std::wstring shut_name = test_support::UniqueName(L"kestova-ipc-shut");
  const base::KernelHandle shut(CreateEventW(nullptr, TRUE, FALSE, shut_name.c_str()));
  std::vector<Child> bursts;
  for (int i = 0; i < kProcesses; ++i) {
    bursts.push_back(
        StartChild(L"burst", fmt::format(L"{} {} {}", msg_id_ + 3, kBurst, shut_name)));
  }
  // The listener ends once it has every packet; then they all shut down at once.
  ASSERT_EQ(listener.Finish(), 0u);
  SetEvent(shut.get());
  for (const Child& burst : bursts) EXPECT_EQ(burst.Report(), std::vector<std::string>{"ok"});

  const std::vector<std::string> lines = listener.lines();
  std::vector<std::string> cases;
  std::ranges::transform(lines.begin() + 1, lines.end(), std::back_inserter(cases), CaseOf);
  std::vector<std::string> expected = {
      "query",       "short", "long", "no target pid", "listener's pid", "listener's own, handled",
      "clock ahead", "end"};
  expected.insert(expected.end(), kProcesses * kBurst, "burst");
  EXPECT_EQ(cases, expected);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(json::parse(lines[2]), json(delivered[0]));
  EXPECT_EQ(json::parse(lines[3]), json(delivered[1]));

  const ipc::RecvCounts ahead = StoredReceipts({10004, static_cast<int>(kListener), msg_id_ + 1});
  EXPECT_EQ(ahead.total, 1u);
  EXPECT_EQ(ahead.avg_cost, 0);
  const StatKey burst_key{static_cast<int>(ModuleId::LaunchAgent), static_cast<int>(kListener),
                          msg_id_ + 3};
  EXPECT_EQ(StoredSends(burst_key).total, std::uint64_t{kProcesses * kBurst});
  EXPECT_EQ(StoredSends(burst_key).success, std::uint64_t{kProcesses * kBurst});
  EXPECT_EQ(StoredReceipts(burst_key).total, std::uint64_t{kProcesses * kBurst});
}

// A packet's chunk lives only while a process maps it, and a receiver maps
// it when it reads: a sender that exits at once loses the packet to a
// receiver busy elsewhere.
TEST_F(IpcEndpointTest, AnExitingSenderWaitsForABusyReceiverToTakeItsPacket) {
  const auto receiver = Receiver(ModuleId::VmCore, true);
  const std::wstring sent_name = test_support::UniqueName(L"kestova-ipc-sent");
  const base::KernelHandle sent(CreateEventW(nullptr, TRUE, FALSE, sent_name.c_str()));
  const Child sender = StartChild(L"send-and-exit", sent_name);
  ASSERT_TRUE(Wait(sent.get()));
  EXPECT_EQ(WaitForSingleObject(sender.process.get(), 500), WAIT_TIMEOUT) << "it did not wait";
  EXPECT_EQ(NextCase(*receiver), "last words");
  EXPECT_EQ(sender.Report(), std::vector<std::string>{"ok"});
}

}  // namespace
