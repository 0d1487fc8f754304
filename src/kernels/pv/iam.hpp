// Incidence-angle modifiers: the share of the light arriving at an angle of
// incidence aoi [deg] that the cover lets through to the cells, relative to
// light at normal incidence (1 at aoi = 0, 0 at and beyond 90 deg).
//
// physical (De Soto, Klein and Beckman 2006, Solar Energy 80(1) 78-88,
// doi:10.1016/j.solener.2005.06.010): Fresnel reflection at an air-glass
// interface of refractive index n [-] and Bouguer absorption in a cover of
// extinction coefficient K [1/m] and thickness L [m], averaged over s- and p-
// polarised light and divided by the value at normal incidence:
//   sin(t2) = sin(t1) / n,  r_s = ((cos t1 - n cos t2) / (cos t1 + n cos t2))^2,
//   r_p = ((cos t2 - n cos t1) / (cos t2 + n cos t1))^2,
//   iam = ((1 - r_s) + (1 - r_p)) / 2 * exp(-K L / cos t2) / ((1 - r_0) exp(-K L)),
//   r_0 = ((1 - n) / (1 + n))^2.  Defaults n = 1.526, K = 4, L = 0.002 (De Soto).
// ashrae (Souka and Safwat 1966; ASHRAE 93-77): iam = 1 - b0 (1 / cos aoi - 1),
//   b0 = 0.05, at least 0.
// martin_ruiz (Martin and Ruiz 2001, Sol. Energy Mater. Sol. Cells 70, 25-38,
//   doi:10.1016/S0927-0248(00)00408-6): iam = (1 - exp(-cos aoi / a_r)) /
//   (1 - exp(-1 / a_r)), a_r = 0.16.
//
// Diffuse light (sky and ground, both isotropic) is modified by the integral
// of the model over the part of the sky dome or the ground the plane sees,
// weighted by cos(aoi), as Marion (2017, Solar Energy 147, 344-348,
// doi:10.1016/j.solener.2017.03.027) integrates it: the sphere is cut into
// zenith bands and azimuth cells of one degree (180 x 360 cells, evaluated at
// their centres), every cell in front of the plane weighs cos(aoi) dA. The
// results equal pvlib's iam.marion_diffuse (same cells, same sums).
//
// What the implementation decides: a NaN angle gives NaN; |aoi| >= 90 gives 0
// for every model (light from behind the plane); the physical model at
// aoi = 90 gives 0 (the Fresnel limit) and is not evaluated beyond. A ground
// region the plane does not see (a horizontal plane facing up) has a diffuse
// modifier of 0, as pvlib gives.
#pragma once

namespace qm::pv {

enum class IamModel { no_loss, physical, ashrae, martin_ruiz };

struct IamParameters {
    IamModel model = IamModel::physical;
    double n = 1.526;   // refractive index of the cover [-]
    double K = 4.0;     // extinction coefficient of the cover [1/m]
    double L = 0.002;   // thickness of the cover [m]
    double b = 0.05;    // ASHRAE b0 [-]
    double a_r = 0.16;  // Martin-Ruiz angular losses coefficient [-]
};

enum class IamError { none, parameter_out_of_range };
const char* iam_error_text(IamError e) noexcept;

// Checks the parameters of the chosen model: n >= 1, K >= 0, L >= 0, b >= 0,
// a_r > 0, all finite.
IamError check_iam(const IamParameters& p) noexcept;

double iam_physical(double aoi, double n = 1.526, double K = 4.0, double L = 0.002) noexcept;
double iam_ashrae(double aoi, double b = 0.05) noexcept;
double iam_martin_ruiz(double aoi, double a_r = 0.16) noexcept;

// The modifier of the chosen model at aoi [deg] (1 for no_loss).
double iam(const IamParameters& p, double aoi) noexcept;

struct DiffuseIam {
    double sky = 1.0, ground = 1.0;
};
// The integrated modifiers of isotropic sky and ground light on a plane tilted
// by surface_tilt [deg] (0 facing up, 90 vertical, 180 facing down).
DiffuseIam marion_diffuse(const IamParameters& p, double surface_tilt) noexcept;

}  // namespace qm::pv
