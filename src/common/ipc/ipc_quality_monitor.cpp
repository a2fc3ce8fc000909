#include "ipc/ipc_quality_monitor.h"

#include <sddl.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

#include "install/install_layout.h"
#include "ipc/json_fields.h"
#include "install/registry.h"
#include "system/process.h"
#include "system/text.h"

namespace ipc {
namespace {

using nlohmann::json;

// Long enough for any number of processes that merge at once (each merge is
// a registry read and write), short enough not to hold up an exit for long.
constexpr DWORD kStatsLockWaitMs = 2000;
constexpr wchar_t kAbsentMarker[] = L"DEFAULT_VALUE";

std::uint64_t Fnv1a64(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::uint64_t hash = 14695981039346656037ull;
  for (int i = 0; i < 4; ++i) {
    hash ^= (bits >> (8 * i)) & 0xFF;
    hash *= 1099511628211ull;
  }
  return hash;
}

// One name per user, in the global namespace, so that the user's processes
// in every session and at every elevation level take the same lock.
std::wstring StatsLockName() {
  base::KernelHandle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    base::LocalMemory<wchar_t> sid_text;
    if (size != 0 &&
        GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                               sid_text.put())) {
      return L"Global\\kestova_ipc_stats_" + std::wstring(sid_text.get());
    }
  }
  return L"kestova_ipc_stats";
}

// An integer field that a JSON boolean, a floating value or, for unsigned
// fields, a negative number must not pass for.
template <typename T>
T ReadInteger(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number_integer()) {
    throw json::type_error::create(302, fmt::format("\"{}\" is not an integer", key), &value);
  }
  if constexpr (std::is_unsigned_v<T>) {
    if (!value.is_number_unsigned()) {
      throw json::type_error::create(302, fmt::format("\"{}\" is negative", key), &value);
    }
  }
  return value.get<T>();
}

json KeyJson(const StatKey& key) {
  return json{{"from", key.from}, {"to", key.to}, {"msg_id", key.msg_id}};
}

StatKey ReadKey(const json& object) {
  return {ReadInteger<std::int32_t>(object, "from"), ReadInteger<std::int32_t>(object, "to"),
          ReadInteger<std::int32_t>(object, "msg_id")};
}

template <typename Table, typename ReadCounts, typename Merge>
Table ParseTable(const std::string& text, ReadCounts read_counts, Merge merge) {
  Table table;
  try {
    // Every process of the user reads this value at shut-down.
    const json stored = json_fields::ParseBounded(text);
    for (const json& element : stored.template get_ref<const json::array_t&>()) {
      if (!element.is_array() || element.size() != 2) return {};
      merge(table[ReadKey(element.at(0))], read_counts(element.at(1)));
    }
    return table;
  } catch (const json::exception&) {
    return {};
  }
}

void MergeSend(SendCounts& into, const SendCounts& other) {
  into.total += other.total;
  into.success += other.success;
}

// The mean weighted by counts. A negative transit time (the sender's clock
// ahead of ours) counts as 0, and so does a mean below 0 stored by a peer
// that let such a time wrap.
void MergeRecv(RecvCounts& into, const RecvCounts& other) {
  const std::uint64_t total = into.total + other.total;
  if (total == 0) {
    into.avg_cost = 0;
    return;
  }
  const auto weighted =
      static_cast<unsigned __int128>(into.total) * std::max<std::int64_t>(into.avg_cost, 0) +
      static_cast<unsigned __int128>(other.total) * std::max<std::int64_t>(other.avg_cost, 0);
  into.total = total;
  into.avg_cost = static_cast<std::int64_t>(weighted / total);
}

std::string ReadStored(const std::wstring& key, const wchar_t* value_name) {
  return WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value_name, kAbsentMarker));
}

}  // namespace

std::size_t StatKeyHash::operator()(const StatKey& key) const {
  return static_cast<std::size_t>(Fnv1a64(key.from) ^ Fnv1a64(key.to) ^ Fnv1a64(key.msg_id));
}

StatsLock::StatsLock()
    : mutex_(CreateMutexW(EveryoneSecurityAttributes(), FALSE, StatsLockName().c_str())) {
  if (!mutex_) return;
  const DWORD waited = WaitForSingleObject(mutex_.get(), kStatsLockWaitMs);
  // An abandoned mutex is owned all the same; its last owner died mid-merge,
  // and the stored text is whatever it managed to write.
  owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

StatsLock::~StatsLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

std::string SendTableText(const SendTable& table) {
  json elements = json::array();
  for (const auto& [key, counts] : table) {
    elements.push_back(
        json::array({KeyJson(key), json{{"total", counts.total}, {"success", counts.success}}}));
  }
  return elements.dump();
}

std::string RecvTableText(const RecvTable& table) {
  json elements = json::array();
  for (const auto& [key, counts] : table) {
    elements.push_back(
        json::array({KeyJson(key), json{{"total", counts.total}, {"avg_cost", counts.avg_cost}}}));
  }
  return elements.dump();
}

SendTable ParseSendTable(const std::string& text) {
  return ParseTable<SendTable>(
      text,
      [](const json& counts) {
        return SendCounts{ReadInteger<std::uint64_t>(counts, "total"),
                          ReadInteger<std::uint64_t>(counts, "success")};
      },
      MergeSend);
}

RecvTable ParseRecvTable(const std::string& text) {
  return ParseTable<RecvTable>(
      text,
      [](const json& counts) {
        return RecvCounts{ReadInteger<std::uint64_t>(counts, "total"),
                          ReadInteger<std::int64_t>(counts, "avg_cost")};
      },
      MergeRecv);
}

IpcQualityMonitor::IpcQualityMonitor(std::optional<std::wstring> registry_key)
    : registry_key_(std::move(registry_key)) {}

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

void IpcQualityMonitor::ReportSend() {
  const std::wstring key = RegistryKey();
  if (key.empty()) return;
  std::lock_guard lock(send_mutex_);
  const StatsLock stats_lock;
  for (const auto& [stat_key, counts] : ParseSendTable(ReadStored(key, kSendStatsValue))) {
    MergeSend(send_[stat_key], counts);
  }
  WriteRegString(HKEY_CURRENT_USER, key, kSendStatsValue, Utf8ToWide(SendTableText(send_)));
}

void IpcQualityMonitor::ReportRecv() {
  const std::wstring key = RegistryKey();
  if (key.empty()) return;
  std::lock_guard lock(recv_mutex_);
  const StatsLock stats_lock;
  for (const auto& [stat_key, counts] : ParseRecvTable(ReadStored(key, kRecvStatsValue))) {
    MergeRecv(recv_[stat_key], counts);
  }
  WriteRegString(HKEY_CURRENT_USER, key, kRecvStatsValue, Utf8ToWide(RecvTableText(recv_)));
}

SendTable IpcQualityMonitor::send_table() const {
  std::lock_guard lock(send_mutex_);
  return send_;
}

RecvTable IpcQualityMonitor::recv_table() const {
  std::lock_guard lock(recv_mutex_);
  return recv_;
}

std::wstring IpcQualityMonitor::RegistryKey() const {
  if (registry_key_) return *registry_key_;
  return InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other);
}

}  // namespace ipc
