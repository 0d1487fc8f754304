// The Perez 1990 anisotropic sky: the diffuse sky radiance split into an
// isotropic dome, a circumsolar disc (that follows the sun) and a band at the
// horizon, each with its own view from the plane.
//
//   eps   = ((dhi + dni) / dhi + k z^3) / (1 + k z^3),  k = 1.041   [-] sky clearness
//   delta = dhi * AM / dni_extra                                   [-] sky brightness
//   F1    = max(0, f11 + f12 delta + f13 z)                        [-] circumsolar brightening
//   F2    = f21 + f22 delta + f23 z                                [-] horizon brightening
//   poa_isotropic   = dhi (1 - F1) dome_view                        [W/m2]
//   poa_circumsolar = dhi F1 beam_factor / max(cos z, cos 85 deg)   [W/m2]
//   poa_horizon     = dhi F2 horizon_view                           [W/m2]
//
// dhi, dni [W/m2] diffuse horizontal and direct normal irradiance, z the solar
// zenith [rad in the formulas, deg at the interface], AM the relative air mass
// (sun/airmass.hpp), dni_extra [W/m2] (sun/extraterrestrial.hpp); f1j, f2j
// the published coefficients of the clearness bin of eps, set
// 'allsitescomposite1990'. For a free plane of tilt beta: dome_view =
// (1 + cos beta) / 2, horizon_view = sin beta, beam_factor = max(0, cos aoi).
//
// Perez, R., Ineichen, P., Seals, R., Michalsky, J., Stewart, R., "Modeling
// daylight availability and irradiance components from direct and global
// irradiance", Solar Energy 44(5), 271-289, 1990,
// doi:10.1016/0038-092X(90)90055-H; the framework from Perez et al., Solar
// Energy 39(3), 221-232, 1987. pvlib: irradiance.perez(..., model=
// 'allsitescomposite1990', return_components=True), whose results this kernel
// reproduces for free planes (poa_isotropic, poa_circumsolar, poa_horizon).
//
// Decided here:
// - The three views are the caller's: a plane among buildings passes its
//   ray-cast sky view, horizon-band view and the beam's exact factor
//   (cos aoi times the lit share), so the circumsolar part is shaded as the
//   beam is and is zero whenever the beam factor is zero.
// - As pvlib: when the three parts sum below zero (a strongly negative horizon
//   term on a steep plane) all three are zero; dhi <= 0 gives zeros.
// - The sun at or below the horizon (zenith >= 90 deg, no air mass) has no
//   clearness bin: the kernel refuses it (sun_below_horizon) and the caller
//   decides (pvlib returns 0 sky diffuse there; our panel takes the isotropic
//   sky, so twilight diffuse light is not lost).
#pragma once

namespace qm::sky {

enum class SkyError { none, not_finite, sun_below_horizon };
const char* sky_error_text(SkyError e) noexcept;

// The coefficients of one clearness bin.
struct PerezCoefficients {
    double f11, f12, f13, f21, f22, f23;
};

// Clearness bin of eps: 1 (overcast, eps < 1.065) .. 8 (clear, eps >= 6.2);
// 0 for NaN or eps < 0 (no bin).
int clearness_bin(double epsilon) noexcept;
// The 'allsitescomposite1990' coefficients of bin 1..8.
const PerezCoefficients& perez_coefficients(int bin) noexcept;

// What a plane sees of each part of the sky [-].
struct PlaneViews {
    double dome = 0.0;     // isotropic dome: (1 + cos beta) / 2 for a free plane
    double horizon = 0.0;  // horizon band: sin beta for a free plane
};
PlaneViews free_plane_views(double surface_tilt) noexcept;  // tilt [deg]

// The diffuse sky on the plane by part [W/m2].
struct SkyDiffuse {
    double isotropic = 0.0, circumsolar = 0.0, horizon = 0.0;
    double total() const noexcept { return isotropic + circumsolar + horizon; }
};

// The sky's brightening of one instant (independent of the plane).
struct PerezSky {
    double epsilon = 0.0, delta = 0.0, F1 = 0.0, F2 = 0.0;
    int bin = 0;
};
SkyError perez_sky(double dhi, double dni, double dni_extra, double solar_zenith, double airmass,
                   PerezSky& out) noexcept;

// The parts on a plane: dhi [W/m2], the sky of perez_sky, the plane's views and
// beam factor [-], the solar zenith [deg].
SkyDiffuse perez_on_plane(double dhi, const PerezSky& sky, const PlaneViews& views, double beam_factor,
                          double solar_zenith) noexcept;

// perez_sky then perez_on_plane.
SkyError perez(double dhi, double dni, double dni_extra, double solar_zenith, double airmass,
               const PlaneViews& views, double beam_factor, SkyDiffuse& out) noexcept;

}  // namespace qm::sky
