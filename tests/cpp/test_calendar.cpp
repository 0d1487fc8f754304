#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "kernels/time/calendar.hpp"

using namespace qm::calendar;
using DT = std::array<int64_t, 6>;

TEST(Calendar, LeapYearsFollowTheGregorianRule) {
    EXPECT_EQ(is_leap_year(2024), 1);
    EXPECT_EQ(is_leap_year(2025), 0);
    EXPECT_EQ(is_leap_year(1900), 0);
    EXPECT_EQ(is_leap_year(2000), 1);
    EXPECT_EQ(is_leap_year(2100), 0);
    EXPECT_EQ(is_leap_year(0), 1);
    EXPECT_EQ(is_leap_year(-4), 1);
}

TEST(Calendar, MonthLengthsAndOutOfRangeMonths) {
    const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; ++m) EXPECT_EQ(days_in_month(2025, m), lengths[m - 1]) << m;
    EXPECT_EQ(days_in_month(2024, 2), 29);
    EXPECT_EQ(days_in_month(1900, 2), 28);
    EXPECT_EQ(days_in_month(2000, 2), 29);
    EXPECT_EQ(days_in_month(2025, 0), 0);
    EXPECT_EQ(days_in_month(2025, 13), 0);
}

TEST(Calendar, DayOfYearHasNoValidation) {
    EXPECT_EQ(day_of_year(2025, 1, 1), 1);
    EXPECT_EQ(day_of_year(2025, 3, 1), 60);
    EXPECT_EQ(day_of_year(2024, 3, 1), 61);
    EXPECT_EQ(day_of_year(2025, 12, 31), 365);
    EXPECT_EQ(day_of_year(2024, 12, 31), 366);
    EXPECT_EQ(day_of_year(2025, 0, 17), 17);  // month below 2 gives the day itself
    EXPECT_EQ(day_of_year(2025, -3, 40), 40);
}

namespace {
Period period(int64_t sy, int64_t bm, int64_t bd, int64_t ey, int64_t em, int64_t ed, PeriodError expect = PeriodError::none) {
    Period p{};
    EXPECT_EQ(check_run_period(sy, bm, bd, ey, em, ed, p), expect);
    return p;
}
}  // namespace

TEST(Calendar, RunPeriodLengthsAndOffsets) {
    Period year = period(2025, 1, 1, 2025, 12, 31);
    EXPECT_EQ(year.begin_time, 0.0);
    EXPECT_EQ(year.end_time, 365 * 86400.0);
    EXPECT_EQ(period(2024, 1, 1, 2024, 12, 31).end_time, 366 * 86400.0);
    Period one_day = period(2025, 3, 1, 2025, 3, 1);
    EXPECT_EQ(one_day.begin_time, 59 * 86400.0);
    EXPECT_EQ(one_day.end_time, 86400.0);
    Period crossing = period(2023, 12, 31, 2024, 1, 1);
    EXPECT_EQ(crossing.begin_time, 364 * 86400.0);
    EXPECT_EQ(crossing.end_time, 2 * 86400.0);
    // Century years in between: 1900 is not a leap year, 2000 is.
    EXPECT_EQ(period(1899, 1, 1, 1901, 12, 31).end_time, (365 + 365 + 365) * 86400.0);
    EXPECT_EQ(period(1999, 1, 1, 2001, 12, 31).end_time, (365 + 366 + 365) * 86400.0);
}

TEST(Calendar, LongPeriodsDoNotOverflow) {
    // 100000 years is far beyond what 32-bit seconds can hold.
    Period p = period(2000, 1, 1, 101999, 12, 31);
    EXPECT_EQ(p.end_time, 250 * 146097.0 * 86400.0);
    Period q = period(1, 1, 1, 2000000, 12, 31);
    EXPECT_GT(q.end_time, 6e13);
}

TEST(Calendar, RunPeriodChecksInOrder) {
    period(2025, 0, 1, 2025, 1, 1, PeriodError::bad_month);
    period(2025, 1, 1, 2025, 13, 1, PeriodError::bad_month);
    period(2023, 2, 29, 2023, 3, 1, PeriodError::bad_day);
    period(2024, 2, 29, 2024, 3, 1);  // leap day accepted
    period(2025, 4, 31, 2025, 5, 1, PeriodError::bad_day);
    period(2025, 1, 1, 2025, 6, 31, PeriodError::bad_day);
    period(2025, 1, 0, 2025, 6, 1, PeriodError::bad_day);
    period(2025, 3, 2, 2025, 3, 1, PeriodError::end_before);
    period(2025, 3, 1, 2024, 12, 31, PeriodError::end_before);
    // A bad month is reported before a bad day, a bad day before a reversed period.
    period(2025, 2, 30, 2024, 13, 1, PeriodError::bad_month);
    period(2025, 2, 30, 2024, 1, 1, PeriodError::bad_day);
}

