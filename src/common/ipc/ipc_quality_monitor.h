#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "system/unique_resource.h"

// Per kind of packet, how many sends were tried and accepted, and how many
// packets arrived and how long they took. At shut-down the counts are added
// to what earlier runs of every process of the user stored in the registry.
namespace ipc {

struct StatKey {
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::int32_t msg_id = 0;
  bool operator==(const StatKey&) const = default;
};

// Exclusive-or of the 64-bit FNV-1a of each field's four little-endian bytes.
struct StatKeyHash {
  std::size_t operator()(const StatKey& key) const;
};

struct SendCounts {
  std::uint64_t total = 0;
  std::uint64_t success = 0;
};

struct RecvCounts {
  std::uint64_t total = 0;
  std::int64_t avg_cost = 0;  // microseconds
};

using SendTable = std::unordered_map<StatKey, SendCounts, StatKeyHash>;
using RecvTable = std::unordered_map<StatKey, RecvCounts, StatKeyHash>;

// Registry values under HKEY_CURRENT_USER\<product key>; every product
// process reads and writes them.
inline constexpr wchar_t kSendStatsValue[] = L"ipc_send_analysis";
inline constexpr wchar_t kRecvStatsValue[] = L"ipc_recv_analysis";

// The stored statistics are a read, a merge and a write shared by every
// process of the user; holding this lock makes that sequence whole. It waits
// a bounded time and counts as held on time-out too (the merge goes ahead
// rather than losing this process's counts).
class StatsLock {
 public:
  StatsLock();
  ~StatsLock();
  StatsLock(const StatsLock&) = delete;
  StatsLock& operator=(const StatsLock&) = delete;

  // Whether the mutex is really owned (not on time-out or failure).
  bool owned() const { return owned_; }

 private:
  base::KernelHandle mutex_;
  bool owned_ = false;
};

// The JSON form stored in the registry: [[{"from","msg_id","to"},{counts}],...].
// Parsing yields an empty table for text that is not that form.
std::string SendTableText(const SendTable& table);
std::string RecvTableText(const RecvTable& table);
SendTable ParseSendTable(const std::string& text);
RecvTable ParseRecvTable(const std::string& text);

class IpcQualityMonitor {
 public:
  // Without a key the product key of the install layout is used (the
  // statistics are not stored while the layout has none).
  explicit IpcQualityMonitor(std::optional<std::wstring> registry_key = std::nullopt);

  void RecordSend(const StatKey& key, bool accepted);
  // A negative cost (the sender's clock ahead of ours) counts as 0.
  void RecordRecv(const StatKey& key, std::int64_t cost_us);

  // Read the stored table, merge it into the live one and write the result
  // back, under StatsLock. A failed write is not reported.
  void ReportSend();
  void ReportRecv();

  SendTable send_table() const;
  RecvTable recv_table() const;

 private:
  std::wstring RegistryKey() const;

  std::optional<std::wstring> registry_key_;
  mutable std::mutex send_mutex_;
  SendTable send_;
  mutable std::mutex recv_mutex_;
  RecvTable recv_;
};

}  // namespace ipc
