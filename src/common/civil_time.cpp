#include "common/civil_time.hpp"

#include <cmath>

namespace corvena {

namespace {

bool leap(std::int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

// Days since 1970-01-01 of a valid proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// `x` rounded to the nearest whole number, half to even (as numpy rounds):
// adding and taking away 1.5 * 2^52 leaves the whole number the default
// rounding mode chose; from 2^52 on every double is whole already. (A call
// of rint costs more than the rest of a row.)
double round_half_even(double x) {
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    if (!(std::fabs(x) < 4503599627370496.0)) return x;
    volatile double shifted = x + kShift;  // kept from being folded away
    return shifted - kShift;
}

}  // namespace

void civil_times(std::span<const double> year, std::span<const double> month, std::span<const double> day,
                 std::span<const double> hour, std::span<const double> minute, std::span<const double> second,
                 std::span<std::int64_t> out) {
    static constexpr std::int64_t kMonthDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Rows one after the other mostly share their date: the last one's days are kept.
    std::int64_t last_date = -1;
    std::int64_t last_days = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double yr = year[i], mo = month[i], dy = day[i], h = hour[i];
        out[i] = kNoTime;
        // (NaN fails every comparison.)
        if (!(mo >= 1 && mo < 13 && dy >= 1 && dy < 32 && h >= 0 && h <= 24)) continue;
        // Years beyond these hold no time that 64 bits of microseconds reach.
        if (!(std::fabs(yr) < 1e6)) continue;
        const auto y = static_cast<std::int64_t>(yr);
        const auto m = static_cast<std::int64_t>(mo);
        const auto d = static_cast<std::int64_t>(dy);
        if (d > kMonthDays[m] + (m == 2 && leap(y))) continue;
        const std::int64_t date = (y + 2000000) * 10000 + m * 100 + d;
        if (date != last_date) {
            last_days = days_from_civil(y, m, d);
            last_date = date;
        }
        const double mi = std::isnan(minute[i]) ? 0.0 : minute[i];
        const double se = std::isnan(second[i]) ? 0.0 : second[i];
        // The day in whole microseconds, the time of day (within a few
        // days' worth, exact to far below a microsecond) rounded: a double
        // holds every microsecond only up to 2^53 (the year 2255).
        const double of_day = round_half_even((h * 3600.0 + mi * 60.0 + se) * 1e6);
        const double day_start = static_cast<double>(last_days) * 86400e6;
        // Not the lowest value either: that one stands for no time.
        if (!(std::fabs(day_start + of_day) < 9.2e18) || !(std::fabs(of_day) < 9e15)) continue;
        out[i] = last_days * 86'400'000'000 + static_cast<std::int64_t>(of_day);
    }
}

}  // namespace corvena