TEST(Calendar, HostDivmodMatchesFloorSemantics) {
    double q, r;
    py_divmod(7.0, 2.0, q, r);
    EXPECT_EQ(q, 3.0);
    EXPECT_EQ(r, 1.0);
    py_divmod(-1.0, 86400.0, q, r);
    EXPECT_EQ(q, -1.0);
    EXPECT_EQ(r, 86399.0);
    py_divmod(-0.0, 60.0, q, r);
    EXPECT_TRUE(std::signbit(q));
    EXPECT_EQ(r, 0.0);
    EXPECT_FALSE(std::signbit(r));
}

namespace {
DT after(int64_t y, int64_t m, int64_t d, double s) {
    DT out{};
    EXPECT_EQ(datetime_after(y, m, d, s, out), DateTimeError::none);
    return out;
}
}  // namespace

TEST(Calendar, DateTimeDecomposition) {
    EXPECT_EQ(after(2025, 1, 1, 0), (DT{2025, 1, 1, 0, 0, 0}));
    EXPECT_EQ(after(2025, 1, 1, 31 * 86400 + 3661.5), (DT{2025, 2, 1, 1, 1, 1}));
    EXPECT_EQ(after(2025, 1, 1, 365 * 86400.0), (DT{2026, 1, 1, 0, 0, 0}));
    EXPECT_EQ(after(2025, 1, 31, 86400), (DT{2025, 2, 1, 0, 0, 0}));
    EXPECT_EQ(after(2024, 2, 28, 86400), (DT{2024, 2, 29, 0, 0, 0}));
    EXPECT_EQ(after(2025, 2, 28, 86400), (DT{2025, 3, 1, 0, 0, 0}));
    EXPECT_EQ(after(2025, 12, 31, 86400 + 59.999), (DT{2026, 1, 1, 0, 0, 59}));
    EXPECT_EQ(after(2025, 3, 4, 5 * 3600 + 6 * 60 + 7), (DT{2025, 3, 4, 5, 6, 7}));
}

TEST(Calendar, NegativeSecondsKeepTheDate) {
    EXPECT_EQ(after(2025, 1, 1, -1), (DT{2025, 1, 1, 23, 59, 59}));
    EXPECT_EQ(after(2025, 5, 5, -86400 * 3 - 3600), (DT{2025, 5, 5, 23, 0, 0}));
}

TEST(Calendar, LargeTimesMatchStepwiseWalk) {
    // Skipping whole years and 400-year cycles gives the same date as a
    // month-by-month walk; compare with a reference walk over 2000 years.
    auto walk = [](int64_t y, int64_t m, int64_t d, int64_t days) {
        while (days > 0) {
            int64_t remaining = days_in_month(y, m) - d + 1;
            if (days >= remaining) {
                days -= remaining;
                d = 1;
                if (++m > 12) m = 1, ++y;
            } else {
                d += days;
                days = 0;
            }
        }
        return DT{y, m, d, 0, 0, 0};
    };
    for (int64_t days : {0LL, 1LL, 59LL, 365LL, 366LL, 146096LL, 146097LL, 146098LL, 500000LL, 730485LL}) {
        EXPECT_EQ(after(1999, 7, 15, days * 86400.0), walk(1999, 7, 15, days)) << days;
        EXPECT_EQ(after(2000, 1, 1, days * 86400.0), walk(2000, 1, 1, days)) << days;
    }
}

TEST(Calendar, NonFiniteAndHugeTimesAreErrorsNotHangs) {
    DT out{};
    EXPECT_EQ(datetime_after(2025, 1, 1, std::numeric_limits<double>::quiet_NaN(), out), DateTimeError::not_finite);
    EXPECT_EQ(datetime_after(2025, 1, 1, std::numeric_limits<double>::infinity(), out), DateTimeError::not_finite);
    EXPECT_EQ(datetime_after(2025, 1, 1, 1e300, out), DateTimeError::year_overflow);
    EXPECT_EQ(datetime_after(2025, 1, 1, 1e15, out), DateTimeError::none);
    EXPECT_GT(out[0], 31000000);
}
