#include "ipc/stats_table.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

#include "ipc/json_fields.h"
#include "system/fnv1a.h"

namespace ipc {
namespace {

using nlohmann::json;

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

std::uint64_t SaturatingSum(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

std::size_t StatKeyHash::operator()(const StatKey& key) const {
  const auto hash = [](std::int32_t field) {
    return fnv1a::Hash(static_cast<std::uint32_t>(field));
  };
  return static_cast<std::size_t>(hash(key.from) ^ hash(key.to) ^ hash(key.msg_id));
}

void MergeSend(SendCounts& into, const SendCounts& other) {
  into.total = SaturatingSum(into.total, other.total);
  into.success = SaturatingSum(into.success, other.success);
}

void MergeRecv(RecvCounts& into, const RecvCounts& other) {
  // The mean is taken over the true sum, so it stays between the two means
  // even when the stored total saturates.
  const auto total = static_cast<unsigned __int128>(into.total) + other.total;
  if (total == 0) {
    into.avg_cost = 0;
    return;
  }
  const auto weighted =
      static_cast<unsigned __int128>(into.total) * std::max<std::int64_t>(into.avg_cost, 0) +
      static_cast<unsigned __int128>(other.total) * std::max<std::int64_t>(other.avg_cost, 0);
  into.total = SaturatingSum(into.total, other.total);
  into.avg_cost = static_cast<std::int64_t>(weighted / total);
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

}  // namespace ipc
