// The module layout of a PV array (project type "PVArray" with layout =
// "grid" or "fill"): modules placed on the array's surface, the beam on each
// cell at every sunny step through the shading module's model and tracer,
// and the electrical model of the strings (kernels/pv/layout, strings,
// single_diode). The array's optical light stays the surface's; the layout
// adds the electrical partial-shade loss: DC after mismatch is the chain's
// DC after temperature times (the trackers' power / the cells' own MPPs).
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/pv/chain.hpp"
#include "kernels/pv/layout.hpp"
#include "kernels/pv/strings.hpp"

namespace qm::py {
namespace nb = nanobind;

struct LayoutOptions {
    pv::LayoutSettings place;
    pv::Datasheet datasheet;
    int bypass_diodes = 3;
    bool half_cut = false;
    double bypass_vf = 0.5;
    pv::Tracking tracking = pv::Tracking::global;
    bool module_mppt = false;
};

struct ArrayLayout {
    LayoutOptions options;
    pv::Layout layout;
    pv::ArrayCircuit circuit;
    pv::ElectricalSettings electrical;
    std::vector<std::string> names;  // "R1C1", ...
    std::vector<double> corners;     // 4 x 3 per module
    // Cell factors of the run's sun-up positions: row r, cell c at r * cells + c.
    std::shared_ptr<const geom::Model> model;
    geom::FaceSet faces;             // one small face per cell sample
    std::vector<double> factors;
    size_t cells = 0;                // cells of the whole array
    std::unordered_map<uint64_t, size_t> row_of;  // hash of the position's bits -> row
    std::vector<double> row_alt, row_az;
    // Step state and totals [kWh].
    pv::StringSolver solver;
    pv::StepResult result;
    std::vector<double> last_voltage, irradiance, temps, step_factors;
    double mismatch_energy = 0.0;
    std::vector<double> module_energy, module_loss, string_energy, tracker_energy;
    // The step's DC after mismatch [kW] of each string and tracker (outputs
    // string_dc_<k>, tracker_dc_<k>, k from 1; keys in that order).
    std::vector<double> string_kw, tracker_kw;
    std::vector<nb::object> output_keys;
    double last_time = NAN;
    std::vector<double> last_module, last_loss, last_string, last_tracker;
    double last_mismatch = 0.0;
};

// The facets of surface `surface` of the model (9 numbers each), wound as
// their normals in the file say.
std::vector<double> oriented_facets(const geom::Model& model, size_t surface);
// One small face per cell sample of a layout on that surface, grouped per cell.
geom::FaceSet cell_faces(const geom::Model& model, size_t surface, const std::vector<double>& tris,
                         const pv::Layout& l, const pv::LayoutSettings& s);
// The user's words for a layout error: the module off its surface named by
// grid position and number ("组件 R1C5（第 5 个）不在表面 roof 上"); "" for none.
std::string layout_error_words(pv::LayoutError e, const pv::Layout& l, int off, const std::string& surface);
// ValueError naming the module off its surface (or the other layout error); nothing for none.
void raise_layout_error(pv::LayoutError e, const pv::Layout& l, int off, const std::string& who,
                        const std::string& surface);

// Places the modules on `surface` of the shading module's model, fits the
// module's parameters and casts every cell at the run's sun-up positions.
// ValueError (who + wording) names what is wrong.
// The cells' light is kept beside the shading table (<table stem>.cells.<array_name>.bin,
// fingerprinted: model, surface, layout, the run's positions) and read back by the next run.
std::unique_ptr<ArrayLayout> build_array_layout(const LayoutOptions& o, nb::handle shading, const std::string& surface,
                                                const std::string& array_name, const std::string& who);

// One step: the cells' light from the step's beam and diffuse parts, the
// strings' power; returns dc_temperature times the mismatch ratio [kW] and
// adds the step to the totals (a repeated step replaces its share).
double layout_step(ArrayLayout& a, const pv::ChainSettings& chain, const pv::PlaneLight& light, double dni,
                   double circumsolar_per_factor, double cell_temperature, double dc_temperature, double height,
                   double azimuth, double time, double hours);

// {names, corners, string_of_module, tracker_of_string, module_energy, module_partial_shade_loss,
//  string_energy, tracker_energy, dc_mismatch} of the run so far.
nb::dict layout_summary(const ArrayLayout& a);

}  // namespace qm::py
