#include "ipc/ipc_quality_monitor.h"

#include <sddl.h>

#include <vector>

#include "install/registry.h"
#include "system/security.h"
#include "system/text.h"

namespace ipc {
namespace {

// Long enough for any number of processes that merge at once (each merge is
// a registry read and write), short enough not to hold up an exit for long.
constexpr DWORD kStatsLockWaitMs = 2000;

std::string ReadStored(const std::wstring& key, const wchar_t* value_name) {
  return WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value_name, kRegAbsentMarker));
}

}  // namespace

// One name per user, in the global namespace, so that the user's processes
// in every session and at every elevation level take the same lock.
std::wstring StatsLockName() {
  base::KernelHandle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    base::LocalMemory<wchar_t> sid_text;
    if (size != 0 && GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                               sid_text.put())) {
      return L"Global\\kestova_ipc_stats_" + std::wstring(sid_text.get());
    }
  }
  return L"kestova_ipc_stats";
}

StatsLock::StatsLock()
    : mutex_(CreateMutexW(EveryoneSecurityAttributes(), FALSE, StatsLockName().c_str())),
      // An abandoned mutex is held all the same; its last owner died
      // mid-merge, and the stored text is whatever it managed to write.
      held_(shm::HoldMutex(mutex_.get(), kStatsLockWaitMs)) {}

namespace {

// Adds what earlier runs stored into the live table and stores the sum,
// under the user's lock so that processes ending together keep each other's
// counts.
template <typename Table, typename Parse, typename Merge, typename Text>
void MergeIntoStored(const std::wstring& key, Table& live, std::mutex& table_mutex,
                     const wchar_t* value_name, Parse parse, Merge merge, Text text) {
  if (key.empty()) return;
  std::lock_guard lock(table_mutex);
  const StatsLock stats_lock;
  for (const auto& [stat_key, counts] : parse(ReadStored(key, value_name))) {
    merge(live[stat_key], counts);
  }
  // Statistics are not worth a failure of their own: a failed write loses
  // this run's counts and nothing else.
  static_cast<void>(WriteRegString(HKEY_CURRENT_USER, key, value_name, Utf8ToWide(text(live))));
}

}  // namespace

void IpcQualityMonitor::RecordSend(const StatKey& key, bool accepted) {
  std::lock_guard lock(send_mutex_);
  SendCounts& counts = send_[key];
  ++counts.total;
  if (accepted) ++counts.success;
}

void IpcQualityMonitor::RecordRecv(const StatKey& key, std::int64_t cost_us) {
  std::lock_guard lock(recv_mutex_);
  MergeRecv(recv_[key], RecvCounts{1, cost_us});
}

void IpcQualityMonitor::ReportSend(const std::wstring& registry_key) {
  MergeIntoStored(registry_key, send_, send_mutex_, kSendStatsValue, ParseSendTable, MergeSend,
                  SendTableText);
}

void IpcQualityMonitor::ReportRecv(const std::wstring& registry_key) {
  MergeIntoStored(registry_key, recv_, recv_mutex_, kRecvStatsValue, ParseRecvTable, MergeRecv,
                  RecvTableText);
}

SendTable IpcQualityMonitor::send_table() const {
  std::lock_guard lock(send_mutex_);
  return send_;
}

RecvTable IpcQualityMonitor::recv_table() const {
  std::lock_guard lock(recv_mutex_);
  return recv_;
}

}  // namespace ipc
