// Hourly weather tables in delimited text (EPW and alike): selection of the
// data lines and extraction of chosen columns as 32-bit floats, and the
// hour-of-year lookup with wrap-around and linear interpolation.
//
// Text rules are those of the host's str methods and float() for ASCII text:
// lines and fields are stripped of str.isspace() whitespace, a field that
// float() would refuse is NaN. Lines holding non-ASCII bytes are not judged
// here: they are reported back so the caller can apply the host's own rules.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qm::epw {

// Field separator: a non-empty text (str.split(sep)) or runs of whitespace
// (str.split() without a separator).
struct Delimiter {
    bool whitespace = false;
    std::string_view sep;  // UTF-8; non-empty unless `whitespace`
};


// Splits an already stripped line into fields, as str.split does.
void split_fields(std::string_view line, const Delimiter& d, std::vector<std::string_view>& out);

// True when `stripped` (a non-empty line without surrounding whitespace that
// does not start with '#') is a data line: its first field, stripped, is
// exactly four ASCII digits.
bool is_data_line(std::string_view stripped, const Delimiter& d);

// A column index as the host's list indexing treats it: negative counts from
// the end. Indices beyond 64 bits are clamped (they are out of any row).
using Column = int64_t;

enum class FieldError { none, index_out_of_range };

// Values of `cols` in the stripped line `stripped`: NaN where a column lies
// beyond the row or the field is not a number. A negative index reaching
// before the first field is an error (the host's IndexError).
FieldError parse_fields(std::string_view stripped, const Delimiter& d, const Column* cols, size_t ncols,
                        float* out, std::vector<std::string_view>& scratch);

// float32 value of a double, rounded to nearest as a float32 array stores it;
// magnitudes beyond the float32 range give +-inf (no undefined conversion).
float to_float32(double v) noexcept;

// One selected line of a table read: its place in the text and, unless it
// holds non-ASCII text, its values (ncols floats at values[row * ncols]).
struct Entry {
    size_t begin = 0, length = 0;  // the stripped line in the text
    bool deferred = false;          // non-ASCII: to be judged and parsed by the host
};

enum class TableError {
    none,
    empty_separator,      // the separator is "" (the host's "empty separator")
    index_out_of_range,   // a negative column reaches before the first field
};

struct Table {
    std::vector<Entry> entries;  // accepted (or deferred) lines, in text order
    std::vector<float> values;   // entries.size() * ncols values
    TableError error = TableError::none;
    size_t error_entry = 0;      // entries before this one are complete when error != none
};

// Walks the UTF-8 text line by line ("\n", "\r\n" and a lone "\r" end a
// line, as the host's universal newlines do), keeping data lines. Stops at the first error. Pure C++: may
// run without the host's lock as long as the text stays alive.
// `text_known_ascii` skips the ASCII test when the caller already made it.
void read_table(std::string_view text, const Delimiter& d, const Column* cols, size_t ncols, Table& out,
                bool text_known_ascii = false);

// The hour-of-year lookup of a table with `rows` rows: the hour wraps into
// [0, 8760) (floored modulo), a whole hour gives row i, any other hour the
// interpolation between rows i and j = (i + 1) mod 8760 with weight f.
struct HourLookup {
    enum Kind { exact, interpolate, out_of_range_exact, out_of_range_pair, not_finite } kind = exact;
    int64_t i = 0, j = 0;
    double f = 0.0;
};
HourLookup locate_hour(double hour, int64_t rows) noexcept;

// A + f (B - A) element by element in float32 arithmetic (f is rounded to
// float32 first, as numpy does for a host float times a float32 array).
void interpolate_rows(const float* a, const float* b, double f, float* out, size_t n) noexcept;

// The site of an EPW file's first line
// "LOCATION,city,state,country,source,WMO,latitude,longitude,time zone,elevation":
// latitude [deg north], longitude [deg east], time zone [h east of UTC].
struct Location {
    double latitude = 0.0, longitude = 0.0, time_zone = 0.0;
};
// False when the line is not such a line or a value is not a finite number in range.
bool parse_location(std::string_view line, Location& out);

}  // namespace qm::epw
