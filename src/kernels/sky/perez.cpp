#include "kernels/sky/perez.hpp"

#include <algorithm>
#include <cmath>

namespace qm::sky {
namespace {
constexpr double kDeg = 3.14159265358979323846 / 180.0;

// 'allsitescomposite1990', bins 1..8 (Perez et al. 1990, table 6).
constexpr PerezCoefficients kAllSites1990[8] = {
    {-0.008, 0.588, -0.062, -0.060, 0.072, -0.022}, {0.130, 0.683, -0.151, -0.019, 0.066, -0.029},
    {0.330, 0.487, -0.221, 0.055, -0.064, -0.026},  {0.568, 0.187, -0.295, 0.109, -0.152, -0.014},
    {0.873, -0.392, -0.362, 0.226, -0.462, 0.001},  {1.132, -1.237, -0.412, 0.288, -0.823, 0.056},
    {1.060, -1.600, -0.359, 0.264, -1.127, 0.131},  {0.678, -0.327, -0.250, 0.156, -1.377, 0.251}};
constexpr double kBinEdges[7] = {1.065, 1.23, 1.5, 1.95, 2.8, 4.5, 6.2};
}  // namespace

const char* sky_error_text(SkyError e) noexcept {
    switch (e) {
        case SkyError::none: return "none";
        case SkyError::not_finite: return "an input is not finite";
        case SkyError::sun_below_horizon: return "the sun is at or below the horizon";
    }
    return "unknown";
}

int clearness_bin(double epsilon) noexcept {
    if (!(epsilon >= 0.0)) return 0;
    int bin = 1;
    for (double edge : kBinEdges) bin += epsilon >= edge ? 1 : 0;
    return bin;
}

const PerezCoefficients& perez_coefficients(int bin) noexcept { return kAllSites1990[std::clamp(bin, 1, 8) - 1]; }

PlaneViews free_plane_views(double surface_tilt) noexcept {
    return {0.5 * (1.0 + std::cos(surface_tilt * kDeg)), std::sin(surface_tilt * kDeg)};
}

SkyError perez_sky(double dhi, double dni, double dni_extra, double solar_zenith, double airmass,
                   PerezSky& out) noexcept {
    out = {};
    if (!std::isfinite(dhi) || !std::isfinite(dni) || !std::isfinite(dni_extra) || std::isnan(solar_zenith))
        return SkyError::not_finite;
    if (!(solar_zenith < 90.0) || !std::isfinite(airmass)) return SkyError::sun_below_horizon;
    if (!(dhi > 0.0)) return SkyError::none;  // no diffuse light: every part is zero
    const double z = solar_zenith * kDeg;
    const double kz3 = 1.041 * z * z * z;
    out.epsilon = ((dhi + dni) / dhi + kz3) / (1.0 + kz3);
    out.delta = dhi * airmass / dni_extra;
    out.bin = clearness_bin(out.epsilon);
    if (out.bin == 0) return SkyError::none;  // dni < -dhi: no light to split
    const PerezCoefficients& c = perez_coefficients(out.bin);
    out.F1 = std::max(0.0, c.f11 + c.f12 * out.delta + c.f13 * z);
    out.F2 = c.f21 + c.f22 * out.delta + c.f23 * z;
    return SkyError::none;
}

SkyDiffuse perez_on_plane(double dhi, const PerezSky& sky, const PlaneViews& views, double beam_factor,
                          double solar_zenith) noexcept {
    SkyDiffuse out;
    if (!(dhi > 0.0) || sky.bin == 0) return out;
    const double b = std::max(std::cos(solar_zenith * kDeg), std::cos(85.0 * kDeg));
    out.isotropic = dhi * ((1.0 - sky.F1) * views.dome);
    out.circumsolar = dhi * (sky.F1 * std::max(beam_factor, 0.0) / b);
    out.horizon = dhi * (sky.F2 * views.horizon);
    if (!(out.total() > 0.0)) out = {};  // pvlib: no negative sky, and then no parts
    return out;
}

SkyError perez(double dhi, double dni, double dni_extra, double solar_zenith, double airmass,
               const PlaneViews& views, double beam_factor, SkyDiffuse& out) noexcept {
    out = {};
    PerezSky sky;
    const SkyError e = perez_sky(dhi, dni, dni_extra, solar_zenith, airmass, sky);
    if (e != SkyError::none) return e;
    out = perez_on_plane(dhi, sky, views, beam_factor, solar_zenith);
    return SkyError::none;
}

}  // namespace qm::sky
