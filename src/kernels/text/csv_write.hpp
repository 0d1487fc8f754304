// Results tables as CSV text: shortest round-trip numbers, wall-clock time
// stamps, minimal quoting, and a file replaced only once it is complete
// (through the one atomic writer, kernels/io/atomic_write).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::text {

// Appends the shortest text that reads back to exactly `v`, laid out as the
// host's repr(float) does: fixed notation while the decimal exponent is in
// [-4, 15] with at least one digit after the point ("20.1", "-5.0", "0.0001"),
// otherwise scientific ("1e-05", "1.5e+16"); "nan", "inf", "-inf".
void append_shortest(std::string& out, double v);

// The same for a float: the shortest text that reads back to the same float,
// so a value stored as 20.1f is written "20.1", not "20.100000381469727".
void append_shortest(std::string& out, float v);

// True when `v` is exactly a float (NaN and the infinities included).
bool is_float32_exact(double v) noexcept;

// Appends "YYYY-MM-DD HH:MM:SS" for a wall-clock time given as whole seconds
// since 1970-01-01 00:00 (proleptic Gregorian calendar, years 1..9999).
// Returns false (appending nothing) outside that range.
bool append_datetime(std::string& out, int64_t seconds);

// Appends one CSV field, in double quotes (inner quotes doubled) only when it
// holds a comma, a quote, a line break or leading/trailing spaces.
void append_field(std::string& out, std::string_view text);

struct CsvColumn {
    enum class Kind {
        f64,   // doubles, shortest round-trip text; NaN as an empty field
        f32,   // doubles that are floats widened: the shortest float text; NaN empty
        i64,   // integers
        text,  // host text, already converted; an empty cell is a missing value
    };
    std::string header;
    Kind kind = Kind::f64;
    std::vector<double> numbers;   // f64, f32
    std::vector<int64_t> integers; // i64
    std::vector<std::string> cells;  // text
    size_t size() const noexcept;
};

struct CsvTable {
    // Optional first column of wall-clock times (seconds since 1970-01-01);
    // INT64_MIN is a missing time (an empty field).
    bool has_times = false;
    std::string time_header = "timestamp";
    std::vector<int64_t> times;
    std::vector<CsvColumn> columns;
};

enum class CsvError { none, ragged, bad_time };
const char* csv_error_text(CsvError e) noexcept;

// The whole table as CSV text: a header line, then one line per row, "\n"
// line ends. Every column must have the same number of rows.
CsvError format_csv(const CsvTable& table, std::string& out);

enum class WriteError { none, open, write, rename };

// Replaces `path` with `content` through io::write_file_atomic (a temporary
// file in the same folder, flushed and renamed over it once complete): a
// reader sees the old file or the new one, never a part. On failure the
// temporary file is removed and `error_number` holds the system's errno;
// the result names the step that failed.
WriteError write_file_replacing(const std::string& path, std::string_view content, int& error_number);

}  // namespace qm::text
