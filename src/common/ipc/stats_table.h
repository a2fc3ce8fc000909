#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// The IPC statistics tables, their merge and their stored text form. Every
// process of the user adds to the same stored text, so whatever it holds is
// read as untrusted.
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

// Adds one run's counts to another's. A total that would pass 2^64 - 1
// stays there rather than wrapping round to a small count.
void MergeSend(SendCounts& into, const SendCounts& other);
// The mean weighted by counts. A negative transit time (the sender's clock
// ahead of ours) counts as 0, and so does a mean below 0 stored by a peer
// that let such a time wrap.
void MergeRecv(RecvCounts& into, const RecvCounts& other);

// The JSON form stored by every process: [[{"from","msg_id","to"},{counts}],...].
// Parsing yields an empty table for text that is not that form.
std::string SendTableText(const SendTable& table);
std::string RecvTableText(const RecvTable& table);
SendTable ParseSendTable(const std::string& text);
RecvTable ParseRecvTable(const std::string& text);

}  // namespace ipc
