#include "kernels/shading/step_factors.hpp"

#include <cstring>

namespace qm::shading {

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

StepFactorsLoad load_step_factors(const std::string& path, const Fingerprint& expected,
                                  const std::vector<std::string>& surfaces, const SunTrack& track) {
    StepFactorsLoad out;
    out.store = load_if_fresh(path, expected);
    if (out.store.error != StoreError::none) return out;
    out.file = read_factor_table(out.store.text, surfaces, out.table, out.line);
    out.store.text.clear();
    if (out.file != FactorFileError::none) return out;
    bool same = out.table.positions() == track.positions();
    for (size_t i = 0; same && i < track.positions(); ++i)
        same = same_bits(out.table.altitudes[i], track.altitudes[i]) && same_bits(out.table.azimuths[i], track.azimuths[i]);
    out.other_positions = !same;
    return out;
}

}  // namespace qm::shading
