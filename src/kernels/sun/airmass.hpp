// Relative optical air mass: the path length of the sun's beam through the
// atmosphere against the path at the zenith.
//
//   AM = 1 / (cos z + 0.50572 * (96.07995 - z)^-1.6364)        [-]
//
// z the solar zenith angle [deg] (the apparent one, with refraction, where the
// caller has it). Kasten, F. and Young, A. T., "Revised optical air mass
// tables and approximation formula", Applied Optics 28(22), 4735-4738, 1989,
// doi:10.1364/AO.28.004735. pvlib: atmosphere.get_relative_airmass(zenith,
// model='kastenyoung1989').
//
// Decided here: a zenith beyond 90 deg (sun below the horizon) or a NaN one
// has no air mass and gives NaN, as pvlib does; the formula stays finite up to
// 90 deg (AM = 37.92 at the horizon). Not pressure-corrected.
#pragma once

namespace qm::sun {

double relative_airmass_kastenyoung1989(double zenith) noexcept;

}  // namespace qm::sun
