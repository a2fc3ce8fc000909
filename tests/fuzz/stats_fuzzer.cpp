// The stored IPC statistics: text that every process of the user writes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/stats_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ipc::SendTable send = ipc::ParseSendTable(text);
  const ipc::SendTable send_again = ipc::ParseSendTable(ipc::SendTableText(send));
  for (const auto& [key, counts] : send) {
    const auto found = send_again.find(key);
    if (found == send_again.end() || found->second.total != counts.total ||
        found->second.success != counts.success) {
      std::abort();
    }
  }
  // What was read is written back as it was read, and a merge never loses
  // counts nor moves a mean outside its inputs.
  const ipc::RecvTable recv = ipc::ParseRecvTable(text);
  const ipc::RecvTable again = ipc::ParseRecvTable(ipc::RecvTableText(recv));
  for (const auto& [key, counts] : recv) {
    const auto found = again.find(key);
    if (found == again.end() || found->second.total != counts.total) std::abort();
    ipc::RecvCounts merged = counts;
    ipc::MergeRecv(merged, {1, 0});
    const std::int64_t mean = std::max<std::int64_t>(counts.avg_cost, 0);
    if (merged.total < counts.total || merged.avg_cost > mean || merged.avg_cost < 0) {
      std::abort();
    }
  }
  return 0;
}
