// libFuzzer target for the weather table scanner: any bytes as a table, with
// the separator and the columns taken from the input's first bytes. Checks the
// scan's own invariants besides the sanitizers' memory and UB checks.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/weather/epw_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Byte 0: separator choice; byte 1: number of columns; then the columns.
    static const char* const kSeps[] = {",", ";", "\t", ";;", ""};
    const unsigned choice = data[0] % 6;
    qm::epw::Delimiter d;
    if (choice == 5)
        d.whitespace = true;
    else
        d.sep = kSeps[choice];
    const size_t ncols = data[1] % 8;
    if (size < 2 + ncols) return 0;
    std::vector<qm::epw::Column> cols;
    for (size_t k = 0; k < ncols; ++k) cols.push_back(static_cast<int8_t>(data[2 + k]));
    std::string_view text(reinterpret_cast<const char*>(data + 2 + ncols), size - 2 - ncols);

    qm::epw::Table t;
    qm::epw::read_table(text, d, cols.data(), cols.size(), t);
    if (t.values.size() != t.entries.size() * ncols) std::abort();
    for (const qm::epw::Entry& e : t.entries) {
        if (e.begin + e.length > text.size()) std::abort();
        std::string_view line = text.substr(e.begin, e.length);
        if (e.deferred) continue;
        // Every accepted line is a data line on its own, and parses to the same values.
        if (!qm::epw::is_data_line(line, d)) std::abort();
    }
    for (size_t r = 0; r < t.entries.size(); ++r) {
        if (t.entries[r].deferred) continue;
        std::vector<float> again(ncols);
        std::vector<std::string_view> scratch;
        std::string_view line = text.substr(t.entries[r].begin, t.entries[r].length);
        if (qm::epw::parse_fields(line, d, cols.data(), ncols, again.data(), scratch) != qm::epw::FieldError::none)
            std::abort();
        for (size_t k = 0; k < ncols; ++k) {
            const float a = t.values[r * ncols + k], b = again[k];
            if (!(a == b || (std::isnan(a) && std::isnan(b)))) std::abort();
        }
    }
    // The hour lookup accepts any double.
    if (text.size() >= 8) {
        double h;
        std::memcpy(&h, text.data(), sizeof h);
        qm::epw::HourLookup at = qm::epw::locate_hour(h, static_cast<int64_t>(t.entries.size()));
        if (at.kind == qm::epw::HourLookup::exact && (at.i < 0 || at.i >= static_cast<int64_t>(t.entries.size())))
            std::abort();
    }
    return 0;
}
