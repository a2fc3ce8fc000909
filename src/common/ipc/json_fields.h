#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// Field readers and writers for the JSON records that the product's
// processes exchange. Every failure is the JSON library's own exception.
namespace json_fields {

// How a number field treats a JSON boolean. The library's own reading of a
// 32-bit field takes true and false as 1 and 0; peers send booleans to some
// fields and expect others to refuse them.
enum class Booleans { kAsNumber, kRefused };

template <typename T>
T ReadValue(const nlohmann::json& value, Booleans booleans = Booleans::kAsNumber) {
  if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
    if (booleans == Booleans::kRefused) {
      // The library's 64-bit reading refuses booleans with its usual type
      // error and converts every other number as the narrower reading would.
      using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
      return static_cast<T>(value.get<Wide>());
    }
  }
  return value.get<T>();
}

// Raises when the key is missing or its value has the wrong type.
template <typename T>
void ReadRequired(const nlohmann::json& object, const char* key, T& field,
                  Booleans booleans = Booleans::kAsNumber) {
  field = ReadValue<T>(object.at(key), booleans);
}

// Read only when the key is there; null is there, and fails the type test.
template <typename T>
void ReadOptional(const nlohmann::json& object, const char* key, std::optional<T>& field,
                  Booleans booleans = Booleans::kAsNumber) {
  if (object.contains(key)) field = ReadValue<T>(object.at(key), booleans);
}

template <typename T>
void WriteOptional(nlohmann::json& object, const char* key, const std::optional<T>& field) {
  if (field) object[key] = *field;
}

}  // namespace json_fields
