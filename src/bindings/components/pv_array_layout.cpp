// Module layouts of PV arrays: placing, casting every cell, and the step's
// electrical partial-shade loss (pv_array_layout.hpp).
#include "bindings/components/pv_array_layout.hpp"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/support/common.hpp"
#include "kernels/pv/iam.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/plan.hpp"
#include "kernels/shading/projected_cast.hpp"
#include "kernels/shading/store.hpp"
#include "kernels/shading/sun_grid.hpp"

namespace qm::py {
namespace {

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
uint64_t position_key(double alt, double az) { return bits(alt) * 0x9E3779B97F4A7C15ull ^ bits(az); }

const char* circuit_wording(pv::CircuitError e) {
    switch (e) {
        case pv::CircuitError::cell_grid_out_of_range: return "电池片行列数超出范围（cells_across 1..64，cells_along 1..256）";
        case pv::CircuitError::diodes_do_not_divide: return "旁路二极管数（bypass_diodes）应整除电池片列数（cells_across）";
        case pv::CircuitError::half_cut_rows_odd: return "半片组件的 cells_along 应为偶数";
        case pv::CircuitError::bypass_vf_out_of_range: return "旁路二极管正向压降 bypass_vf 应在 0 到 5 V 之间";
        default: return "组串或 MPPT 的分配有误";
    }
}

// Which cells' samples see the sun at the run's positions depends on the
// model, the surface, the layout's geometry and the positions: the product's
// fingerprint names them all (the electrical settings do not matter).
shading::Fingerprint cells_fingerprint(ExactShadowModule& ex, const std::string& surface, const pv::LayoutSettings& p,
                                       size_t faces, const std::vector<double>& alt, const std::vector<double>& az) {
    shading::Fingerprint fp = shading::product_fingerprint(ex.plan(), "cells");
    auto num = [](double v) { return shading::angle_text(v); };
    fp.set("surface", surface);
    fp.set("layout", "module " + num(p.module_length) + " x " + num(p.module_width) +
                         (p.portrait ? " portrait" : " landscape") + (p.fill ? ", fill " : ", grid ") +
                         std::to_string(p.rows) + " x " + std::to_string(p.columns) + ", setback " + num(p.setback) +
                         ", gaps " + num(p.gap_u) + " " + num(p.gap_w) + ", offsets " + num(p.offset_u) + " " +
                         num(p.offset_w) + ", cells " + std::to_string(p.cells_across) + " x " +
                         std::to_string(p.cells_along) + ", samples " + std::to_string(p.samples));
    fp.set("faces", std::to_string(faces));
    shading::Sha256 h;
    h.update(alt.data(), alt.size() * sizeof(double));
    h.update(az.data(), az.size() * sizeof(double));
    fp.set("positions", std::to_string(alt.size()) + ", sha256:" + shading::Sha256::hex(h.finish()));
    return fp;
}

constexpr const char* kCellsHeader = "quillmere lit cell samples 1\n";

// The beam factor of every cell at the run's positions: recomputed from the
// lit samples kept beside the shading table when that file is fresh,
// otherwise cast (one threaded batch) and kept for the next run.
void cell_light(ArrayLayout& a, ExactShadowModule& ex, const std::string& surface, const std::string& array_name,
                size_t rows) {
    const size_t n = a.faces.size(), row = (n + 7) / 8;
    const shading::ShadingPlan plan = ex.plan();
    const std::string path = plan.table_path.empty() ? std::string() : shading::cell_light_path(plan.table_path, array_name);
    shading::Fingerprint fp;
    if (!path.empty()) {
        fp = cells_fingerprint(ex, surface, a.options.place, n, a.row_alt, a.row_az);
        shading::StoreLoad got;
        {
            nb::gil_scoped_release release;
            got = shading::load_if_fresh(path, fp);
        }
        const std::string head = kCellsHeader;
        if (got.error == shading::StoreError::none && got.text.size() == head.size() + rows * row &&
            got.text.compare(0, head.size(), head) == 0) {
            nb::gil_scoped_release release;
            shading::factors_from_lit(a.faces, a.row_alt.data(), a.row_az.data(), rows,
                                      reinterpret_cast<const unsigned char*>(got.text.data()) + head.size(),
                                      a.factors.data());
            return;
        }
        if (got.error == shading::StoreError::stale)
            print(nb::str(("组件电池片直射光 " + path + " 已过期（" + (got.changed.empty() ? "" : got.changed[0]) +
                           " 不同），重新计算").c_str()));
    }
    print(nb::str(("开始计算组件电池片的直射光：" + std::to_string(rows) + " 个太阳位置，" +
                   std::to_string(a.layout.modules.size()) + " 个组件，" + std::to_string(a.cells) + " 个电池片")
                      .c_str()));
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<unsigned char> lit;
    std::string err;
    {
        nb::gil_scoped_release release;
        shading::projected_factors(*a.model->scene, a.faces, a.row_alt.data(), a.row_az.data(), rows, a.factors.data(),
                                   {}, path.empty() ? nullptr : &lit);
        if (!path.empty() && lit.size() == rows * row) {
            std::string product = kCellsHeader;
            product.append(reinterpret_cast<const char*>(lit.data()), lit.size());
            err = shade_exact_detail::save_product(path, product, fp);
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char buf[64];
    std::snprintf(buf, sizeof buf, "电池片直射光计算结束（%.1f s）", secs);
    print(nb::str(buf));
    if (!err.empty()) print(nb::str(("警告：无法保存组件电池片直射光 " + path + "：" + err).c_str()));
}

}  // namespace

std::vector<double> oriented_facets(const geom::Model& model, size_t surface) {
    const size_t first = model.first[surface], count = model.count[surface];
    std::vector<double> tris(9 * count);
    for (size_t k = 0; k < count; ++k) std::copy_n(model.scene->tri(first + k), 9, tris.data() + 9 * k);
    pv::orient_facets(tris, {model.normals.data() + 3 * first, 3 * count});
    return tris;
}

geom::FaceSet cell_faces(const geom::Model& model, size_t surface, const std::vector<double>& tris,
                         const pv::Layout& l, const pv::LayoutSettings& s) {
    std::vector<double> xyz;
    std::vector<int> facet;
    pv::cell_points(tris, l, s, xyz, facet);
    // One small face per sample (equal areas: a cell's factor is the mean of
    // its samples), cast from the sample point with the facet it lies in left
    // out of its test and that facet's normal, as the surface's own faces are.
    const size_t first = model.first[surface];
    const double* fn = model.normals.data() + 3 * first;
    const size_t cells = size_t(s.cells_across * s.cells_along), ns = size_t(s.samples * s.samples);
    const size_t units = l.modules.size() * cells;
    const double eps = 1e-4 * std::min(s.module_width / s.cells_across, s.module_length / s.cells_along);
    const double corner[3][2] = {{1.0, 0.0}, {-0.5, 0.8660254037844386}, {-0.5, -0.8660254037844386}};
    geom::FaceSet faces;
    for (size_t c = 0; c < units; ++c) {
        faces.first.push_back(faces.size());
        faces.count.push_back(ns);
        for (size_t q = 0; q < ns; ++q) {
            const size_t k = c * ns + q;
            const double* p = &xyz[3 * k];
            const size_t f = facet[k] < 0 ? 0 : size_t(facet[k]);
            for (const auto& w : corner)
                for (int j = 0; j < 3; ++j)
                    faces.tris.push_back(p[j] + eps * (w[0] * l.frame.right[j] + w[1] * l.frame.up[j]));
            for (int j = 0; j < 3; ++j) faces.normals.push_back(fn[3 * f + j]);
            faces.self.push_back(facet[k] < 0 ? -1 : int64_t(first + f));
        }
    }
    return faces;
}

std::string layout_error_words(pv::LayoutError e, const pv::Layout& l, int off, const std::string& surface) {
    switch (e) {
        case pv::LayoutError::none: return "";
        case pv::LayoutError::no_surface: return "表面 " + surface + " 没有面积不为零的三角形";
        case pv::LayoutError::settings_out_of_range: return "组件布局参数超出范围";
        case pv::LayoutError::nothing_fits: return "表面 " + surface + " 按退距与间隙放不下任何组件";
        case pv::LayoutError::module_off_surface: {
            const pv::PlacedModule& m = l.modules[size_t(off)];
            return "组件 R" + std::to_string(m.row + 1) + "C" + std::to_string(m.column + 1) + "（第 " +
                   std::to_string(off + 1) + " 个）不在表面 " + surface + " 上";
        }
    }
    return "?";
}

void raise_layout_error(pv::LayoutError e, const pv::Layout& l, int off, const std::string& who,
                        const std::string& surface) {
    if (e != pv::LayoutError::none) raise(PyExc_ValueError, who + layout_error_words(e, l, off, surface));
}

std::unique_ptr<ArrayLayout> build_array_layout(const LayoutOptions& o, nb::handle shading, const std::string& surface,
                                                const std::string& array_name, const std::string& who) {
    ExactShadowModule* ex = nullptr;
    if (shading.is_valid() && nb::isinstance(shading, exact_shadow_type()) && nb::inst_ready(shading))
        ex = nb::inst_ptr<ExactShadowModule>(shading);
    if (!ex || !ex->exact || !ex->model || !ex->model->scene)
        raise(PyExc_ValueError, who + "组件布局（layout）需要精确阴影模块（method = \"exact\"）及其模型");
    const geom::Model& model = *ex->model;
    size_t si = 0;
    while (si < model.names.size() && model.names[si] != surface) ++si;
    if (si == model.names.size() || model.count[si] == 0)
        raise(PyExc_ValueError, who + "模型中没有表面 " + surface);
    auto a = std::make_unique<ArrayLayout>();
    a->options = o;
    a->model = ex->model;
    const std::vector<double> tris = oriented_facets(model, si);
    int off = -1;
    const pv::LayoutError le = pv::place_modules(tris, o.place, a->layout, off);
    raise_layout_error(le, a->layout, off, who, surface);
    if (auto e = pv::module_circuit(o.place.cells_across, o.place.cells_along, o.bypass_diodes, o.half_cut,
                                    o.bypass_vf, a->circuit.module);
        e != pv::CircuitError::none)
        raise(PyExc_ValueError, who + circuit_wording(e));
    a->circuit.string_of_module = a->layout.string_of_module;
    a->circuit.tracker_of_string = a->layout.tracker_of_string;
    a->circuit.strings = a->layout.strings, a->circuit.trackers = a->layout.trackers;
    if (auto e = pv::check_array_circuit(a->circuit); e != pv::CircuitError::none)
        raise(PyExc_ValueError, who + circuit_wording(e));
    pv::Datasheet d = o.datasheet;
    d.cells_in_series = a->circuit.module.cells / a->circuit.module.paths;
    const pv::DiodeFitError fe = pv::fit_desoto(d, a->electrical.module);
    if (fe == pv::DiodeFitError::datasheet_out_of_range)
        raise(PyExc_ValueError, who + "组件参数超出范围：需要 0 < i_mp < i_sc，0 < v_mp < v_oc，beta_voc < 0");
    if (fe != pv::DiodeFitError::none)
        raise(PyExc_ValueError, who + "组件参数无法拟合单二极管模型（请检查 i_sc、v_oc、i_mp、v_mp 与温度系数 A/°C、V/°C）");
    a->electrical.tracking = o.tracking;
    a->electrical.module_mppt = o.module_mppt;
    const size_t modules = a->layout.modules.size();
    for (const pv::PlacedModule& m : a->layout.modules) {
        a->names.push_back("R" + std::to_string(m.row + 1) + "C" + std::to_string(m.column + 1));
        const double uv[4][2] = {{m.u, m.w}, {m.u + m.du, m.w}, {m.u + m.du, m.w + m.dw}, {m.u, m.w + m.dw}};
        for (const auto& c : uv)
            for (int j = 0; j < 3; ++j)
                a->corners.push_back(a->layout.frame.origin[j] + c[0] * a->layout.frame.right[j] +
                                     c[1] * a->layout.frame.up[j]);
    }
    a->faces = cell_faces(model, si, tris, a->layout, o.place);
    a->cells = modules * size_t(a->circuit.module.cells);
    // The run's sun-up positions, cast once in one threaded batch.
    const size_t rows = std::min(ex->step_rows, ex->row_alt.size());
    a->row_alt.assign(ex->row_alt.begin(), ex->row_alt.begin() + long(rows));
    a->row_az.assign(ex->row_az.begin(), ex->row_az.begin() + long(rows));
    for (size_t r = 0; r < rows; ++r) a->row_of.emplace(position_key(a->row_alt[r], a->row_az[r]), r);
    a->factors.assign(rows * a->cells, 0.0);
    cell_light(*a, *ex, surface, array_name, rows);
    a->last_voltage.assign(size_t(a->circuit.trackers), 0.0);
    a->module_energy.assign(modules, 0.0), a->module_loss.assign(modules, 0.0);
    a->string_energy.assign(size_t(a->circuit.strings), 0.0), a->tracker_energy.assign(size_t(a->circuit.trackers), 0.0);
    a->last_module = a->module_energy, a->last_loss = a->module_loss;
    a->last_string = a->string_energy, a->last_tracker = a->tracker_energy;
    return a;
}

double layout_step(ArrayLayout& a, const pv::ChainSettings& chain, const pv::PlaneLight& pl, double dni,
                   double circumsolar_per_factor, double cell_temperature, double dc_temperature, double height,
                   double azimuth, double time, double hours) {
    // A step repeated within one clock time replaces its share.
    if (time == a.last_time) {
        for (size_t m = 0; m < a.module_energy.size(); ++m)
            a.module_energy[m] -= a.last_module[m], a.module_loss[m] -= a.last_loss[m];
        for (size_t s = 0; s < a.string_energy.size(); ++s) a.string_energy[s] -= a.last_string[s];
        for (size_t t = 0; t < a.tracker_energy.size(); ++t) a.tracker_energy[t] -= a.last_tracker[t];
        a.mismatch_energy -= a.last_mismatch;
    }
    a.last_time = time;
    std::fill(a.last_module.begin(), a.last_module.end(), 0.0);
    std::fill(a.last_loss.begin(), a.last_loss.end(), 0.0);
    std::fill(a.last_string.begin(), a.last_string.end(), 0.0);
    std::fill(a.last_tracker.begin(), a.last_tracker.end(), 0.0);
    a.last_mismatch = 0.0;
    a.string_kw.assign(a.string_energy.size(), 0.0), a.tracker_kw.assign(a.tracker_energy.size(), 0.0);
    if (!std::isfinite(dc_temperature)) {
        std::fill(a.string_kw.begin(), a.string_kw.end(), dc_temperature);
        std::fill(a.tracker_kw.begin(), a.tracker_kw.end(), dc_temperature);
        return dc_temperature;
    }
    const double* f = nullptr;
    const double beam = (dni > 0.0 ? dni : 0.0) + (circumsolar_per_factor > 0.0 ? circumsolar_per_factor : 0.0);
    if (height > 0.0 && beam > 0.0) {
        auto it = a.row_of.find(position_key(height, azimuth));
        if (it != a.row_of.end() && a.row_alt[it->second] == height && a.row_az[it->second] == azimuth) {
            f = a.factors.data() + it->second * a.cells;
        } else {  // a position outside the run's plan (a step driven by hand): cast it now
            a.step_factors.assign(a.cells, 0.0);
            double d[3];
            geom::sun_direction(height, azimuth, d);
            shading::factors_for_direction(*a.model->scene, a.faces, d, a.step_factors.data());
            f = a.step_factors.data();
        }
    }
    const double iam_beam = pv::iam(chain.iam, pl.aoi);
    const double diffuse = pl.poa_sky_diffuse * chain.diffuse_iam.sky + pl.poa_ground_diffuse * chain.diffuse_iam.ground;
    a.irradiance.resize(a.cells);
    for (size_t c = 0; c < a.cells; ++c) a.irradiance[c] = (f ? f[c] * beam * iam_beam : 0.0) + diffuse;
    a.temps.assign(a.layout.modules.size(), cell_temperature);
    a.solver.solve(a.circuit, a.electrical, a.irradiance, a.temps, a.last_voltage, a.result);
    const pv::StepResult& r = a.result;
    double total = 0.0;
    for (double p : r.tracker_power) total += p;
    const double ratio = r.reference > 0.0 ? total / r.reference : 1.0;
    const double scale = r.reference > 0.0 ? dc_temperature / r.reference : 0.0;  // [kW/W]
    // No cell with light while the chain has some (a dim twilight step whose
    // sky parts add up below 0 on the cells): no mismatch, equal shares.
    const double even = r.reference > 0.0 ? 0.0 : dc_temperature * hours / double(a.module_energy.size());
    const double even_kw = r.reference > 0.0 ? 0.0 : dc_temperature / double(a.module_energy.size());
    for (size_t m = 0; m < a.module_energy.size(); ++m) {
        const double kw = r.module_power[m] * scale + even_kw;
        const size_t in = size_t(a.circuit.string_of_module[m]);
        a.string_kw[in] += kw;
        a.tracker_kw[size_t(a.circuit.tracker_of_string[in])] += kw;
        a.last_module[m] = r.module_power[m] * scale * hours + even;
        a.last_loss[m] = (r.module_reference[m] - r.module_power[m]) * scale * hours;
        a.module_energy[m] += a.last_module[m], a.module_loss[m] += a.last_loss[m];
        const size_t st = size_t(a.circuit.string_of_module[m]);
        a.last_string[st] += a.last_module[m];
        a.last_tracker[size_t(a.circuit.tracker_of_string[st])] += a.last_module[m];
    }
    for (size_t s = 0; s < a.string_energy.size(); ++s) a.string_energy[s] += a.last_string[s];
    for (size_t t = 0; t < a.tracker_energy.size(); ++t) a.tracker_energy[t] += a.last_tracker[t];
    const double dc = dc_temperature * ratio;
    a.last_mismatch = dc * hours;
    a.mismatch_energy += a.last_mismatch;
    return dc;
}

nb::dict layout_summary(const ArrayLayout& a) {
    auto list = [](const std::vector<double>& v) {
        nb::list l;
        for (double x : v) l.append(nb::float_(x));
        return l;
    };
    nb::dict d;
    nb::list names, corners, strings, trackers;
    for (size_t m = 0; m < a.names.size(); ++m) {
        names.append(nb::str(a.names[m].c_str()));
        nb::list c;
        for (int k = 0; k < 4; ++k)
            c.append(nb::make_tuple(a.corners[m * 12 + size_t(k) * 3], a.corners[m * 12 + size_t(k) * 3 + 1],
                                    a.corners[m * 12 + size_t(k) * 3 + 2]));
        corners.append(c);
        strings.append(nb::int_(a.circuit.string_of_module[m]));
    }
    for (int t : a.circuit.tracker_of_string) trackers.append(nb::int_(t));
    d["names"] = names;
    d["corners"] = corners;
    d["string_of_module"] = strings;
    d["tracker_of_string"] = trackers;
    d["module_energy"] = list(a.module_energy);
    d["module_partial_shade_loss"] = list(a.module_loss);
    d["string_energy"] = list(a.string_energy);
    d["tracker_energy"] = list(a.tracker_energy);
    d["dc_mismatch"] = nb::float_(a.mismatch_energy);
    return d;
}

}  // namespace qm::py
