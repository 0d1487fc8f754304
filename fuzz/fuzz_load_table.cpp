// libFuzzer target for the load table reader: any bytes as a table, mapped to
// a run whose step, length and begin come from the input's first bytes. Checks
// that a read table maps to finite, non-negative demands of every step.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "kernels/energy/load_profile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    using namespace qm::energy;
    static const double kSteps[] = {3600.0, 900.0, 1800.0, 86400.0};
    StepGrid grid;
    grid.dt_s = kSteps[data[0] % 4];
    grid.n_steps = data[1] % 64;
    grid.begin_s = double(data[2] % 32) * grid.dt_s;
    const LoadUnit unit = data[3] % 2 ? LoadUnit::kWh : LoadUnit::kW;
    std::string_view text(reinterpret_cast<const char*>(data + 4), size - 4);
    LoadTable table;
    if (read_load_table(text, 2025, table).error != LoadError::none) return 0;
    if (table.values.size() != table.lines.size()) std::abort();
    if (!table.stamps.empty() && table.stamps.size() != table.values.size()) std::abort();
    std::vector<double> kw;
    if (load_steps(table, unit, grid, data[2] % 3 ? 0.0 : 1000.0, kw).error != LoadError::none) return 0;
    if (kw.size() != grid.n_steps) std::abort();
    for (double v : kw)
        if (!(v >= 0.0) || std::isinf(v)) std::abort();
    return 0;
}
