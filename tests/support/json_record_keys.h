#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// The JSON type a key is written with; numbers with their signedness.
enum class JsonKind { kString, kInt32, kUint32, kUint64, kFloat, kBool, kAny, kRecord };

// One key of a record as other processes read and write it, in the order in
// which the record reads its keys.
struct JsonKey {
  const char* name;
  JsonKind kind;
  bool required;
  // A number key that reads a JSON boolean as 0 or 1 instead of refusing it.
  bool booleans_as_numbers = false;
  // kRecord: a complete object of the nested record.
  nlohmann::json record = nullptr;
};

namespace json_keys_detail {

using nlohmann::json;

// A value that no other key shares and that a wrong width or signedness
// would change.
inline json Sample(const JsonKey& key, std::size_t index) {
  switch (key.kind) {
    case JsonKind::kString: return std::string("text of ") + key.name;
    case JsonKind::kInt32: return -2 - static_cast<std::int64_t>(index);
    case JsonKind::kUint32: return std::uint64_t{4000000000u} + index;
    case JsonKind::kUint64: return std::uint64_t{18446744073709550000u} + index;
    case JsonKind::kFloat: return 1.5 + static_cast<double>(index);
    case JsonKind::kBool: return index % 2 == 0;
    case JsonKind::kAny: return json::object({{"list", json::array({index, key.name})}});
    case JsonKind::kRecord: return key.record;
  }
  return nullptr;
}

// How a key of the kind is written, a value of the wrong type (none for kAny,
// which takes anything), and whether it is a number.
struct KindFacts {
  json::value_t written;
  std::optional<json> wrong;
  bool number;
};

inline KindFacts FactsOf(JsonKind kind) {
  using type = json::value_t;
  switch (kind) {
    case JsonKind::kString: return {type::string, 5, false};
    case JsonKind::kInt32: return {type::number_integer, "5", true};
    case JsonKind::kUint32:
    case JsonKind::kUint64: return {type::number_unsigned, "5", true};
    case JsonKind::kFloat: return {type::number_float, "5", true};
    case JsonKind::kBool: return {type::boolean, 1, false};
    case JsonKind::kAny: return {type::object, std::nullopt, false};
    case JsonKind::kRecord: return {type::object, 5, false};
  }
  return {};
}

inline std::optional<json> Field(const json& object, const char* name) {
  if (!object.contains(name)) return std::nullopt;
  return object.at(name);
}

// Reads the object into a copy of `base` and writes the result.
template <typename Record>
json ReadAndWrite(const Record& base, const json& object) {
  Record record = base;
  object.get_to(record);
  return record;
}

}  // namespace json_keys_detail

// Checks a record's reading and writing against its keys: one full object
// round-trips through text key for key, with each number's signedness; a
// missing key fails when required and otherwise leaves the base's value; null
// and a wrong type fail (a kAny key takes anything); a failed read keeps what
// it read before and nothing after; number keys take a fraction truncated and
// a boolean only when the table says so; unknown keys are ignored. `base` is
// what a read starts from.
template <typename Record>
void CheckRecordKeys(const Record& base, const std::vector<JsonKey>& keys) {
  using namespace json_keys_detail;
  json full = json::object();
  for (std::size_t i = 0; i < keys.size(); ++i) full[keys[i].name] = Sample(keys[i], i);
  json with_unknown = full;
  with_unknown["zz_unknown_key"] = 1;
  const json written = ReadAndWrite(base, json::parse(with_unknown.dump()));
  EXPECT_EQ(written.dump(), full.dump());
  const json before = base;

  for (std::size_t i = 0; i < keys.size(); ++i) {
    const JsonKey& key = keys[i];
    const KindFacts facts = FactsOf(key.kind);
    SCOPED_TRACE(key.name);
    EXPECT_EQ(Field(written, key.name).value_or(nullptr).type(), facts.written);

    json object = full;
    object.erase(key.name);
    if (key.required) {
      EXPECT_THROW(ReadAndWrite(base, object), json::out_of_range);
    } else {
      EXPECT_EQ(Field(ReadAndWrite(base, object), key.name), Field(before, key.name));
    }

    object = full;
    object[key.name] = nullptr;
    if (key.kind == JsonKind::kAny) {
      EXPECT_EQ(ReadAndWrite(base, object).at(key.name), nullptr);
    } else {
      EXPECT_THROW(ReadAndWrite(base, object), json::type_error);
    }

    if (facts.wrong) {
      object = full;
      object[key.name] = *facts.wrong;
      Record record = base;
      EXPECT_THROW(object.get_to(record), json::type_error);
      const json partial = record;
      for (std::size_t j = 0; j < keys.size(); ++j) {
        if (j == i) continue;
        EXPECT_EQ(Field(partial, keys[j].name),
                  j < i ? Field(full, keys[j].name) : Field(before, keys[j].name))
            << keys[j].name << (j < i ? " is read before " : " is read after ") << key.name;
      }
    }

    if (facts.number) {
      object = full;
      object[key.name] = 7.9;
      EXPECT_EQ(ReadAndWrite(base, object).at(key.name),
                key.kind == JsonKind::kFloat ? json(7.9f) : json(7));
      object[key.name] = true;
      if (key.booleans_as_numbers) {
        EXPECT_EQ(ReadAndWrite(base, object).at(key.name), 1);
      } else {
        EXPECT_THROW(ReadAndWrite(base, object), json::type_error);
      }
    }
  }
}

}  // namespace test_support
