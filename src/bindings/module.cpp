// The one native extension of the package. Each binding unit registers its
// types and functions here; the Python package re-exports them at their
// documented import paths.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace qm::py {
void bind_sim_clock(nb::module_& m);
void bind_sim_unit(nb::module_& m);
void bind_link(nb::module_& m);
void bind_util(nb::module_& m);
void bind_geometry(nb::module_& m);
void bind_weather_feed(nb::module_& m);
void bind_gale_module(nb::module_& m);
void bind_shade_group(nb::module_& m);
void bind_sunpanel_module(nb::module_& m);
void bind_shade_exact(nb::module_& m);
void bind_sunpanel_timed(nb::module_& m);
void bind_pv_array(nb::module_& m);
void bind_inverter(nb::module_& m);
void bind_load_module(nb::module_& m);
void bind_battery_grid(nb::module_& m);
void bind_bus_module(nb::module_& m);
void bind_manager(nb::module_& m);
void bind_entry(nb::module_& m);
void bind_demo(nb::module_& m);
void bind_results_csv(nb::module_& m);
void bind_maps(nb::module_& m);
void bind_city_tiles(nb::module_& m);
}  // namespace qm::py

NB_MODULE(_native, m) {
    m.doc() = "Native core of quillmere: simulation units, clock, links, kernels.";
    qm::py::bind_sim_clock(m);
    qm::py::bind_sim_unit(m);
    qm::py::bind_link(m);
    qm::py::bind_util(m);
    qm::py::bind_geometry(m);
    qm::py::bind_weather_feed(m);
    qm::py::bind_gale_module(m);
    qm::py::bind_shade_group(m);
    qm::py::bind_sunpanel_module(m);
    qm::py::bind_shade_exact(m);
    qm::py::bind_sunpanel_timed(m);
    qm::py::bind_pv_array(m);
    qm::py::bind_inverter(m);
    qm::py::bind_load_module(m);
    qm::py::bind_battery_grid(m);  // before the bus, which checks its battery and grid against them
    qm::py::bind_bus_module(m);
    qm::py::bind_manager(m);
    qm::py::bind_entry(m);
    qm::py::bind_demo(m);
    qm::py::bind_results_csv(m);
    qm::py::bind_maps(m);
    qm::py::bind_city_tiles(m);
}
