#include "kernels/time/calendar.hpp"

#include <cmath>
#include <limits>

namespace qm::calendar {

int is_leap_year(int64_t year) noexcept {
    return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0;
}

int days_in_month(int64_t year, int64_t month) noexcept {
    switch (month) {
        case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 31;
        case 4: case 6: case 9: case 11: return 30;
        case 2: return is_leap_year(year) ? 29 : 28;
        default: return 0;
    }
}

int64_t day_of_year(int64_t year, int64_t month, int64_t day) noexcept {
    int64_t total = day;
    for (int64_t m = 1; m < month && m <= 12; ++m) total += days_in_month(year, m);
    return total;
}

namespace {
// Leap years in [1, y) of the proleptic Gregorian calendar (floor division, so y <= 0 works too).
int64_t leap_years_before(int64_t y) noexcept {
    int64_t p = y - 1;
    auto fdiv = [](int64_t a, int64_t b) { int64_t q = a / b; return (a % b != 0 && a < 0) ? q - 1 : q; };
    return fdiv(p, 4) - fdiv(p, 100) + fdiv(p, 400);
}
// Days from 1 January of `from` to 1 January of `to` (to >= from), computed
// from the count of leap years instead of a loop over the years.
int64_t days_between_years(int64_t from, int64_t to) noexcept {
    return (to - from) * 365 + (leap_years_before(to) - leap_years_before(from));
}
}  // namespace

PeriodError check_run_period(int64_t sy, int64_t bm, int64_t bd, int64_t ey, int64_t em, int64_t ed,
                             Period& out) noexcept {
    if (bm < 1 || bm > 12 || em < 1 || em > 12) return PeriodError::bad_month;
    if (!(1 <= bd && bd <= days_in_month(sy, bm))) return PeriodError::bad_day;
    if (!(1 <= ed && ed <= days_in_month(ey, em))) return PeriodError::bad_day;
    bool before = ey < sy || (ey == sy && (em < bm || (em == bm && ed < bd)));
    if (before) return PeriodError::end_before;
    int64_t begin_number = day_of_year(sy, bm, bd);
    int64_t end_number = day_of_year(ey, em, ed);
    int64_t between = days_between_years(sy, ey);
    out = Period{sy, bm, bd, ey, em, ed,
                 static_cast<double>((begin_number - 1) * 86400),
                 static_cast<double>((end_number + between - begin_number + 1) * 86400)};
    return PeriodError::none;
}

void py_divmod(double vx, double wx, double& floordiv, double& mod) noexcept {
    mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) {
            mod += wx;
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, wx);
    }
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
}

DateTimeError datetime_after(int64_t year, int64_t month, int64_t day, double seconds,
                             std::array<int64_t, 6>& out) noexcept {
    double days, rest;
    py_divmod(seconds, kSecondsPerDay, days, rest);
    if (!std::isfinite(days) || !std::isfinite(rest)) return DateTimeError::not_finite;
    constexpr int64_t kYearLimit = int64_t(1) << 40;
    while (days > 0) {
        // Whole 400-year cycles from a 1 January: same outcome as stepping
        // month by month, without the loop.
        if (month == 1 && day == 1 && days >= 146097.0) {
            double cycles = std::floor(days / 146097.0);
            if (cycles > double(kYearLimit)) return DateTimeError::year_overflow;
            days -= cycles * 146097.0;
            year += static_cast<int64_t>(cycles) * 400;
            if (year > kYearLimit) return DateTimeError::year_overflow;
            continue;
        }
        if (month == 1 && day == 1) {
            double in_year = is_leap_year(year) ? 366.0 : 365.0;
            if (days >= in_year) {
                days -= in_year;
                ++year;
                continue;
            }
        }
        double remaining = double(days_in_month(year, month) - day + 1);
        if (days >= remaining) {
            days -= remaining;
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        } else {
            day += static_cast<int64_t>(days);
            days = 0;
        }
    }
    double hour, r, minute, second;
    py_divmod(rest, kSecondsPerHour, hour, r);
    py_divmod(r, kSecondsPerMinute, minute, second);
    out = {year, month, day, static_cast<int64_t>(hour), static_cast<int64_t>(minute),
           static_cast<int64_t>(second)};
    return DateTimeError::none;
}

}  // namespace qm::calendar
