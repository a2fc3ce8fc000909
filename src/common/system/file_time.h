#pragma once

#include <cstdint>

// FILETIME counts 100-ns units from 1601-01-01 UTC; the product's time stamps
// count from 1970-01-01 UTC. This is the distance between the two.
inline constexpr std::uint64_t kFileTimeUnitsBefore1970 = 116444736000000000ULL;
