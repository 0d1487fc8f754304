#include "kernels/pv/cell_temperature.hpp"

#include <cmath>

namespace qm::pv {

void faiman_preset(Mounting m, double& u0, double& u1) noexcept {
    switch (m) {
        case Mounting::open_rack: u0 = 25.0, u1 = 6.84; return;
        case Mounting::close_mount: u0 = 19.504, u1 = 1.090; return;
        case Mounting::insulated_back: u0 = 16.466, u1 = 0.883; return;
    }
}

const char* temperature_error_text(TemperatureError e) noexcept {
    switch (e) {
        case TemperatureError::none: return "none";
        case TemperatureError::parameter_out_of_range: return "a cell temperature parameter is out of range";
    }
    return "?";
}

TemperatureError check_temperature(const TemperatureParameters& p) noexcept {
    auto fin = [](double v) { return std::isfinite(v); };
    bool ok = true;
    switch (p.model) {
        case TemperatureModel::faiman: ok = fin(p.u0) && fin(p.u1) && p.u0 > 0.0 && p.u1 >= 0.0; break;
        case TemperatureModel::sapm: ok = fin(p.a) && fin(p.b) && fin(p.deltaT); break;
        case TemperatureModel::pvsyst:
            ok = fin(p.u_c) && fin(p.u_v) && p.u_c > 0.0 && p.u_v >= 0.0 && p.module_efficiency >= 0.0 &&
                 p.module_efficiency < 1.0 && p.alpha_absorption > 0.0 && p.alpha_absorption <= 1.0;
            break;
        case TemperatureModel::noct:
            ok = fin(p.noct) && p.module_efficiency >= 0.0 && p.module_efficiency < 1.0 &&
                 p.transmittance_absorptance > 0.0 && p.transmittance_absorptance <= 1.0;
            break;
    }
    return ok ? TemperatureError::none : TemperatureError::parameter_out_of_range;
}

double faiman(double poa_global, double temp_air, double wind_speed, double u0, double u1) noexcept {
    return temp_air + poa_global / (u0 + u1 * wind_speed);
}

double sapm_cell(double poa_global, double temp_air, double wind_speed, double a, double b, double deltaT) noexcept {
    const double module = poa_global * std::exp(a + b * wind_speed) + temp_air;
    return module + poa_global / 1000.0 * deltaT;
}

double pvsyst_cell(double poa_global, double temp_air, double wind_speed, double u_c, double u_v,
                   double module_efficiency, double alpha_absorption) noexcept {
    return temp_air + poa_global * alpha_absorption * (1.0 - module_efficiency) / (u_c + u_v * wind_speed);
}

double noct_sam(double poa_global, double temp_air, double wind_speed, double noct, double module_efficiency,
                double transmittance_absorptance) noexcept {
    const double wind_adj = 0.51 * wind_speed;  // one storey or less
    const double init = poa_global / 800.0 * (noct - 20.0);
    const double heat_loss = 1.0 - module_efficiency / transmittance_absorptance;
    const double wind_loss = 9.5 / (5.7 + 3.8 * wind_adj);
    return temp_air + init * heat_loss * wind_loss;
}

double cell_temperature(const TemperatureParameters& p, double poa_global, double temp_air,
                        double wind_speed) noexcept {
    switch (p.model) {
        case TemperatureModel::faiman: return faiman(poa_global, temp_air, wind_speed, p.u0, p.u1);
        case TemperatureModel::sapm: return sapm_cell(poa_global, temp_air, wind_speed, p.a, p.b, p.deltaT);
        case TemperatureModel::pvsyst:
            return pvsyst_cell(poa_global, temp_air, wind_speed, p.u_c, p.u_v, p.module_efficiency,
                               p.alpha_absorption);
        case TemperatureModel::noct:
            return noct_sam(poa_global, temp_air, wind_speed, p.noct, p.module_efficiency,
                            p.transmittance_absorptance);
    }
    return NAN;
}

}  // namespace qm::pv
