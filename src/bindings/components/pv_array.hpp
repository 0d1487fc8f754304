// quillmere.components.pv_array.PVArrayModule: the project panel with the
// conversion chain (project type "PVArray"): a TimedSunPanelModule whose step
// power is the DC power of kernels/pv/chain (incidence-angle losses per light
// component, cell temperature from the weather, pvwatts DC, system losses)
// instead of area x efficiency x irradiance. It keeps the loss tree of the run.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "bindings/components/pv_array_layout.hpp"
#include "bindings/components/sunpanel_timed.hpp"
#include "kernels/pv/chain.hpp"
#include "kernels/pv/losses.hpp"

namespace qm::py {

class PVArrayModule : public TimedSunPanelModule {
public:
    pv::ChainSettings chain;
    pv::PvwattsLosses losses;
    std::string iam_model = "physical", temperature_model = "faiman", mounting = "open_rack";
    pv::LossTree tree;
    // The last step added to the tree, so a step repeated by the run's
    // iteration replaces its contribution instead of adding it twice.
    double last_time = NAN;
    std::array<double, pv::kStages> last_add{};
    // The module layout (layout = "grid" or "fill"), else null.
    std::unique_ptr<ArrayLayout> layout;

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    double step_power(const StepLight& light, double panel_area, double efficiency) override;

    // {stage: kWh} of the run so far, in the chain's order (with a layout,
    // dc_mismatch after dc_temperature).
    nb::dict loss_tree() const;
};

void bind_pv_array(nb::module_& m);

}  // namespace qm::py
