// Cell temperature [C] from the light on the plane, the air temperature and
// the wind speed. Every model takes poa_global [W/m2] (the light reaching the
// plane, before reflection losses), temp_air [C] and wind_speed [m/s].
//
// faiman (Faiman 2008, Prog. Photovolt. 16(4) 307-315, doi:10.1002/pip.813;
//   IEC 61853-2): T = temp_air + poa_global / (u0 + u1 * wind_speed),
//   u0 [W/(m2 C)], u1 [W/(m2 C) / (m/s)]; defaults u0 = 25, u1 = 6.84 (open rack).
// sapm (King, Boyson and Kratochvil 2004, SAND2004-3535):
//   T_m = poa_global * exp(a + b * wind_speed) + temp_air,
//   T = T_m + poa_global / 1000 * deltaT; a [-], b [s/m], deltaT [C].
// pvsyst (PVsyst user manual; Mermoud and Lejeune 2010):
//   T = temp_air + poa_global * alpha_absorption * (1 - module_efficiency) /
//   (u_c + u_v * wind_speed); u_c [W/(m2 C)], u_v [W/(m2 C) / (m/s)],
//   alpha_absorption 0.9, module_efficiency 0.1.
// noct (Gilman et al. 2018, SAM Photovoltaic Model Technical Reference Update,
//   NREL/TP-6A20-67399, section 10.6, as pvlib's noct_sam):
//   T = temp_air + poa_global / 800 * (noct + dT_standoff - 20) *
//       (1 - module_efficiency / transmittance_absorptance) *
//       9.5 / (5.7 + 3.8 * 0.51 * wind_speed),
//   dT_standoff 0 (one storey or less, 4 in or more of stand-off: the default).
//
// Mounting presets for building PV (faiman u0, u1 [W/(m2 C)], [W/(m2 C)/(m/s)]):
//   open_rack       25.0, 6.84   Faiman's own values (modules in free air)
//   close_mount     19.504, 1.090  roof mount with a ventilated gap behind the
//                   modules: King's sapm close_mount_glass_glass (a = -2.98,
//                   b = -0.0471) converted by the generic linear model
//                   (Driesse, Theristis and Stein 2022, IEEE PVSC,
//                   doi:10.1109/PVSC48317.2022.9938757) for a module of 19 %
//                   efficiency and 0.88 absorptance (pvlib's
//                   GenericLinearModel(0.19, 0.88).use_sapm(a, b).to_faiman())
//   insulated_back  16.466, 0.883  integrated in the roof or facade, no air
//                   behind: sapm insulated_back_glass_polymer (a = -2.81,
//                   b = -0.0455) converted the same way
//
// What the implementation decides: the noct model takes poa_global as its
// effective irradiance (no spectral or reflection ratio) and a one-storey
// array; NaN in any input gives NaN.
#pragma once

namespace qm::pv {

enum class TemperatureModel { faiman, sapm, pvsyst, noct };

struct TemperatureParameters {
    TemperatureModel model = TemperatureModel::faiman;
    double u0 = 25.0, u1 = 6.84;                    // faiman
    double a = -3.47, b = -0.0594, deltaT = 3.0;    // sapm (open_rack_glass_glass)
    double u_c = 29.0, u_v = 0.0;                   // pvsyst (freestanding)
    double module_efficiency = 0.1;                 // pvsyst, noct [-]
    double alpha_absorption = 0.9;                  // pvsyst [-]
    double noct = 45.0;                             // noct [C]
    double transmittance_absorptance = 0.9;         // noct [-]
};

enum class Mounting { open_rack, close_mount, insulated_back };
// The faiman u0 and u1 of a mounting preset.
void faiman_preset(Mounting m, double& u0, double& u1) noexcept;

enum class TemperatureError { none, parameter_out_of_range };
const char* temperature_error_text(TemperatureError e) noexcept;
// Heat-loss factors > 0 (u0, u_c; u1, u_v >= 0), efficiencies in [0, 1),
// absorptances in (0, 1], all finite.
TemperatureError check_temperature(const TemperatureParameters& p) noexcept;

double faiman(double poa_global, double temp_air, double wind_speed, double u0 = 25.0, double u1 = 6.84) noexcept;
double sapm_cell(double poa_global, double temp_air, double wind_speed, double a, double b, double deltaT) noexcept;
double pvsyst_cell(double poa_global, double temp_air, double wind_speed, double u_c = 29.0, double u_v = 0.0,
                   double module_efficiency = 0.1, double alpha_absorption = 0.9) noexcept;
double noct_sam(double poa_global, double temp_air, double wind_speed, double noct, double module_efficiency,
                double transmittance_absorptance = 0.9) noexcept;

double cell_temperature(const TemperatureParameters& p, double poa_global, double temp_air,
                        double wind_speed) noexcept;

}  // namespace qm::pv
