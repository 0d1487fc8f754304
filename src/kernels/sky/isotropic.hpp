// The isotropic sky and the ground's reflection.
//
//   poa_sky_diffuse    = dhi * dome_view                    [W/m2]
//   poa_ground_diffuse = albedo * ghi * ground_view         [W/m2]
//
// dhi, ghi [W/m2] diffuse and global horizontal irradiance, albedo [-]; for a
// free plane of tilt beta dome_view = (1 + cos beta) / 2 and ground_view =
// (1 - cos beta) / 2. Liu, B. Y. H. and Jordan, R. C., "The long-term average
// performance of flat-plate solar-energy collectors", Solar Energy 7(2),
// 53-74, 1963, doi:10.1016/0038-092X(63)90006-9. pvlib: irradiance.isotropic
// and irradiance.get_ground_diffuse.
//
// Decided here: the ground is a uniform diffuse reflector of the global
// horizontal light; a plane among buildings passes its ray-cast views (the
// building's own shadow on the ground is not modelled: the ground is lit as
// if open). Negative irradiance (a sensor offset at night) counts as zero.
#pragma once

namespace qm::sky {

double isotropic(double dhi, double dome_view) noexcept;
double ground_diffuse(double ghi, double albedo, double ground_view) noexcept;

// Global horizontal irradiance from the beam and the diffuse part:
// dni * sin(altitude) + dhi [W/m2], the beam counting only with the sun above
// the horizon.
double global_horizontal(double dni, double dhi, double solar_altitude) noexcept;

}  // namespace qm::sky
