// Weather table scanning: line selection, field values, the hour lookup.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernels/weather/epw_table.hpp"

namespace {

using qm::epw::Column;
using qm::epw::Delimiter;
using qm::epw::FieldError;
using qm::epw::HourLookup;
using qm::epw::Table;
using qm::epw::TableError;

Delimiter comma() {
    Delimiter d;
    d.sep = ",";
    return d;
}
Delimiter whitespace() {
    Delimiter d;
    d.whitespace = true;
    return d;
}

std::vector<float> parse(std::string_view line, std::vector<Column> cols, Delimiter d = comma()) {
    std::vector<float> out(cols.size());
    std::vector<std::string_view> scratch;
    EXPECT_EQ(qm::epw::parse_fields(line, d, cols.data(), cols.size(), out.data(), scratch), FieldError::none);
    return out;
}

TEST(EpwSplit, FieldsAsTheHostSplitsThem) {
    std::vector<std::string_view> f;
    qm::epw::split_fields("a,,b,", comma(), f);
    EXPECT_EQ(f, (std::vector<std::string_view>{"a", "", "b", ""}));
    qm::epw::split_fields("1999;;2", Delimiter{false, ";;"}, f);
    EXPECT_EQ(f, (std::vector<std::string_view>{"1999", "2"}));
    qm::epw::split_fields("1999 \t 2\x1f" "3", whitespace(), f);
    EXPECT_EQ(f, (std::vector<std::string_view>{"1999", "2", "3"}));
    // Long lines take the eight-bytes-at-a-time path; the fields stay exact.
    std::string longline;
    for (int i = 0; i < 40; ++i) {
        longline += std::to_string(i);
        if (i < 39) longline += ',';
    }
    qm::epw::split_fields(longline, comma(), f);
    ASSERT_EQ(f.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(f[i], std::to_string(i));
}

TEST(EpwSelect, FirstFieldMustBeFourDigits) {
    EXPECT_TRUE(qm::epw::is_data_line("1999 , 1,1", comma()));
    EXPECT_TRUE(qm::epw::is_data_line("0000", comma()));
    EXPECT_FALSE(qm::epw::is_data_line("99,1", comma()));
    EXPECT_FALSE(qm::epw::is_data_line("19990,1", comma()));
    EXPECT_FALSE(qm::epw::is_data_line("abcd,1", comma()));
    EXPECT_FALSE(qm::epw::is_data_line("+999,1", comma()));
    EXPECT_FALSE(qm::epw::is_data_line("LOCATION,Amsterdam", comma()));
    EXPECT_TRUE(qm::epw::is_data_line("2001 5 6", whitespace()));
}

TEST(EpwFields, NumbersFollowTheHostsFloatRules) {
    auto v = parse("1999, 20.1 ,-3e2,1_000.5,inf,-Infinity,nan,N/A,,1__0,_1,0x10,.5,7.", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    EXPECT_EQ(v[0], 20.1f);
    EXPECT_EQ(v[1], -300.0f);
    EXPECT_EQ(v[2], 1000.5f);
    EXPECT_EQ(v[3], std::numeric_limits<float>::infinity());
    EXPECT_EQ(v[4], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(v[5]));
    EXPECT_TRUE(std::isnan(v[6]));  // N/A
    EXPECT_TRUE(std::isnan(v[7]));  // empty field
    EXPECT_TRUE(std::isnan(v[8]));  // doubled underscore
    EXPECT_TRUE(std::isnan(v[9]));  // leading underscore
    EXPECT_TRUE(std::isnan(v[10]));  // hex is not a float literal
    EXPECT_EQ(v[11], 0.5f);
    EXPECT_EQ(v[12], 7.0f);
    // float32 rounding of the stored value: 20.1 is held as 20.100000381469727.
    EXPECT_EQ(static_cast<double>(v[0]), 20.100000381469727);
}

TEST(EpwFields, ColumnsBeyondTheRowAndNegativeIndices) {
    // A 20-field row: column 21 is NaN, the others are read.
    std::string row = "1999";
    for (int i = 1; i < 20; ++i) {
        row += ',';
        row += std::to_string(i);
    }
    auto v = parse(row, {6, 21, 13, 14, 15});
    EXPECT_EQ(v[0], 6.0f);
    EXPECT_TRUE(std::isnan(v[1]));
    EXPECT_EQ(v[2], 13.0f);
    EXPECT_EQ(v[4], 15.0f);
    // Negative indices count from the end.
    auto w = parse("1999,1,2,3", {-1, -4});
    EXPECT_EQ(w[0], 3.0f);
    EXPECT_EQ(w[1], 1999.0f);
    // Reaching before the first field is the host's IndexError.
    std::vector<float> out(1);
    std::vector<std::string_view> scratch;
    Column c = -5;
    EXPECT_EQ(qm::epw::parse_fields("1999,1,2,3", comma(), &c, 1, out.data(), scratch), FieldError::index_out_of_range);
    // Huge indices are outside every row.
    auto h = parse("1999,1", {std::numeric_limits<Column>::max()});
    EXPECT_TRUE(std::isnan(h[0]));
}

TEST(EpwFields, Float32ConversionSaturatesWithoutUndefinedBehaviour) {
    EXPECT_EQ(qm::epw::to_float32(1e39), std::numeric_limits<float>::infinity());
    EXPECT_EQ(qm::epw::to_float32(-1e39), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(qm::epw::to_float32(3.4028235e38), std::numeric_limits<float>::max());
    EXPECT_TRUE(std::isnan(qm::epw::to_float32(NAN)));
    EXPECT_EQ(qm::epw::to_float32(1e-50), 0.0f);
}

std::vector<std::vector<float>> rows_of(const Table& t, size_t ncols) {
    std::vector<std::vector<float>> out;
    for (size_t r = 0; r < t.entries.size(); ++r)
        out.emplace_back(t.values.begin() + r * ncols, t.values.begin() + (r + 1) * ncols);
    return out;
}

TEST(EpwTable, SelectsDataLinesInOrder) {
    const std::string text =
        "LOCATION,Amsterdam,-,NLD\n"
        "DATA PERIODS,1,1,Data,Sunday, 1/ 1,12/31\n"
        "\n"
        "#1999,9,9\n"
        "  1999 , 1,2\r\n"   // CRLF
        "99,5,5\r"            // a lone CR ends a line too
        "2000,3,4\n"
        "abcd,5,5\n"
        "2001,5";            // last line without a line break
    std::vector<Column> cols{1, 2};
    Table t;
    qm::epw::read_table(text, comma(), cols.data(), cols.size(), t);
    ASSERT_EQ(t.error, TableError::none);
    auto rows = rows_of(t, 2);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(rows[1], (std::vector<float>{3.0f, 4.0f}));
    EXPECT_EQ(rows[2][0], 5.0f);
    EXPECT_TRUE(std::isnan(rows[2][1]));
    EXPECT_EQ(text.substr(t.entries[0].begin, t.entries[0].length), "1999 , 1,2");
}

TEST(EpwTable, NonAsciiLinesAreLeftToTheHost) {
    const std::string text = "1999,1\n2000,\xc2\xa0" "2\n2001,3\n";  // a no-break space
    std::vector<Column> cols{1};
    Table t;
    qm::epw::read_table(text, comma(), cols.data(), cols.size(), t);
    ASSERT_EQ(t.entries.size(), 3u);
    EXPECT_FALSE(t.entries[0].deferred);
    EXPECT_TRUE(t.entries[1].deferred);
    EXPECT_FALSE(t.entries[2].deferred);
    EXPECT_EQ(t.values[2], 3.0f);
}

TEST(EpwTable, ErrorsStopTheScanWhereTheHostWouldStop) {
    std::vector<Column> cols{-3};
    Table t;
    qm::epw::read_table("1999,1,2\n2000,1\n2001,1,2\n", comma(), cols.data(), cols.size(), t);
    EXPECT_EQ(t.error, TableError::index_out_of_range);
    EXPECT_EQ(t.error_entry, 1u);  // the first row is complete
    EXPECT_EQ(t.values.size(), 1u);
    Delimiter empty;
    qm::epw::read_table("HEADER\n1999,1\n", empty, cols.data(), cols.size(), t);
    EXPECT_EQ(t.error, TableError::empty_separator);
    EXPECT_EQ(t.error_entry, 0u);
    qm::epw::read_table("# only comments\n\n", empty, cols.data(), cols.size(), t);
    EXPECT_EQ(t.error, TableError::none);
    EXPECT_TRUE(t.entries.empty());
}

TEST(EpwTable, LargeTextsReadInPiecesEqualOneSequentialPass) {
    // Several megabytes: the scan is cut into pieces; the joined result must
    // equal the row-by-row parse, in order.
    std::string text = "LOCATION,x\n";
    const int n = 40000;
    for (int i = 0; i < n; ++i) {
        text += std::to_string(1000 + i % 9000);
        text += ',';
        text += std::to_string(i);
        text += ',';
        text += std::to_string(i % 7);
        text += ".5";
        for (int k = 0; k < 30; ++k) text += ",filler";
        text += (i % 3 == 0) ? "\r\n" : "\n";
        if (i % 1000 == 0) text += "# comment\n";
    }
    std::vector<Column> cols{1, 2, 40};
    Table t;
    qm::epw::read_table(text, comma(), cols.data(), cols.size(), t);
    ASSERT_EQ(t.error, TableError::none);
    ASSERT_EQ(t.entries.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(t.values[3 * i], static_cast<float>(i));
        ASSERT_EQ(t.values[3 * i + 1], static_cast<float>(i % 7) + 0.5f);
        ASSERT_TRUE(std::isnan(t.values[3 * i + 2]));
    }
    // Errors in a later piece are reported at their place in the whole text.
    text += "2001,1\n";
    std::vector<Column> neg{-31};
    qm::epw::read_table(text, comma(), neg.data(), neg.size(), t);
    EXPECT_EQ(t.error, TableError::index_out_of_range);
    EXPECT_EQ(t.error_entry, static_cast<size_t>(n));
}

TEST(EpwTable, LoneCarriageReturnsReadLikeLineFeeds) {
    // Old Mac line ends: every line ends in a lone "\r", in a text large
    // enough to be cut into pieces (cuts fall after "\r" too, never inside "\r\n").
    std::string lf, cr, mixed;
    const int n = 30000;
    for (int i = 0; i < n; ++i) {
        std::string row = std::to_string(1000 + i % 9000) + "," + std::to_string(i) + ",2.5";
        for (int k = 0; k < 3; ++k) row += ",filler_filler";
        lf += row + "\n";
        cr += row + "\r";
        mixed += row + (i % 2 ? "\r" : "\r\n");
    }
    std::vector<Column> cols{1, 2};
    Table a, b, c;
    qm::epw::read_table(lf, comma(), cols.data(), cols.size(), a);
    qm::epw::read_table(cr, comma(), cols.data(), cols.size(), b);
    qm::epw::read_table(mixed, comma(), cols.data(), cols.size(), c);
    ASSERT_EQ(a.entries.size(), static_cast<size_t>(n));
    EXPECT_EQ(a.values, b.values);
    EXPECT_EQ(a.values, c.values);
    ASSERT_EQ(b.entries.size(), static_cast<size_t>(n));
    ASSERT_EQ(c.entries.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(c.entries[i].length, a.entries[i].length);
}

TEST(EpwHour, WrapsAndInterpolatesOverTheYear) {
    auto at = [](double h, int64_t rows = 8760) { return qm::epw::locate_hour(h, rows); };
    EXPECT_EQ(at(0).kind, HourLookup::exact);
    EXPECT_EQ(at(8760).i, 0);
    EXPECT_EQ(at(-1).i, 8759);
    EXPECT_EQ(at(-1).kind, HourLookup::exact);
    HourLookup h = at(8761.5);
    EXPECT_EQ(h.kind, HourLookup::interpolate);
    EXPECT_EQ(h.i, 1);
    EXPECT_EQ(h.j, 2);
    EXPECT_DOUBLE_EQ(h.f, 0.5);
    h = at(8759.5);
    EXPECT_EQ(h.i, 8759);
    EXPECT_EQ(h.j, 0);
    // A tiny negative time wraps to exactly 8760.0 in floating point: hour 0.
    h = at(-1e-20 / 3600.0);
    EXPECT_EQ(h.kind, HourLookup::exact);
    EXPECT_EQ(h.i, 0);
    // Short tables: the documented out-of-range cases.
    EXPECT_EQ(at(23, 24).kind, HourLookup::exact);
    h = at(23.5, 24);
    EXPECT_EQ(h.kind, HourLookup::out_of_range_pair);
    EXPECT_EQ(h.i, 23);
    EXPECT_EQ(h.j, 24);
    h = at(24, 24);
    EXPECT_EQ(h.kind, HourLookup::out_of_range_exact);
    EXPECT_EQ(h.i, 24);
    // A leap-year table: rows from 8760 on are never served.
    EXPECT_EQ(at(8760, 8784).i, 0);
    EXPECT_EQ(at(NAN).kind, HourLookup::not_finite);
    EXPECT_EQ(at(INFINITY).kind, HourLookup::not_finite);
    EXPECT_EQ(at(1e300).kind == HourLookup::exact || at(1e300).kind == HourLookup::interpolate, true);
}

TEST(EpwHour, InterpolationRoundsLikeFloat32Arrays) {
    const float a[3] = {1.0f, 10.0f, -2.0f};
    const float b[3] = {2.0f, 0.0f, 2.0f};
    float out[3];
    qm::epw::interpolate_rows(a, b, 0.25, out, 3);
    EXPECT_EQ(out[0], 1.25f);
    EXPECT_EQ(out[1], 7.5f);
    EXPECT_EQ(out[2], -1.0f);
    // The weight is rounded to float32 before it multiplies.
    const float c[1] = {0.0f}, d[1] = {1.0f};
    qm::epw::interpolate_rows(c, d, 0.1, out, 1);
    EXPECT_EQ(out[0], 0.1f);
}

}  // namespace
