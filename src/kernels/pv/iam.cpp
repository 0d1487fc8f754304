#include "kernels/pv/iam.hpp"

#include <cmath>
#include <vector>

namespace qm::pv {
namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kDeg = kPi / 180.0;
}  // namespace

const char* iam_error_text(IamError e) noexcept {
    switch (e) {
        case IamError::none: return "none";
        case IamError::parameter_out_of_range: return "an incidence-angle parameter is out of range";
    }
    return "?";
}

IamError check_iam(const IamParameters& p) noexcept {
    bool ok = true;
    switch (p.model) {
        case IamModel::no_loss: break;
        case IamModel::physical:
            ok = std::isfinite(p.n) && std::isfinite(p.K) && std::isfinite(p.L) && p.n >= 1.0 && p.K >= 0.0 &&
                 p.L >= 0.0;
            break;
        case IamModel::ashrae: ok = std::isfinite(p.b) && p.b >= 0.0; break;
        case IamModel::martin_ruiz: ok = std::isfinite(p.a_r) && p.a_r > 0.0; break;
    }
    return ok ? IamError::none : IamError::parameter_out_of_range;
}

double iam_physical(double aoi, double n, double K, double L) noexcept {
    if (std::isnan(aoi)) return aoi;
    if (std::fabs(aoi) >= 90.0) return 0.0;
    // Written as pvlib writes it (n1 = 1, n2 = n), so values agree to rounding.
    double cos1 = std::cos(aoi * kDeg);
    if (cos1 < 0.0) cos1 = 0.0;
    const double sin1 = std::sqrt(1.0 - cos1 * cos1);
    const double sin2 = sin1 / n;
    const double cos2 = std::sqrt(1.0 - sin2 * sin2);
    const double rs = std::pow((cos1 - n * cos2) / (cos1 + n * cos2), 2);
    const double rp = std::pow((cos2 - n * cos1) / (cos2 + n * cos1), 2);
    const double r0 = std::pow((1.0 - n) / (1.0 + n), 2);
    const double absorb = std::exp(-K * L / cos2);
    const double tau_s = (1.0 - rs) * absorb, tau_p = (1.0 - rp) * absorb;
    const double tau_0 = (1.0 - r0) * std::exp(-K * L);
    return (tau_s + tau_p) / 2.0 / tau_0;
}

double iam_ashrae(double aoi, double b) noexcept {
    if (std::isnan(aoi)) return aoi;
    if (std::fabs(aoi) >= 90.0) return 0.0;
    const double v = 1.0 - b * (1.0 / std::cos(aoi * kDeg) - 1.0);
    return v > 0.0 ? v : 0.0;
}

double iam_martin_ruiz(double aoi, double a_r) noexcept {
    if (std::isnan(aoi)) return aoi;
    if (std::fabs(aoi) >= 90.0) return 0.0;
    return (1.0 - std::exp(-std::cos(aoi * kDeg) / a_r)) / (1.0 - std::exp(-1.0 / a_r));
}

double iam(const IamParameters& p, double aoi) noexcept {
    switch (p.model) {
        case IamModel::no_loss: return std::isnan(aoi) ? aoi : 1.0;
        case IamModel::physical: return iam_physical(aoi, p.n, p.K, p.L);
        case IamModel::ashrae: return iam_ashrae(aoi, p.b);
        case IamModel::martin_ruiz: return iam_martin_ruiz(aoi, p.a_r);
    }
    return NAN;
}

namespace {
// Marion's integral over one region: zenith bands [phi, phi + step) of the
// sky (upper half) or the ground (lower half), each cut into 2 x bands azimuth
// cells; the plane's normal is tilted by beta towards azimuth 0.
double marion_integrate(const IamParameters& p, double beta, bool sky) {
    constexpr int num = 180;
    const double step = kPi / num;
    double numerator = 0.0, denominator = 0.0;
    const double cb = std::cos(beta), sb = std::sin(beta);
    for (int i = 0; i < num; ++i) {
        const double phi1 = step * i;
        if (sky ? !(phi1 + step <= kPi / 2) : !(phi1 >= kPi / 2)) continue;
        const double phi_avg = phi1 + 0.5 * step;
        const double dA = step * (std::cos(phi1) - std::cos(phi1 + step));
        for (int j = 0; j < 2 * num; ++j) {
            const double psi_avg = 2.0 * kPi * j / (2 * num) + 0.5 * step;
            const double cos_aoi = cb * std::cos(phi_avg) + sb * std::sin(phi_avg) * std::cos(psi_avg);
            const double aoi = std::acos(cos_aoi);
            if (!(aoi < kPi / 2)) continue;
            numerator += iam(p, aoi / kDeg) * cos_aoi * dA;
            denominator += cos_aoi * dA;
        }
    }
    return denominator != 0.0 ? numerator / denominator : 0.0;
}
}  // namespace

DiffuseIam marion_diffuse(const IamParameters& p, double surface_tilt) noexcept {
    if (p.model == IamModel::no_loss) return {1.0, 1.0};
    if (!std::isfinite(surface_tilt)) return {NAN, NAN};
    const double beta = surface_tilt * kDeg;
    return {marion_integrate(p, beta, true), marion_integrate(p, beta, false)};
}

}  // namespace qm::pv
