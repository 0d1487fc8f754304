// quillmere.components.sunpanel_timed.TimedSunPanelModule: the project PV
// panel (a SunPanelModule with the sun at the step's sun time and the diffuse
// light through the surface's views); see sunpanel_timed.cpp.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "bindings/components/sunpanel_module.hpp"

namespace qm::py {

class TimedSunPanelModule : public SunPanelModule {
public:
    double sun_offset = 0.0;           // [s] added to the clock's time for the sun
    nb::object shifted = nb::none();  // the clock as the sun sees it (a private SimClock)
    std::string diffuse = "isotropic";  // "shaded" or "isotropic"
    bool shaded_diffuse = false;       // views found for "shaded"
    double sky_view = 0.0, ground_view = 0.0;

    void awake(nb::handle state) override;
    std::pair<double, double> diffuse_parts(double diffuse_rad, double ground_reflect) override {
        if (!shaded_diffuse) return SunPanelModule::diffuse_parts(diffuse_rad, ground_reflect);
        return {diffuse_rad * sky_view, ground_reflect * diffuse_rad * ground_view};
    }
    void update(nb::handle time, nb::handle state) override;

    int traverse(visitproc visit, void* arg) override {
        if (int rc = SunPanelModule::traverse(visit, arg)) return rc;
        Py_VISIT(shifted.ptr());
        return 0;
    }
    void clear() override {
        SunPanelModule::clear();
        shifted = nb::none();
    }
};

}  // namespace qm::py
