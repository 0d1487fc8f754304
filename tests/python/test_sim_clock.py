import contextlib
import io
import math

import pytest

from quillmere.core.sim_clock import SimClock


def period(*six):
    return {"params": list(six)}


def test_construction_and_stepping():
    c = SimClock()
    assert (c.current_time, c.begin_time, c.time_step, c.end_time) == (0.0, 0.0, 3600.0, 0.0)
    assert (c.start_year, c.begin_month, c.begin_day, c.end_year, c.end_month, c.end_day) == (0,) * 6
    c = SimClock(time_step=900, current_time=7200)
    assert (c.current_time, c.begin_time, c.time_step) == (7200.0, 7200.0, 900.0)
    c.advance_time()
    c.advance_time()
    assert c.get_current_time() == 9000.0
    c.set_time_step(60)
    c.advance_time()
    assert c.current_time == 9060.0 and c.begin_time == 7200.0
    with pytest.raises(TypeError):
        SimClock(1, 2, 3)
    with pytest.raises(TypeError):
        SimClock("0")


@pytest.mark.parametrize("empty", [None, {}])
def test_default_period(empty):
    c = SimClock(current_time=5.0, time_step=60.0)
    c.set_period(empty)
    assert (c.start_year, c.begin_month, c.begin_day, c.end_year, c.end_month, c.end_day) == (2025, 1, 1, 2025, 12, 31)
    assert (c.current_time, c.begin_time, c.end_time, c.time_step) == (0.0, 0.0, 31536000.0, 60.0)


@pytest.mark.parametrize(
    "six, begin, length",
    [
        ((2024, 1, 1, 2024, 12, 31), 0, 366),
        ((2025, 3, 1, 2025, 3, 1), 59, 1),
        ((2023, 12, 31, 2024, 1, 1), 364, 2),
        (("2024", 2.0, 29, 2024, 3, "1"), 59, 2),  # int() of texts and floats
        ((2000, 1, 1, 2099, 12, 31), 0, 36525),
        ((1, 1, 1, 9999, 12, 31), 0, 3652059),  # longer than 24855 days: exact, not wrapped
    ],
)
def test_valid_periods(six, begin, length):
    c = SimClock()
    c.set_period(period(*six))
    assert c.begin_time == c.current_time == begin * 86400.0
    assert c.end_time == length * 86400.0
    assert isinstance(c.end_time, float)


@pytest.mark.parametrize(
    "params, message",
    [
        ([2025, 1, 1, 2025, 12], "运行期参数应为6"),
        ([2025, 1, 1, 2025, 12, 31, 0], "运行期参数应为6"),
        ([2025, "x", 1, 2025, 12, 31], "运行期参数必须为有效的整数"),
        ([2025, 1, 1, 2025, 12, float("nan")], "运行期参数必须为有效的整数"),
        ([2025, 13, 1, 2025, 12, 31], "月份必须在 1 到 12 之间"),
        ([2025, 1, 1, 2025, 0, 31], "月份必须在 1 到 12 之间"),
        ([2023, 2, 29, 2023, 3, 1], "日期不合法，请检查日期的有效性"),
        ([2025, 1, 1, 2025, 4, 31], "日期不合法，请检查日期的有效性"),
        ([2025, 3, 2, 2025, 3, 1], "结束时间必须大于等于开始时间"),
    ],
)
def test_invalid_periods_print_and_exit_without_change(params, message):
    c = SimClock()
    c.set_period(period(2024, 5, 6, 2024, 7, 8))
    before = [c.start_year, c.begin_month, c.begin_day, c.end_year, c.end_month, c.end_day, c.current_time, c.end_time]
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(SystemExit) as exc:
        c.set_period({"params": params})
    assert exc.value.code == 1
    assert out.getvalue() == message + "\n"
    assert before == [c.start_year, c.begin_month, c.begin_day, c.end_year, c.end_month, c.end_day, c.current_time, c.end_time]


def test_period_errors_that_propagate():
    c = SimClock()
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        c.set_period([2025])
    with pytest.raises(KeyError):
        c.set_period({"other": 1})
    with pytest.raises(TypeError):
        c.set_period(period(2025, None, 1, 2025, 1, 1))
    with pytest.raises(OverflowError):
        c.set_period(period(2**40, 1, 1, 2**40, 1, 1))
    with pytest.raises(OverflowError):
        c.set_period(period(2025, 1, 1, 2025, 1, float("inf")))
    assert c.end_time == 0.0


def test_typed_attributes():
    c = SimClock()
    c.start_year = 2030
    c.current_time = 7
    assert c.start_year == 2030 and c.current_time == 7.0 and isinstance(c.current_time, float)
    with pytest.raises(TypeError):
        c.begin_month = "3"
    with pytest.raises(TypeError):
        c.begin_month = 1.5
    with pytest.raises(OverflowError):
        c.end_day = 2**31
    with pytest.raises(TypeError):
        c.time_step = None
    for attr in ("start_year", "end_time", "current_time", "time_step"):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(c, attr)


def test_internal_calendar_operations_are_not_host_visible():
    c = SimClock()
    for name in ("is_leap_year", "days_in_month", "day_of_year", "check_run_periods", "get_current_datetime",
                 "get_current_datetime_str", "get_current_datetime_tuple"):
        assert not hasattr(c, name), name


def test_host_subclass_overrides_are_used():
    class Doubling(SimClock):
        def advance_time(self):
            self.current_time += 2 * self.time_step

    c = Doubling(0.0, 10.0)
    c.advance_time()
    assert c.current_time == 20.0
    assert isinstance(c, SimClock)
