#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "ipc/shm/primitives.h"
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
  StatsLock(const StatsLock&) = delete;
  StatsLock& operator=(const StatsLock&) = delete;

 private:
  base::KernelHandle mutex_;
  shm::MutexGuard held_;  // after the handle: given back before it closes
};

// The name of that lock's mutex, the same in every process of the user.
std::wstring StatsLockName();

class IpcQualityMonitor {
 public:
  void RecordSend(const StatKey& key, bool accepted);
  // A negative cost (the sender's clock ahead of ours) counts as 0.
  void RecordRecv(const StatKey& key, std::int64_t cost_us);

  // Read the table stored under HKEY_CURRENT_USER\<registry_key>, merge it
  // into the live one and write the result back, under StatsLock. Nothing
  // is stored for an empty key; a failed write is not reported.
  void ReportSend(const std::wstring& registry_key);
  void ReportRecv(const std::wstring& registry_key);

  SendTable send_table() const;
  RecvTable recv_table() const;

 private:
  mutable std::mutex send_mutex_;
  SendTable send_;
  mutable std::mutex recv_mutex_;
  RecvTable recv_;
};

}  // namespace ipc
