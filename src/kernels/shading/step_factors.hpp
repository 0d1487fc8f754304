// The stored exact factors of a run (plan.hpp: the "exact" product): one
// row per position of the run's sun track (sun_track.hpp), in its order, one
// column per analysed surface (factor_file.hpp gives the text).
//
// load_step_factors() takes a stored file only when the store finds it fresh
// (its fingerprint is the expected one and its content unchanged), it reads
// as a factor table of exactly `surfaces`, and its positions are the track's,
// bit for bit and in order. Anything else says why, and the caller casts.
#pragma once
#include <string>
#include <vector>

#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/store.hpp"
#include "kernels/shading/sun_track.hpp"

namespace qm::shading {

struct StepFactorsLoad {
    StoreLoad store;                                   // store.error != none: not fresh (why)
    FactorFileError file = FactorFileError::none;      // the text does not read (at `line`)
    size_t line = 0;
    bool other_positions = false;                      // reads, but for another sun track
    FactorTable table;                                 // fresh(): the factors
    bool fresh() const noexcept {
        return store.error == StoreError::none && file == FactorFileError::none && !other_positions;
    }
};

StepFactorsLoad load_step_factors(const std::string& path, const Fingerprint& expected,
                                  const std::vector<std::string>& surfaces, const SunTrack& track);

}  // namespace qm::shading
