#include "kernels/weather/epw_table.hpp"

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <algorithm>
#include <limits>

#include "kernels/text/ascii.hpp"
#include "kernels/text/lines.hpp"
#include "kernels/text/number_parse.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::epw {
namespace {

constexpr double kHoursPerYear = 8760.0;

}  // namespace

namespace {

// Collects at most `limit` fields; returns true when the line has more.
bool split_limited(std::string_view line, const Delimiter& d, std::vector<std::string_view>& out, size_t limit) {
    out.clear();
    const size_t n = line.size();
    if (d.whitespace) {
        size_t i = 0;
        while (true) {
            while (i < n && is_py_space(static_cast<unsigned char>(line[i]))) ++i;
            if (i >= n) return false;
            if (out.size() == limit) return true;
            size_t b = i;
            while (i < n && !is_py_space(static_cast<unsigned char>(line[i]))) ++i;
            out.emplace_back(line.data() + b, i - b);
        }
    }
    if (d.sep.empty()) {  // refused by the callers; one field keeps this total
        out.push_back(line);
        return false;
    }
    size_t b = 0;
    if (d.sep.size() == 1 && std::endian::native == std::endian::little) {
        // Eight bytes at a time: an exact mask of the bytes equal to the
        // separator, walked bit by bit.
        const unsigned char sep = static_cast<unsigned char>(d.sep[0]);
        const uint64_t pattern = 0x0101010101010101ull * sep;
        constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kHigh = 0x8080808080808080ull;
        size_t i = 0;
        auto found = [&](size_t at) -> bool {  // true: the limit is reached
            out.emplace_back(line.data() + b, at - b);
            b = at + 1;
            return out.size() == limit;
        };
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, line.data() + i, 8);
            const uint64_t x = w ^ pattern;  // zero bytes where the separator is
            uint64_t m = ~(((x & kLow7) + kLow7) | x) & kHigh;
            while (m) {
                if (found(i + (static_cast<size_t>(__builtin_ctzll(m)) >> 3))) return true;
                m &= m - 1;
            }
        }
        for (; i < n; ++i)
            if (static_cast<unsigned char>(line[i]) == sep && found(i)) return true;
        out.emplace_back(line.data() + b, n - b);
        return false;
    }
    while (true) {
        size_t pos = line.find(d.sep, b);
        if (out.size() == limit) return true;
        if (pos == std::string_view::npos) {
            out.emplace_back(line.data() + b, n - b);
            return false;
        }
        if (out.size() + 1 == limit) {
            out.emplace_back(line.data() + b, pos - b);
            return true;
        }
        out.emplace_back(line.data() + b, pos - b);
        b = pos + d.sep.size();
    }
}

// Fast path of the common layout: a one-byte separator and only
// non-negative columns below 64. Walks the separators eight bytes at a time
// and keeps just the fields that are wanted (bit i of `want`) plus the first.
// `starts`/`ends` hold field i at index i; returns the number of fields seen
// (capped at `limit`, which is the highest wanted index + 1).
size_t scan_wanted(std::string_view line, unsigned char sep, uint64_t want, size_t limit, uint32_t* starts,
                   uint32_t* ends) {
    const size_t n = line.size();
    const uint64_t pattern = 0x0101010101010101ull * sep;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kHigh = 0x8080808080808080ull;
    size_t field = 0, b = 0, i = 0;
    want |= 1;  // the first field decides whether the line is data
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, line.data() + i, 8);
        const uint64_t x = w ^ pattern;
        uint64_t m = ~(((x & kLow7) + kLow7) | x) & kHigh;
        while (m) {
            const size_t at = i + (static_cast<size_t>(__builtin_ctzll(m)) >> 3);
            if ((want >> field) & 1) {
                starts[field] = static_cast<uint32_t>(b);
                ends[field] = static_cast<uint32_t>(at);
            }
            b = at + 1;
            if (++field == limit) return field;
            m &= m - 1;
        }
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned char>(line[i]) != sep) continue;
        if ((want >> field) & 1) {
            starts[field] = static_cast<uint32_t>(b);
            ends[field] = static_cast<uint32_t>(i);
        }
        b = i + 1;
        if (++field == limit) return field;
    }
    if ((want >> field) & 1) {
        starts[field] = static_cast<uint32_t>(b);
        ends[field] = static_cast<uint32_t>(n);
    }
    return field + 1;
}

