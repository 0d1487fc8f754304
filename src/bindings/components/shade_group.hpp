// SurfaceShadowModule: tabulates the cosine factor of each building surface
// over a grid of sun positions (computed once with the occlusion library and
// kept as a CSV table), then answers per-step lookups from native bilinear
// grids without calling back into the host.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_unit.hpp"
#include "kernels/geometry/cityjson_rules.hpp"
#include "kernels/grid/bilinear.hpp"

namespace qm::py {
namespace nb = nanobind;

// The sun of a panel's step: the clock's own time of the step, the offset
// of the panel's sun time [s] and the sun position it gives [deg].
struct StepSun {
    double clock_time = 0.0, sun_offset = 0.0;
    double altitude = 0.0, azimuth = 0.0;
};

// A surface's views past the model (cosine-weighted fractions, sky_view.hpp).
struct SurfaceViews {
    double sky = 0.0, ground = 0.0, horizon = 0.0;
};

class SurfaceShadowModule : public SimUnit {
public:
    // Own state, not visible to host scripts.
    nb::object stl_file_path = nb::str("");
    nb::object csv_file_path = nb::str("");
    nb::object data = nb::none();  // the cleaned table (a DataFrame)
    nb::object surfs_analyze_name = nb::steal(PyList_New(0));
    nb::object surface_stats = nb::steal(PyDict_New());
    // The normals setting: "from-vertices" takes zero normals from the vertex order.
    std::string normals = "file";
    bool normals_from_vertices() const { return normals == "from-vertices"; }
    // The lod setting: a CityJSON model's level of detail, "highest" of each object by default.
    std::string lod = "highest";
    std::string model_lod() const { return lod == "highest" ? std::string() : lod; }

    // Surface name -> index into `interps`: the interpolators built from the table.
    nb::object interp_index = nb::steal(PyDict_New());
    struct Interp {
        qm::grid::Grid2D grid;  // native lookup, used when the grid is plain
        nb::object fallback;    // the library interpolator, for grids the kernel refuses
    };
    std::vector<Interp> interps;

    // Set by the run manager (--regenerate-shading) and the shade command:
    // awake computes the table even when its file exists, and the new table
    // replaces the old one only once it is complete.
    bool regenerate_table = false;

    nb::object _get_module_info() override;
    void update(nb::handle time, nb::handle state) override;
    void awake(nb::handle state) override;

    // Appended operations, in this order; each may be redefined by a host subclass.
    virtual double get_cos_value(nb::handle solid_name, double altitude, double azimuth);
    virtual void shadow_analyze_output(nb::handle output_folder);
    virtual nb::object get_surf_stats(nb::handle surf_name);

    // Internal operations that panels and the run manager ask (plain C++):
    // the factor of `surface` at a panel's step; this type's is get_cos_value
    // at the step's sun (a host subclass's redefinition included).
    virtual double step_cos_value(nb::handle surface, const StepSun& sun) {
        return get_cos_value(surface, sun.altitude, sun.azimuth);
    }
    // The views of `surface`; false when this module has none (this type never has).
    virtual bool surface_views(nb::handle, SurfaceViews&) { return false; }
    // Whether lookups of `surface` answer from this module's data after awake;
    // when not, `served` receives the surfaces they do answer for.
    enum class Service { served, no_table, not_in_table };
    virtual Service serves_surface(nb::handle surface, std::vector<std::string>& served);

    // The native lookup as a host float (for host subclasses without a redefinition).
    nb::object cos_value_object(nb::handle solid_name, double altitude, double azimuth) {
        return nb::float_(SurfaceShadowModule::get_cos_value(solid_name, altitude, azimuth));
    }

    int traverse(visitproc visit, void* arg) override;
    void clear() override;

