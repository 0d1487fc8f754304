// libFuzzer target: the solar map's kept table (read_map_table) on arbitrary
// bytes, for a triangle list taken from the input's first bytes. A table it
// accepts has every column at full length and finite values, and writing it
// back and reading that again gives the same values bit for bit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/maps/irradiation.hpp"

namespace {

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    using namespace qm::maps;
    // Up to 7 triangles, numbered with a stride and an offset (negative numbers too).
    std::vector<int64_t> triangles(data[0] % 8);
    for (size_t k = 0; k < triangles.size(); ++k) triangles[k] = int64_t(k) * data[1] - int64_t(data[2] % 4);
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    MapResult map;
    size_t line = 0;
    if (!read_map_table(text, triangles, map, line)) {
        if (line == 0) std::abort();  // a refusal names its line
        return 0;
    }
    const size_t n = triangles.size();
    if (map.annual.size() != n || map.monthly.size() != 12 * n || map.sky_view.size() != n ||
        map.ground_view.size() != n || map.horizon_view.size() != n)
        std::abort();
    for (const auto* col : {&map.annual, &map.monthly, &map.sky_view, &map.ground_view, &map.horizon_view})
        for (double v : *col)
            if (!std::isfinite(v)) std::abort();
    MapResult again;
    if (!read_map_table(map_table_text(triangles, map), triangles, again, line)) std::abort();
    if (!same(map.annual, again.annual) || !same(map.monthly, again.monthly) || !same(map.sky_view, again.sky_view) ||
        !same(map.ground_view, again.ground_view) || !same(map.horizon_view, again.horizon_view))
        std::abort();
    return 0;
}
