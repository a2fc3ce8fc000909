#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "ipc/stats_table.h"
#include "system/unique_resource.h"

// Per kind of packet, how many sends were tried and accepted, and how many
// packets arrived and how long they took. At shut-down the counts are added
// to what earlier runs of every process of the user stored in the registry.
namespace ipc {

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

// The name of that lock's mutex, the same in every process of the user.
std::wstring StatsLockName();

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
