// Power of a small wind turbine from the wind speed at hub height.
//
// Kinetic power of the air stream through the rotor, P_wind = 0.5 rho A v^3
// (A = pi r^2 the swept area), times the rotor's power coefficient and two
// further efficiency factors (gearbox/generator and converter). There is no
// rated speed and no cap: between the cut-in and the cut-out speed (both
// inclusive) the power follows v^3; outside it is 0. With the defaults the
// factor of v^3 is 0.5037622359847573 W per (m/s)^3, about 2938 W at 18 m/s.
#pragma once

namespace qm::wind {

constexpr double kPi = 3.141592653589793;  // the host's math.pi

struct TurbineCurve {
    double air_density = 1.225;      // rho [kg/m3]
    double rotor_radius = 1.0;       // r [m]
    double efficiency_a = 0.85;      // [-]
    double efficiency_b = 0.88;      // [-]
    double power_coefficient = 0.35; // Cp [-]
    double cut_in_speed = 3.0;       // [m/s], inclusive
    double cut_out_speed = 18.0;     // [m/s], inclusive
};

// Electrical power [W] at wind speed v [m/s]. The products are formed in the
// order v^3 * ((((eff_b * eff_a) * 0.5) * rho) * A * Cp), the powers with
// pow(), so results are bit-identical to that expression in the host. A NaN
// speed passes both limit tests and gives NaN.
double small_wind_power(double wind_speed, const TurbineCurve& c = TurbineCurve{}) noexcept;

}  // namespace qm::wind
