// quillmere.components.pv_strings: the electrical model of partly shaded
// arrays (cells, bypass diodes, strings, trackers) and module layouts on a
// model's surfaces, as functions over numpy arrays. Conversion, one GIL
// release and the kernels (kernels/pv/single_diode, strings, layout;
// kernels/shading/exact_factors for the light of each cell).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/components/pv_array_layout.hpp"
#include "bindings/components/shade_exact.hpp"
#include "bindings/support/common.hpp"
#include "kernels/pv/layout.hpp"
#include "kernels/pv/single_diode.hpp"
#include "kernels/pv/strings.hpp"
#include "kernels/shading/projected_cast.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::py {
namespace {

using InArray = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

nb::object numpy_array(std::vector<double> v, std::initializer_list<size_t> shape) {
    auto* data = new std::vector<double>(std::move(v));
    nb::capsule owner(data, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    std::vector<size_t> s(shape);
    return nb::cast(nb::ndarray<nb::numpy, double>(data->data(), s.size(), s.data(), owner));
}

nb::object int_array(const std::vector<int>& v) {
    std::vector<double> d(v.begin(), v.end());
    return nb::module_::import_("numpy").attr("asarray")(numpy_array(std::move(d), {v.size()}), "int64");
}

std::vector<int> int_list(nb::handle seq, const char* what) {
    std::vector<int> out;
    for (nb::handle h : nb::borrow<nb::iterable>(seq)) {
        const double v = as_double(h);
        if (!(std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e9))
            raise(PyExc_ValueError, std::string(what) + " 应为整数序列");
        out.push_back(int(v));
    }
    return out;
}

pv::DesotoParameters fit_or_raise(double v_mp, double i_mp, double v_oc, double i_sc, double alpha_sc,
                                  double beta_voc, int cells_in_series) {
    pv::Datasheet d;
    d.v_mp = v_mp, d.i_mp = i_mp, d.v_oc = v_oc, d.i_sc = i_sc, d.alpha_sc = alpha_sc, d.beta_voc = beta_voc;
    d.cells_in_series = cells_in_series;
    pv::DesotoParameters p;
    const pv::DiodeFitError e = pv::fit_desoto(d, p);
    if (e == pv::DiodeFitError::datasheet_out_of_range)
        raise(PyExc_ValueError, "组件参数超出范围：需要 0 < i_mp < i_sc，0 < v_mp < v_oc，beta_voc < 0，cells_in_series >= 1");
    if (e != pv::DiodeFitError::none)
        raise(PyExc_ValueError, "组件参数无法拟合单二极管模型（请检查 i_sc、v_oc、i_mp、v_mp 与温度系数的单位：A/°C、V/°C）");
    return p;
}

const char* circuit_text(pv::CircuitError e) {
    switch (e) {
        case pv::CircuitError::cell_grid_out_of_range: return "电池片行列数超出范围";
        case pv::CircuitError::diodes_do_not_divide: return "旁路二极管数应整除电池片列数（cells_across）";
        case pv::CircuitError::half_cut_rows_odd: return "半片组件的 cells_along 应为偶数";
        case pv::CircuitError::bypass_vf_out_of_range: return "旁路二极管正向压降应在 0 到 5 V 之间";
        case pv::CircuitError::assignment_out_of_range: return "组串或 MPPT 编号超出范围";
        case pv::CircuitError::empty_string: return "有组串没有组件";
        case pv::CircuitError::empty_tracker: return "有 MPPT 没有组串";
        case pv::CircuitError::cells_in_series_mismatch: return "cells_in_series 与组件的电池片数（每条支路）不一致";
        default: return "电路参数错误";
    }
}

pv::LayoutSettings layout_settings(double module_length, double module_width, const std::string& orientation,
                                   int rows, int columns, bool fill, double setback, double gap_u, double gap_w,
                                   double offset_u, double offset_w, int cells_across, int cells_along, int samples,
                                   int modules_per_string, int strings_per_tracker) {
    if (orientation != "portrait" && orientation != "landscape")
        raise(PyExc_ValueError, "orientation 应为 \"portrait\" 或 \"landscape\"：" + orientation);
    pv::LayoutSettings s;
    s.module_length = module_length, s.module_width = module_width, s.portrait = orientation == "portrait";
    s.rows = rows, s.columns = columns, s.fill = fill, s.setback = setback, s.gap_u = gap_u, s.gap_w = gap_w;
    s.offset_u = offset_u, s.offset_w = offset_w, s.cells_across = cells_across, s.cells_along = cells_along;
    s.samples = samples, s.modules_per_string = modules_per_string, s.strings_per_tracker = strings_per_tracker;
    return s;
}

// Facets as 9 numbers each, turned where their vertex order disagrees with their normal.
std::vector<double> facets_from(const InArray& tris, const InArray* normals) {
    const size_t n = tris.size() / 9;
    if (tris.size() % 9 != 0 || n == 0) raise(PyExc_ValueError, "triangles 应为 (n, 9) 或 (n, 3, 3) 的数组");
    std::vector<double> out(tris.data(), tris.data() + 9 * n);
    if (normals) {
        if (normals->size() != 3 * n) raise(PyExc_ValueError, "normals 应为 (n, 3) 的数组");
        for (size_t k = 0; k < n; ++k) {
            double* t = out.data() + 9 * k;
            const double* nf = normals->data() + 3 * k;
            const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
            const double c[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
            if (c[0] * nf[0] + c[1] * nf[1] + c[2] * nf[2] < 0.0)
                for (int j = 0; j < 3; ++j) std::swap(t[3 + j], t[6 + j]);
        }
    }
    return out;
}

void place_or_raise(const std::vector<double>& tris, const pv::LayoutSettings& s, pv::Layout& l,
                    const std::string& surface) {
    int off = -1;
    const pv::LayoutError e = pv::place_modules(tris, s, l, off);
    const std::string where = surface.empty() ? "" : "表面 " + surface + "：";
    switch (e) {
        case pv::LayoutError::none: return;
        case pv::LayoutError::no_surface: raise(PyExc_ValueError, where + "没有面积不为零的三角形");
        case pv::LayoutError::settings_out_of_range: raise(PyExc_ValueError, where + "组件布局参数超出范围");
        case pv::LayoutError::nothing_fits: raise(PyExc_ValueError, where + "按退距与间隙放不下任何组件");
        case pv::LayoutError::module_off_surface: {
            const pv::PlacedModule& m = l.modules[size_t(off)];
            raise(PyExc_ValueError, where + "组件 R" + std::to_string(m.row + 1) + "C" + std::to_string(m.column + 1) +
                                        "（第 " + std::to_string(off + 1) + " 个）不在表面上");
        }
    }
}

nb::dict layout_dict(const pv::Layout& l, const pv::LayoutSettings& s, const std::vector<double>& tris) {
    std::vector<double> xyz;
    std::vector<int> facet;
    pv::cell_points(tris, l, s, xyz, facet);
    const size_t m = l.modules.size(), cells = size_t(s.cells_across * s.cells_along), ns = size_t(s.samples * s.samples);
    std::vector<double> place, corners;
    std::vector<std::string> names;
    for (const pv::PlacedModule& p : l.modules) {
        place.insert(place.end(), {p.u, p.w, p.du, p.dw});
        const double uv[4][2] = {{p.u, p.w}, {p.u + p.du, p.w}, {p.u + p.du, p.w + p.dw}, {p.u, p.w + p.dw}};
        for (const auto& c : uv)
            for (int j = 0; j < 3; ++j)
                corners.push_back(l.frame.origin[j] + c[0] * l.frame.right[j] + c[1] * l.frame.up[j]);
    }
    nb::dict d;
    nb::list name_list;
    for (const pv::PlacedModule& p : l.modules)
        name_list.append(nb::str(("R" + std::to_string(p.row + 1) + "C" + std::to_string(p.column + 1)).c_str()));
    d["names"] = name_list;
    d["modules"] = numpy_array(std::move(place), {m, 4});
    d["corners"] = numpy_array(std::move(corners), {m, 4, 3});
    d["cell_points"] = numpy_array(std::move(xyz), {m, cells, ns, 3});
    d["string_of_module"] = int_array(l.string_of_module);
    d["tracker_of_string"] = int_array(l.tracker_of_string);
    nb::dict frame;
    auto vec = [](const double* v) { return nb::make_tuple(v[0], v[1], v[2]); };
    frame["origin"] = vec(l.frame.origin), frame["right"] = vec(l.frame.right), frame["up"] = vec(l.frame.up);
    frame["normal"] = vec(l.frame.normal);
    d["frame"] = frame;
    return d;
}

}  // namespace

void bind_pv_strings(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.components.pv_strings");
    scope.def(
        "fit_desoto",
        [](double v_mp, double i_mp, double v_oc, double i_sc, double alpha_sc, double beta_voc, int cells_in_series) {
            const pv::DesotoParameters p = fit_or_raise(v_mp, i_mp, v_oc, i_sc, alpha_sc, beta_voc, cells_in_series);
            nb::dict d;
            d["I_L_ref"] = p.I_L_ref, d["I_o_ref"] = p.I_o_ref, d["R_s"] = p.R_s, d["R_sh_ref"] = p.R_sh_ref;
            d["a_ref"] = p.a_ref, d["alpha_sc"] = p.alpha_sc, d["cells_in_series"] = p.cells_in_series;
            return result_as<"dict[str, float]">(d);
        },
        nb::arg("v_mp"), nb::arg("i_mp"), nb::arg("v_oc"), nb::arg("i_sc"), nb::arg("alpha_sc"), nb::arg("beta_voc"),
        nb::arg("cells_in_series"),
        "Single-diode reference parameters of a module from its datasheet (De Soto et al. 2006, the five "
        "equations of pvlib's fit_desoto): v_mp, v_oc [V], i_mp, i_sc [A] at STC, alpha_sc [A/C], beta_voc [V/C]. "
        "Returns {I_L_ref, I_o_ref, R_s, R_sh_ref, a_ref, alpha_sc, cells_in_series}; ValueError when the "
        "datasheet is impossible or the fit does not converge.");

    scope.def(
        "mismatch",
        [](InArray irradiance, InArray temp_cell, double v_mp, double i_mp, double v_oc, double i_sc,
           double alpha_sc, double beta_voc, int cells_across, int cells_along, int bypass_diodes, bool half_cut,
           double bypass_vf, arg_as<"collections.abc.Sequence[int]"> string_of_module,
           arg_as<"collections.abc.Sequence[int]"> tracker_of_string, const std::string& tracking,
           bool module_mppt, double breakdown_factor, double breakdown_voltage, double breakdown_exp,
           int grid_points, int threads) {
            pv::ArrayCircuit a;
            if (auto e = pv::module_circuit(cells_across, cells_along, bypass_diodes, half_cut, bypass_vf, a.module);
                e != pv::CircuitError::none)
                raise(PyExc_ValueError, circuit_text(e));
            pv::ElectricalSettings s;
            s.module = fit_or_raise(v_mp, i_mp, v_oc, i_sc, alpha_sc, beta_voc, a.module.cells / a.module.paths);
            if (tracking != "global" && tracking != "local")
                raise(PyExc_ValueError, "tracking 应为 \"global\" 或 \"local\"：" + tracking);
            s.tracking = tracking == "global" ? pv::Tracking::global : pv::Tracking::local;
            s.module_mppt = module_mppt;
            s.breakdown = {breakdown_factor, breakdown_voltage, breakdown_exp};
            if (!(std::isfinite(breakdown_factor) && breakdown_factor >= 0 && breakdown_voltage < 0 &&
                  std::isfinite(breakdown_voltage) && breakdown_exp > 0 && std::isfinite(breakdown_exp)))
                raise(PyExc_ValueError, "反向击穿参数超出范围：breakdown_factor >= 0，breakdown_voltage < 0，breakdown_exp > 0");
            if (grid_points < 16 || grid_points > 1 << 16) raise(PyExc_ValueError, "grid_points 应在 16 到 65536 之间");
            s.grid_points = grid_points;
            const size_t cells = size_t(a.module.cells);
            const bool one_step = irradiance.ndim() == 2;
            if ((irradiance.ndim() != 2 && irradiance.ndim() != 3) || irradiance.shape(irradiance.ndim() - 1) != cells)
                raise(PyExc_ValueError, "effective_irradiance 应为 (modules, cells) 或 (steps, modules, cells)，cells = " +
                                            std::to_string(cells));
            const size_t steps = one_step ? 1 : irradiance.shape(0);
            const size_t modules = irradiance.shape(one_step ? 0 : 1);
            if (temp_cell.size() != steps * modules)
                raise(PyExc_ValueError, "temp_cell 应为每步每个组件一个值（steps, modules）");
            a.string_of_module = string_of_module.is_none() ? std::vector<int>(modules, 0)
                                                            : int_list(string_of_module, "string_of_module");
            if (a.string_of_module.size() != modules) raise(PyExc_ValueError, "string_of_module 的长度应为组件数");
            a.strings = 0;
            for (int st : a.string_of_module) a.strings = std::max(a.strings, st + 1);
            a.tracker_of_string = tracker_of_string.is_none() ? std::vector<int>(size_t(std::max(a.strings, 0)), 0)
                                                              : int_list(tracker_of_string, "tracker_of_string");
            a.trackers = 0;
            for (int t : a.tracker_of_string) a.trackers = std::max(a.trackers, t + 1);
            // Every string needs a module and every tracker a string: larger indices are refused
            // before anything is sized by them.
            if (size_t(std::max(a.strings, 0)) > modules) raise(PyExc_ValueError, circuit_text(pv::CircuitError::empty_string));
            if (a.trackers > a.strings) raise(PyExc_ValueError, circuit_text(pv::CircuitError::empty_tracker));
            if (auto e = pv::check_array_circuit(a); e != pv::CircuitError::none) raise(PyExc_ValueError, circuit_text(e));
            const size_t S = size_t(a.strings), T = size_t(a.trackers);
            std::vector<double> tp(steps * T), tv(steps * T), sp(steps * S), mp(steps * modules), mr(steps * modules),
                ref(steps);
            const double* g = irradiance.data();
            const double* tc = temp_cell.data();
            {
                nb::gil_scoped_release release;
                auto body = [&](size_t b, size_t e) {
                    pv::StringSolver solver;
                    pv::StepResult r;
                    std::vector<double> last(T, 0.0);
                    for (size_t k = b; k < e; ++k) {
                        solver.solve(a, s, {g + k * modules * cells, modules * cells}, {tc + k * modules, modules}, last, r);
                        std::copy(r.tracker_power.begin(), r.tracker_power.end(), tp.begin() + long(k * T));
                        std::copy(r.tracker_voltage.begin(), r.tracker_voltage.end(), tv.begin() + long(k * T));
                        std::copy(r.string_power.begin(), r.string_power.end(), sp.begin() + long(k * S));
                        std::copy(r.module_power.begin(), r.module_power.end(), mp.begin() + long(k * modules));
                        std::copy(r.module_reference.begin(), r.module_reference.end(), mr.begin() + long(k * modules));
                        ref[k] = r.reference;
                    }
                };
                // The local tracker carries its voltage from step to step: one chunk.
                util::ParallelOptions opt;
                opt.threads = threads < 0 ? 1u : unsigned(threads);
                util::parallel_for(steps, s.tracking == pv::Tracking::local ? steps : 16, body, opt);
            }
            nb::dict d;
            if (one_step) {
                d["tracker_power"] = numpy_array(std::move(tp), {T});
                d["tracker_voltage"] = numpy_array(std::move(tv), {T});
                d["string_power"] = numpy_array(std::move(sp), {S});
                d["module_power"] = numpy_array(std::move(mp), {modules});
                d["module_reference"] = numpy_array(std::move(mr), {modules});
                d["reference"] = nb::float_(ref[0]);
            } else {
                d["tracker_power"] = numpy_array(std::move(tp), {steps, T});
                d["tracker_voltage"] = numpy_array(std::move(tv), {steps, T});
                d["string_power"] = numpy_array(std::move(sp), {steps, S});
                d["module_power"] = numpy_array(std::move(mp), {steps, modules});
                d["module_reference"] = numpy_array(std::move(mr), {steps, modules});
                d["reference"] = numpy_array(std::move(ref), {steps});
            }
            return result_as<"dict[str, typing.Any]">(d);
        },
        nb::arg("effective_irradiance"), nb::arg("temp_cell"), nb::kw_only(), nb::arg("v_mp"), nb::arg("i_mp"),
        nb::arg("v_oc"), nb::arg("i_sc"), nb::arg("alpha_sc"), nb::arg("beta_voc"), nb::arg("cells_across") = 6,
        nb::arg("cells_along") = 10, nb::arg("bypass_diodes") = 3, nb::arg("half_cut") = false,
        nb::arg("bypass_vf") = 0.5, nb::arg("string_of_module").none() = nb::none(),
        nb::arg("tracker_of_string").none() = nb::none(), nb::arg("tracking") = "global",
        nb::arg("module_mppt") = false, nb::arg("breakdown_factor") = 2e-3, nb::arg("breakdown_voltage") = -15.0,
        nb::arg("breakdown_exp") = 3.0, nb::arg("grid_points") = 1024, nb::arg("threads") = 0,
        "Power of partly shaded strings on their MPP trackers. effective_irradiance [W/m2] per cell, "
        "(modules, cells) for one step or (steps, modules, cells); temp_cell [C] per module (and step). "
        "The module: its datasheet (fit_desoto's arguments; cells_in_series = cells / paths), cells_across x "
        "cells_along cells, bypass_diodes over groups of cell columns, half_cut (two parallel halves per "
        "substring), bypass_vf [V]; string_of_module and tracker_of_string (default: one string, one tracker). "
        "tracking 'global' or 'local' (climbs from its last voltage, steps in order); module_mppt: every "
        "module at its own MPP. Returns tracker_power, tracker_voltage, string_power, module_power (each "
        "module's share at the operating point), module_reference (its cells each at their own MPP) and "
        "reference (their sum) [W, V]. Steps run on `threads` threads (0: all); results do not depend on it.");

    scope.def(
        "module_layout",
        [](InArray triangles, std::optional<InArray> normals, double module_length, double module_width,
           const std::string& orientation, int rows, int columns, bool fill, double setback, double gap_u,
           double gap_w, double offset_u, double offset_w, int cells_across, int cells_along, int samples,
           int modules_per_string, int strings_per_tracker) {
            const pv::LayoutSettings s = layout_settings(module_length, module_width, orientation, rows, columns, fill,
                                                         setback, gap_u, gap_w, offset_u, offset_w, cells_across,
                                                         cells_along, samples, modules_per_string, strings_per_tracker);
            const std::vector<double> tris = facets_from(triangles, normals ? &*normals : nullptr);
            pv::Layout l;
            place_or_raise(tris, s, l, "");
            return result_as<"dict[str, typing.Any]">(layout_dict(l, s, tris));
        },
        nb::arg("triangles"), nb::arg("normals").none() = nb::none(), nb::kw_only(), nb::arg("module_length") = 1.7,
        nb::arg("module_width") = 1.0, nb::arg("orientation") = "portrait", nb::arg("rows") = 1,
        nb::arg("columns") = 1, nb::arg("fill") = false, nb::arg("setback") = 0.0, nb::arg("gap_u") = 0.02,
        nb::arg("gap_w") = 0.02, nb::arg("offset_u") = 0.0, nb::arg("offset_w") = 0.0, nb::arg("cells_across") = 6,
        nb::arg("cells_along") = 10, nb::arg("samples") = 1, nb::arg("modules_per_string") = 0,
        nb::arg("strings_per_tracker") = 0,
        "Modules laid out on a planar surface given by its facets (triangles (n, 9) or (n, 3, 3); normals (n, 3) "
        "orient them). In the surface's frame (right = level line, up = up the slope): rows x columns modules "
        "from the lower left after the setback and offsets, or fill (every grid place that lies on the surface "
        "with the setback). Returns names ('R1C1' ...), modules (u, w, du, dw per module [m]), corners (3D), "
        "cell_points (modules, cells, samples^2, 3), string_of_module, tracker_of_string, frame. ValueError "
        "names a module that does not lie on the surface.");

    scope.def(
        "cell_factors",
        [](arg_as<"quillmere.components.shade_exact.ExactShadowModule"> shading, const std::string& surface, InArray altitude, InArray azimuth, double module_length,
           double module_width, const std::string& orientation, int rows, int columns, bool fill, double setback,
           double gap_u, double gap_w, double offset_u, double offset_w, int cells_across, int cells_along,
           int samples, int threads, const std::string& method) {
            if (method != "projection" && method != "rays")
                raise(PyExc_ValueError, "method 应为 \"projection\" 或 \"rays\"：" + method);
            if (!nb::isinstance(shading, exact_shadow_type()))
                raise(PyExc_TypeError, "shading 应为 ExactShadowModule");
            require_ready(shading, "shading", "ExactShadowModule");
            auto* sh = nb::inst_ptr<ExactShadowModule>(shading);
            if (!sh->model || !sh->model->scene) raise(PyExc_ValueError, "阴影模块尚未载入模型（先调用 awake）");
            const geom::Model& model = *sh->model;
            size_t si = 0;
            while (si < model.names.size() && model.names[si] != surface) ++si;
            if (si == model.names.size() || model.count[si] == 0) raise(PyExc_KeyError, "模型中没有表面 " + surface);
            if (altitude.size() != azimuth.size()) raise(PyExc_ValueError, "altitude 与 azimuth 的长度应相同");
            const pv::LayoutSettings s = layout_settings(module_length, module_width, orientation, rows, columns, fill,
                                                         setback, gap_u, gap_w, offset_u, offset_w, cells_across,
                                                         cells_along, samples, 0, 0);
            const std::vector<double> tris = oriented_facets(model, si);
            pv::Layout l;
            place_or_raise(tris, s, l, surface);
            const geom::FaceSet faces = cell_faces(model, si, tris, l, s);
            const size_t cells = size_t(cells_across * cells_along);
            const size_t units = l.modules.size() * cells;
            std::vector<double> out(altitude.size() * units);
            {
                nb::gil_scoped_release release;
                shading::BatchOptions opt;
                opt.threads = threads < 0 ? 1u : unsigned(threads);
                if (method == "rays")
                    shading::exact_factors(*model.scene, faces, altitude.data(), azimuth.data(), altitude.size(),
                                           out.data(), opt);
                else
                    shading::projected_factors(*model.scene, faces, altitude.data(), azimuth.data(), altitude.size(),
                                               out.data(), opt);
            }
            return result_as<"numpy.ndarray">(numpy_array(std::move(out), {altitude.size(), l.modules.size(), cells}));
        },
        nb::arg("shading"), nb::arg("surface"), nb::arg("altitude"), nb::arg("azimuth"), nb::kw_only(),
        nb::arg("module_length") = 1.7, nb::arg("module_width") = 1.0, nb::arg("orientation") = "portrait",
        nb::arg("rows") = 1, nb::arg("columns") = 1, nb::arg("fill") = false, nb::arg("setback") = 0.0,
        nb::arg("gap_u") = 0.02, nb::arg("gap_w") = 0.02, nb::arg("offset_u") = 0.0, nb::arg("offset_w") = 0.0,
        nb::arg("cells_across") = 6, nb::arg("cells_along") = 10, nb::arg("samples") = 1, nb::arg("threads") = 0,
        nb::arg("method") = "projection",
        "Beam factors of every cell of a layout on `surface` of an ExactShadowModule's model (after its awake) "
        "for sun positions altitude, azimuth [deg]: the mean over the cell's samples of n . d where the sample "
        "sees the sun past the model, else 0; the same tracer and rule as the surface factors. Returns "
        "(positions, modules, cells). Results do not depend on `threads`. method 'projection' (default) casts "
        "each position's rays together by projecting the model along the sun, 'rays' one ray at a time "
        "through the tracer; both give the same numbers bit for bit.");
    for (const char* f : {"fit_desoto", "mismatch", "module_layout", "cell_factors"}) m.attr(f) = scope.attr(f);
}

}  // namespace qm::py
