#pragma once

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

// Field readers and writers for the JSON records that the product's
// processes exchange. Every failure is the JSON library's own exception.
namespace json_fields {

// How a number field treats a JSON boolean. The library's own reading of a
// 32-bit field takes true and false as 1 and 0; peers send booleans to some
// fields and expect others to refuse them.
enum class Booleans { kAsNumber, kRefused };

// The library converts a number with a fraction or an exponent to a field's
// type as the language does, which is undefined for one the type cannot hold
// (1e30 for an integer, 1e300 for a float). Such a number is refused with the
// library's type error; every other one is read as before, truncated.
template <typename Target>
void RefuseFloatOutOfRange(const nlohmann::json& value) {
  if (!value.is_number_float()) return;
  const double number = value.get<double>();
  bool fits = false;
  if constexpr (std::is_floating_point_v<Target>) {
    fits = std::fabs(number) <= static_cast<double>(std::numeric_limits<Target>::max());
  } else {
    const double limit = std::ldexp(1.0, std::numeric_limits<Target>::digits);
    const double truncated = std::trunc(number);
    fits = truncated < limit && truncated >= (std::is_signed_v<Target> ? -limit : 0.0);
  }
  if (!fits) throw nlohmann::json::type_error::create(302, "number out of range", &value);
}

template <typename T>
T ReadValue(const nlohmann::json& value, Booleans booleans = Booleans::kAsNumber) {
  if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
    if (booleans == Booleans::kRefused) {
      // The library's 64-bit reading refuses booleans with its usual type
      // error and converts every other number as the narrower reading would.
      using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
      RefuseFloatOutOfRange<Wide>(value);
      return static_cast<T>(value.get<Wide>());
    }
    RefuseFloatOutOfRange<T>(value);
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

// Copying, comparing and writing a JSON value recurse once per level, so a
// value nested a few thousand levels deep ends the process on a stack
// overflow. Every user may write into a channel or onto a command line, so
// text nested deeper than any real record is refused while it is parsed.
inline constexpr int kMaxNesting = 512;

// The whole text as one JSON value. Raises the library's parse error for bad
// text and for arrays or objects nested more than kMaxNesting levels deep;
// `too_deep`, when given, is set true for the latter.
inline nlohmann::json ParseBounded(std::string_view text, bool* too_deep = nullptr) {
  return nlohmann::json::parse(
      text, [too_deep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        if (opens && depth >= kMaxNesting) {
          if (too_deep != nullptr) *too_deep = true;
          throw nlohmann::json::parse_error::create(
              101, 0, "nesting deeper than " + std::to_string(kMaxNesting) + " levels", nullptr);
        }
        return true;
      });
}

template <typename T>
void WriteOptional(nlohmann::json& object, const char* key, const std::optional<T>& field) {
  if (field) object[key] = *field;
}

}  // namespace json_fields
