// Gregorian calendar arithmetic of the simulation clock. Times are seconds.
#pragma once
#include <array>
#include <cstdint>

namespace qm::calendar {

// Time zones as whole hours east of UTC: -12 .. +14, the zones in use.
constexpr int kMinTimeZone = -12, kMaxTimeZone = 14;
constexpr bool valid_time_zone(long long hours) { return hours >= kMinTimeZone && hours <= kMaxTimeZone; }

constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondsPerHour = 3600.0;
constexpr double kSecondsPerMinute = 60.0;

// 1 when the year is a Gregorian leap year (divisible by 4 and not by 100, or by 400).
int is_leap_year(int64_t year) noexcept;

// Length of the month in days; 0 for a month outside 1..12 (no error).
int days_in_month(int64_t year, int64_t month) noexcept;

// Day number within the year: `day` plus the lengths of the months before
// `month`. No validation: a month below 2 gives `day` itself.
int64_t day_of_year(int64_t year, int64_t month, int64_t day) noexcept;

// Why a run period was refused; each value has its own printed message.
enum class PeriodError {
    none,
    bad_month,   // begin or end month outside 1..12
    bad_day,     // begin or end day outside its month
    end_before,  // end date earlier than begin date
};

struct Period {
    int64_t start_year, begin_month, begin_day, end_year, end_month, end_day;
    double begin_time;  // offset of the begin date from 1 January 00:00 of the start year [s]
    double end_time;    // length of the period, both end days included [s]
};

// Validates six already-converted integers and computes the two time fields.
// The day counts use 64-bit arithmetic, so periods of any length stay exact.
PeriodError check_run_period(int64_t start_year, int64_t begin_month, int64_t begin_day,
                             int64_t end_year, int64_t end_month, int64_t end_day,
                             Period& out) noexcept;

// Host-style floored divmod on doubles: the quotient is floor(x / y) with the
// host's correction, the remainder takes the sign of y.
void py_divmod(double x, double y, double& quotient, double& remainder) noexcept;

enum class DateTimeError { none, not_finite, year_overflow };

// Calendar date and time of day that lies `seconds` after 00:00 of the given
// date, as (year, month, day, hour, minute, second). Negative seconds leave
// the date unchanged and take the time of day from the non-negative
// remainder; fractional seconds are dropped. Whole 400-year cycles are
// skipped at once, so huge times cost no more than small ones.
DateTimeError datetime_after(int64_t year, int64_t month, int64_t day, double seconds,
                             std::array<int64_t, 6>& out) noexcept;

}  // namespace qm::calendar
