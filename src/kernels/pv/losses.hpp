// System losses by category, combined as PVWatts combines them (Dobos 2014,
// PVWatts Version 5 Manual, NREL/TP-6A20-62641, section 3.1):
//   losses [%] = 100 * (1 - prod over categories of (1 - loss_i / 100))
// every loss_i in percent [%]. PVWatts' defaults: soiling 2, shading 3, snow 0,
// mismatch 2, wiring 2, connections 0.5, lid 1.5 (light-induced degradation),
// nameplate_rating 1, age 0, availability 3: 14.08 % in all.
//
// What the implementation decides: our default for `shading` is 0, not 3,
// because the panels' shading is computed by ray casting (PVWatts' 3 % stands
// in for it); with it the defaults give 11.42 %. The categories are applied in
// the order listed, so each stage of the loss tree is the product so far.
#pragma once
#include <array>

namespace qm::pv {

struct PvwattsLosses {
    double soiling = 2.0, shading = 0.0, snow = 0.0, mismatch = 2.0, wiring = 2.0, connections = 0.5,
           lid = 1.5, nameplate_rating = 1.0, age = 0.0, availability = 3.0;  // [%]
    std::array<double, 10> values() const {
        return {soiling, shading, snow, mismatch, wiring, connections, lid, nameplate_rating, age, availability};
    }
};

// The names of the categories, in the order of values() (pvlib's names).
extern const std::array<const char*, 10> kLossNames;

// Total loss [%]: 100 * (1 - prod(1 - x / 100)).
double pvwatts_losses(const PvwattsLosses& l) noexcept;

// True when every category lies in [0, 100].
bool losses_in_range(const PvwattsLosses& l) noexcept;

}  // namespace qm::pv
