// Dates and times of observations, as decoded numbers, to a time scale.
#pragma once
#include <cstdint>
#include <limits>
#include <span>

namespace corvena {

// The time of a row that has none (numpy's NaT).
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

// Microseconds since 1970-01-01T00:00 (proleptic Gregorian) of the date and
// time of each row, given as decoded numbers: year, month and day as whole
// numbers (fractions are cut off), hour, minute and second as they are.
// kNoTime where the year, month, day or hour is NaN, the month is not 1 to
// 12, the day not within its month, the hour not 0 to 24, or the time
// beyond what 64 bits of microseconds hold. A NaN minute or second counts
// as 0. Every span holds out.size() numbers.
void civil_times(std::span<const double> year, std::span<const double> month, std::span<const double> day,
                 std::span<const double> hour, std::span<const double> minute, std::span<const double> second,
                 std::span<std::int64_t> out);

}  // namespace corvena
