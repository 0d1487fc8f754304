// SurfaceShadowModule: tabulates the cosine factor of each building surface
// over a grid of sun positions (computed once with the occlusion library and
// kept as a CSV table), then answers per-step lookups from native bilinear
// grids without calling back into the host.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <vector>

#include "bindings/core/sim_unit.hpp"
#include "kernels/grid/bilinear.hpp"

namespace qm::py {
namespace nb = nanobind;

class SurfaceShadowModule : public SimUnit {
public:
    // Own state, not visible to host scripts.
    nb::object stl_file_path = nb::str("");
    nb::object csv_file_path = nb::str("");
    nb::object data = nb::none();  // the cleaned table (a DataFrame)
    nb::object surfs_analyze_name = nb::steal(PyList_New(0));
    nb::object surface_stats = nb::steal(PyDict_New());
    bool normals_from_vertices = false;  // normals = "from-vertices": zero normals from the vertex order

    // Surface name -> index into `interps`: the interpolators built from the table.
    nb::object interp_index = nb::steal(PyDict_New());
    struct Interp {
        qm::grid::Grid2D grid;  // native lookup, used when the grid is plain
        nb::object fallback;    // the library interpolator, for grids the kernel refuses
    };
    std::vector<Interp> interps;

    nb::object _get_module_info() override;
    void update(nb::handle time, nb::handle state) override;
    void awake(nb::handle state) override;

    // Appended operations, in this order; each may be redefined by a host subclass.
    virtual double get_cos_value(nb::handle solid_name, double altitude, double azimuth);
    virtual void shadow_analyze_output(nb::handle output_folder);
    virtual nb::object get_surf_stats(nb::handle surf_name);

    // The native lookup as a host float (for host subclasses without a redefinition).
    nb::object cos_value_object(nb::handle solid_name, double altitude, double azimuth) {
        return nb::float_(SurfaceShadowModule::get_cos_value(solid_name, altitude, azimuth));
    }

    int traverse(visitproc visit, void* arg) override;
    void clear() override;

protected:
    // Position of the first surface name in in_file_params.
    Py_ssize_t first_surface_ = 2;

private:
    // Bounds of the two angle columns of `data`, cached as numbers while
    // `data` is unchanged (reset whenever `data` is replaced).
    struct Bounds {
        double az_min, az_max, alt_min, alt_max;
    };
    std::optional<Bounds> bounds_;
    bool outside_bounds(double altitude, double azimuth);
    void set_data(nb::handle frame);
    void load_table();
    void build_interpolators(nb::handle np, nb::handle azimuths, nb::handle altitudes);
};

// The bound SurfaceShadowModule type (isinstance checks).
nb::handle surface_shadow_type();

}  // namespace qm::py
