// The project checks of PV arrays' module layouts (project_checks.hpp).
#include <algorithm>
#include <cmath>
#include <vector>

#include "bindings/components/pv_array_layout.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_checks.hpp"
#include "bindings/manager/project_schema.hpp"
#include "kernels/pv/layout.hpp"

namespace qm::py::mgr {

// The module layouts of the arrays that `shading` serves: every module must lie
// on its surface (the facets of `solids` as the shading module's model keeps
// them), refused here, before any module starts, naming the module and the surface.
void check_layouts(const Checker& c, nb::handle modules, nb::handle shading, const stl::Solids& solids) {
    for (nb::handle ah : modules) {
        nb::dict a = nb::borrow<nb::dict>(ah);
        if (!a.contains("values") || !a.contains("ref") || a["ref"].is_none()) continue;
        nb::object ref = a["ref"];
        if (!nb::object(ref[0]).equal(shading["name"])) continue;
        ModuleDeclaration decl;
        read_declaration(a["class"], decl);
        const ProjectValue* surface = decl.find(ValueKind::surface);
        nb::dict v = nb::borrow<nb::dict>(a["values"]);
        if (!surface || !v.contains("layout") || !PyUnicode_Check(nb::object(v["layout"]).ptr())) continue;
        const std::string kind = to_text(v["layout"]);
        if (kind != "grid" && kind != "fill") continue;
        const std::string name = to_text(v[surface->key.c_str()]);
        const stl::SolidData* solid = nullptr;
        for (const auto& s : solids.solids)
            if (s.name == name) solid = &s;
        if (!solid || !solid->regular) continue;  // the surface checks speak for it
        // As geom::make_model keeps them: facets with finite vertices, a non-finite normal from the vertices.
        std::vector<double> tris, normals;
        const double* f = solid->values.data();
        for (size_t k = 0; k < solid->shapes.size(); ++k, f += 12) {
            if (!std::all_of(f + 3, f + 12, [](double x) { return std::isfinite(x); })) continue;
            tris.insert(tris.end(), f + 3, f + 12);
            double n[3] = {f[0], f[1], f[2]};
            if (!std::isfinite(n[0]) || !std::isfinite(n[1]) || !std::isfinite(n[2])) n[0] = n[1] = n[2] = 0.0;
            normals.insert(normals.end(), n, n + 3);
        }
        pv::orient_facets(tris, normals);
        // The layout's numbers; one that is not a whole number is left to the array's start-up to word.
        bool whole = true;
        auto number = [&](const char* key) {
            PyObject* x = PyDict_GetItemString(v.ptr(), key);
            return x && (PyFloat_Check(x) || PyLong_Check(x)) ? PyFloat_AsDouble(x) : NAN;
        };
        auto count = [&](const char* key) {
            const double x = number(key);
            whole = whole && x == std::floor(x) && std::fabs(x) <= 1e6;
            return whole ? int(x) : 0;
        };
        pv::LayoutSettings s;
        s.fill = kind == "fill";
        s.module_length = number("module_length"), s.module_width = number("module_width");
        s.portrait = !v.contains("orientation") || to_text(v["orientation"]) != "landscape";
        s.rows = count("rows"), s.columns = count("columns");
        s.setback = number("setback"), s.gap_u = number("gap_u"), s.gap_w = number("gap_w");
        s.offset_u = number("offset_u"), s.offset_w = number("offset_w");
        s.cells_across = count("cells_across"), s.cells_along = count("cells_along");
        s.samples = count("cell_samples");
        s.modules_per_string = count("modules_per_string"), s.strings_per_tracker = count("strings_per_tracker");
        if (!whole) continue;
        pv::Layout l;
        int off = -1;
        pv::LayoutError e;
        {
            nb::gil_scoped_release release;
            e = pv::place_modules(tris, s, l, off);
        }
        if (e == pv::LayoutError::module_off_surface || e == pv::LayoutError::nothing_fits)
            c.fail(to_text(a["key"]) + ".layout",
                   "光伏阵列 " + to_text(a["name"]) + "：" + layout_error_words(e, l, off, name));
    }
}

}  // namespace qm::py::mgr