float field_value(std::string_view field) {
    double v;
    std::string_view f = py_strip(field);
    if (parse_plain_decimal(f, v)) return to_float32(v);
    if (parse_py_float(f, v)) return to_float32(v);
    return std::numeric_limits<float>::quiet_NaN();
}

struct ColumnPlan {
    size_t limit = 0;  // fields to collect (SIZE_MAX when a negative index needs the count)
};

ColumnPlan plan_columns(const Column* cols, size_t ncols) {
    ColumnPlan p;
    p.limit = 1;  // the first field decides whether a line is data
    for (size_t k = 0; k < ncols; ++k) {
        if (cols[k] < 0) return {SIZE_MAX};
        if (static_cast<uint64_t>(cols[k]) >= p.limit) p.limit = static_cast<uint64_t>(cols[k]) >= SIZE_MAX - 1 ? SIZE_MAX : static_cast<size_t>(cols[k]) + 1;
    }
    return p;
}

// Values of the columns from the fields of a line; `more` tells that the line
// holds more fields than were collected.
FieldError values_of(const std::vector<std::string_view>& fields, bool more, const Column* cols, size_t ncols,
                     float* out) {
    const int64_t n = static_cast<int64_t>(fields.size());
    for (size_t k = 0; k < ncols; ++k) {
        int64_t c = cols[k];
        if (c >= n) {
            // Beyond the collected fields: only possible when the row really ends there.
            (void)more;
            out[k] = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        if (c < 0) {
            c += n;
            if (c < 0) return FieldError::index_out_of_range;
        }
        out[k] = field_value(fields[static_cast<size_t>(c)]);
    }
    return FieldError::none;
}

bool four_digits(std::string_view first) {
    first = py_strip(first);
    if (first.size() != 4) return false;
    for (char c : first)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

void split_fields(std::string_view line, const Delimiter& d, std::vector<std::string_view>& out) {
    split_limited(line, d, out, SIZE_MAX);
}

bool is_data_line(std::string_view stripped, const Delimiter& d) {
    std::vector<std::string_view> first;
    split_limited(stripped, d, first, 1);
    return !first.empty() && four_digits(first[0]);
}

float to_float32(double v) noexcept {
    // Halfway between FLT_MAX and 2^128: from there on, round-to-nearest gives inf.
    constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
    if (std::isnan(v)) return std::signbit(v) ? -std::numeric_limits<float>::quiet_NaN()
                                               : std::numeric_limits<float>::quiet_NaN();
    if (v >= kOverflow) return std::numeric_limits<float>::infinity();
    if (v <= -kOverflow) return -std::numeric_limits<float>::infinity();
    if (v > FLT_MAX) return FLT_MAX;
    if (v < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(v);
}

FieldError parse_fields(std::string_view stripped, const Delimiter& d, const Column* cols, size_t ncols,
                        float* out, std::vector<std::string_view>& scratch) {
    const ColumnPlan plan = plan_columns(cols, ncols);
    const bool more = split_limited(stripped, d, scratch, plan.limit);
    return values_of(scratch, more, cols, ncols, out);
}

namespace {

struct ScanSettings {
    const Delimiter* d;
    const Column* cols;
    size_t ncols;
    ColumnPlan plan;
    bool all_ascii;
    bool fast = false;  // scan_wanted applies
    uint64_t want = 0;
};

ScanSettings make_settings(std::string_view text, const Delimiter& d, const Column* cols, size_t ncols,
                           bool known_ascii) {
    ScanSettings st{&d, cols, ncols, plan_columns(cols, ncols), known_ascii || text::is_ascii(text)};
    st.fast = !d.whitespace && d.sep.size() == 1 && std::endian::native == std::endian::little &&
              st.plan.limit <= 64 && text.size() < (size_t(1) << 32);
    if (st.fast)
        for (size_t k = 0; k < ncols; ++k) st.want |= uint64_t(1) << cols[k];
    return st;
}

// Lines starting in [begin, end) of the text; `begin` is a line start.
void read_range(std::string_view text, size_t begin, size_t end, const ScanSettings& st, Table& out) {
    const Delimiter& d = *st.d;
    const size_t ncols = st.ncols;
    out.entries.reserve((end - begin) / 128);
    out.values.reserve((end - begin) / 128 * ncols);
    std::vector<std::string_view> fields;
    fields.reserve(st.plan.limit < 256 ? st.plan.limit : 256);
    const char* base = text.data();
    text::LineCutter cut(text.substr(begin, end - begin));
    std::string_view raw;
    while (cut.next(raw)) {
        if (!st.all_ascii && !text::is_ascii(raw)) {
            // The host's rules for non-ASCII text (Unicode whitespace, digits) decide.
            out.entries.push_back({static_cast<size_t>(raw.data() - base), raw.size(), true});
            out.values.resize(out.values.size() + ncols, 0.0f);
            continue;
        }
        std::string_view line = py_strip(raw);
        if (line.empty() || line[0] == '#') continue;
        if (!d.whitespace && d.sep.empty()) {
            out.error = TableError::empty_separator;
            out.error_entry = out.entries.size();
            return;
        }
        if (st.fast) {
            uint32_t starts[64], ends[64];
            const size_t nfields = scan_wanted(line, static_cast<unsigned char>(d.sep[0]), st.want, st.plan.limit,
                                               starts, ends);
            if (!four_digits(line.substr(starts[0], ends[0] - starts[0]))) continue;
            const size_t slot = out.values.size();
            out.values.resize(slot + ncols);
            float* row = out.values.data() + slot;
            for (size_t k = 0; k < ncols; ++k) {
                const size_t c = static_cast<size_t>(st.cols[k]);
                row[k] = c < nfields ? field_value(std::string_view(line.data() + starts[c], ends[c] - starts[c]))
                                     : std::numeric_limits<float>::quiet_NaN();
            }
            out.entries.push_back({static_cast<size_t>(line.data() - base), line.size(), false});
            continue;
        }
        const bool more = split_limited(line, d, fields, st.plan.limit);
        if (fields.empty() || !four_digits(fields[0])) continue;
        const size_t slot = out.values.size();
        out.values.resize(slot + ncols);
        if (values_of(fields, more, st.cols, ncols, out.values.data() + slot) != FieldError::none) {
            out.values.resize(slot);
            out.error = TableError::index_out_of_range;
            out.error_entry = out.entries.size();
            return;
        }
        out.entries.push_back({static_cast<size_t>(line.data() - base), line.size(), false});
    }
}

constexpr size_t kBytesPerWorker = size_t(1) << 19;  // below this a second thread costs more than it saves
constexpr unsigned kMaxWorkers = 4;

}  // namespace

void read_table(std::string_view text, const Delimiter& d, const Column* cols, size_t ncols, Table& out,
                bool text_known_ascii) {
    out.entries.clear();
    out.values.clear();
    out.error = TableError::none;
    out.error_entry = 0;
    if (text.empty()) return;
    const ScanSettings st = make_settings(text, d, cols, ncols, text_known_ascii);

    // Large texts are cut after line breaks into pieces read in parallel and
    // joined in text order, so the result is the same as one sequential pass.
    size_t workers = std::min<size_t>({util::resolve_threads(0), kMaxWorkers, text.size() / kBytesPerWorker});
    if (workers <= 1) {
        read_range(text, 0, text.size(), st, out);
        return;
    }
    std::vector<size_t> cuts{0};
    for (size_t k = 1; k < workers; ++k) {
        size_t at = std::max(text.size() * k / workers, cuts.back());
        // Just after the first line end at or after `at` ("\r\n" kept whole).
        size_t cut = at;
        while (cut < text.size() && text[cut] != '\n' && text[cut] != '\r') ++cut;
        if (cut < text.size() && text[cut] == '\r' && cut + 1 < text.size() && text[cut + 1] == '\n') ++cut;
        cuts.push_back(cut < text.size() ? cut + 1 : text.size());
    }
    cuts.push_back(text.size());
    std::vector<Table> parts(workers);
    util::ParallelOptions po;
    po.threads = static_cast<unsigned>(workers);
    util::parallel_for(workers, 1, [&](size_t k, size_t) { read_range(text, cuts[k], cuts[k + 1], st, parts[k]); },
                       po);
    size_t total = 0;
    for (const Table& p : parts) total += p.entries.size();
    out.entries.reserve(total);
    out.values.reserve(total * ncols);
    for (const Table& p : parts) {
        const size_t before = out.entries.size();
        out.entries.insert(out.entries.end(), p.entries.begin(), p.entries.end());
        out.values.insert(out.values.end(), p.values.begin(), p.values.end());
        if (p.error != TableError::none) {
            out.error = p.error;
            out.error_entry = before + p.error_entry;
            return;
        }
    }
}

HourLookup locate_hour(double hour, int64_t rows) noexcept {
    HourLookup r;
    if (!std::isfinite(hour)) {
        r.kind = HourLookup::not_finite;
        return r;
    }
    // Floored modulo with the sign of the divisor, as the host's % on floats.
    double h = std::fmod(hour, kHoursPerYear);
    if (h != 0.0) {
        if (h < 0) h += kHoursPerYear;
    } else {
        h = 0.0;
    }
    // A tiny negative hour rounds up to exactly 8760 when wrapped: that is hour 0.
    if (h >= kHoursPerYear) h = 0.0;
    const int64_t i = static_cast<int64_t>(h);
    r.i = i;
    if (h == static_cast<double>(i)) {
        r.kind = (i >= 0 && i < rows) ? HourLookup::exact : HourLookup::out_of_range_exact;
        return r;
    }
    r.j = (i + 1) % 8760;
    r.f = h - static_cast<double>(i);
    r.kind = (i >= 0 && i < rows && r.j >= 0 && r.j < rows) ? HourLookup::interpolate
                                                            : HourLookup::out_of_range_pair;
    return r;
}

void interpolate_rows(const float* a, const float* b, double f, float* out, size_t n) noexcept {
    const float ff = to_float32(f);
    for (size_t k = 0; k < n; ++k) {
        // Separate roundings (no fused multiply-add): numpy computes B - A,
        // then f * (B - A), then A + that, each rounded to float32.
        volatile float diff = b[k] - a[k];
        volatile float step = ff * diff;
        out[k] = a[k] + step;
    }
}

bool parse_location(std::string_view line, Location& out) {
    std::vector<std::string_view> f;
    split_fields(py_strip(line), Delimiter{false, ","}, f);
    if (f.size() < 9 || py_strip(f[0]) != "LOCATION") return false;
    Location l;
    if (!parse_py_float(f[6], l.latitude) || !parse_py_float(f[7], l.longitude) || !parse_py_float(f[8], l.time_zone))
        return false;
    if (!(l.latitude >= -90 && l.latitude <= 90) || !(l.longitude >= -180 && l.longitude <= 180) ||
        !(l.time_zone >= -12 && l.time_zone <= 14))
        return false;
    out = l;
    return true;
}

}  // namespace qm::epw