    // What awake leaves behind (paths, surfaces, statistics, table,
    // interpolators): kept once and given to later modules of the same inputs.
    struct TableState {
        nb::object stl_file_path, csv_file_path, data, surfs_analyze_name, surface_stats, interp_index;
        std::vector<Interp> interps;
    };
    TableState table_state() const;
    // Takes a kept state; the containers are this module's own copies (the
    // table frame, never changed after awake, is shared).
    void set_table_state(const TableState& kept);

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
    bool replace_table_ = false;  // the next base shadow_analyze_output replaces instead of appending
    bool outside_bounds(double altitude, double azimuth);
    void set_data(nb::handle frame);
    void load_table();
    void build_interpolators(nb::handle np, nb::handle azimuths, nb::handle altitudes);
};

// Host subclasses of shading type Base: the appended operations dispatch to
// redefinitions too. A redefinition's get_cos_value result is converted like
// float() (a TypeError for a non-number reaches the caller as a host exception).
template <typename Base>
class ShadeTrampoline : public UnitTrampoline<Base> {
public:
    using NBBase = typename UnitTrampoline<Base>::NBBase;
    using UnitTrampoline<Base>::nb_trampoline;
    double get_cos_value(nb::handle solid_name, double altitude, double azimuth) override {
        return as_double(dispatch_cos_value(solid_name, altitude, azimuth));
    }
    nb::object dispatch_cos_value(nb::handle solid_name, double altitude, double azimuth) {
        NB_OVERRIDE_NAME("get_cos_value", cos_value_object, solid_name, altitude, azimuth);
    }
    // A step's factor: the host's get_cos_value when a host subclass redefines it.
    double step_cos_value(nb::handle surface, const StepSun& sun) override {
        constexpr uint64_t hash = nb::detail::str_hash("get_cos_value");
        bool redefined;
        {
            nb::detail::ticket t(nb_trampoline, "get_cos_value", hash, false);
            redefined = t.key.is_valid();
        }
        return redefined ? get_cos_value(surface, sun.altitude, sun.azimuth) : Base::step_cos_value(surface, sun);
    }
    void shadow_analyze_output(nb::handle output_folder) override { NB_OVERRIDE(shadow_analyze_output, output_folder); }
    nb::object get_surf_stats(nb::handle surf_name) override { NB_OVERRIDE(get_surf_stats, surf_name); }
};

// The host-level get_cos_value and shadow_analyze_output of shading type M,
// calling M's own implementations (so a host subclass's super() lands there).
template <typename M, typename Cls>
void def_shading_operations(Cls& cls, const char* cos_doc, const char* analyze_doc) {
    cls.def(
        "get_cos_value",
        [](M& u, nb::handle solid_name, nb::handle altitude, nb::handle azimuth) {
            require_str_or_none(solid_name, "solid_name");
            double alt = as_double(altitude);
            double az = as_double(azimuth);
            return u.M::get_cos_value(solid_name, alt, az);
        },
        nb::arg("solid_name").none(), nb::arg("altitude").none(), nb::arg("azimuth").none(),
        nb::sig("def get_cos_value(self, solid_name: str | None, altitude: float, azimuth: float) -> float"), cos_doc);
    cls.def(
        "shadow_analyze_output",
        [](M& u, arg_as<"str"> output_folder) {
            require_str_or_none(output_folder, "output_folder");
            u.M::shadow_analyze_output(output_folder);
        },
        nb::arg("output_folder").none(), analyze_doc);
}

// The declared normals setting of the shading types. Some exporters write
// (0, 0, 0) normals: "from-vertices" takes those from the vertex order.
inline ProjectSetting normals_setting() { return {"normals", {"file", "from-vertices"}}; }
// The level of detail of a CityJSON model: "highest" (of each city object),
// or one level as CityJSON writes it, matched as text. Not a declared
// setting: every type with a model value and a `lod` attribute takes the key
// (manager/project_checks.cpp).
inline ProjectSetting lod_setting() { return {"lod", geom::cityjson::lod_choices()}; }

// The bound SurfaceShadowModule type (isinstance checks).
nb::handle surface_shadow_type();

}  // namespace qm::py
