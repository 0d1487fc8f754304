// PVArrayModule: the project panel with the conversion chain (pv_array.hpp).
// The light of each step comes from the panel's own step (sun at the step's
// sun time, beam through the shading module, diffuse through the surface's
// views); this file turns it into DC power with kernels/pv/chain and keeps
// the loss tree.
#include "bindings/components/pv_array.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>

#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/pv/cell_temperature.hpp"
#include "kernels/pv/iam.hpp"
#include "kernels/sun/irradiance.hpp"

namespace qm::py {
namespace {

struct Keys {
    Key temp_air{"temp_air"}, wind_speed{"wind_speed"}, poa_global{"poa_global"},
        effective_irradiance{"effective_irradiance"}, cell_temperature{"cell_temperature"}, aoi{"aoi"},
        dc_stc{"dc_stc"}, dc_temperature{"dc_temperature"}, pdc0{"pdc0"}, gamma_pdc{"gamma_pdc"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

constexpr size_t kPanelValues = 7;  // the panel module's own values come first

}  // namespace

// The panel module's values, then the chain's, named as pvlib names them.
ModuleDeclaration pv_array_declaration() {
    ModuleDeclaration d = sunpanel_declaration();
    d.settings.push_back({"diffuse", {"shaded", "isotropic"}});
    auto& v = d.values;
    v.push_back(optional_choice("iam_model", {"physical", "ashrae", "martin_ruiz", "no_loss"}, "physical"));
    v.push_back(optional_number("n", 1.526, "[1, inf)"));
    v.push_back(optional_number("K", 4.0, "[0, inf)"));
    v.push_back(optional_number("L", 0.002, "[0, inf)"));
    v.push_back(optional_number("b0", 0.05, "[0, inf)"));
    v.push_back(optional_number("a_r", 0.16, "(0, inf)"));
    v.push_back(optional_choice("temperature_model", {"faiman", "sapm", "pvsyst", "noct"}, "faiman"));
    v.push_back(optional_choice("mounting", {"open_rack", "close_mount", "insulated_back"}, "open_rack"));
    v.push_back(optional_number("u0", NAN, "(0, inf)"));  // absent: the mounting's
    v.push_back(optional_number("u1", NAN, "[0, inf)"));
    v.push_back(optional_number("a", -3.47));
    v.push_back(optional_number("b", -0.0594));
    v.push_back(optional_number("deltaT", 3.0));
    v.push_back(optional_number("u_c", 29.0, "(0, inf)"));
    v.push_back(optional_number("u_v", 0.0, "[0, inf)"));
    v.push_back(optional_number("module_efficiency", 0.1, "[0, 1)"));
    v.push_back(optional_number("alpha_absorption", 0.9, "(0, 1]"));
    v.push_back(optional_number("noct", 45.0, "[0, 150]"));
    v.push_back(optional_number("pdc0", 0.0, "[0, inf)"));  // 0: area x efficiency x 1 kW/m2
    v.push_back(optional_number("gamma_pdc", -0.004, "[-0.1, 0.1]"));
    const pv::PvwattsLosses defaults;
    const auto fallbacks = defaults.values();
    // pvwatts_losses' categories, less its `shading` (the key names the shading
    // module here, and the ray casting computes what that allowance stands for).
    for (size_t i = 0; i < pv::kLossNames.size(); ++i)
        if (std::string(pv::kLossNames[i]) != "shading")
            v.push_back(optional_number(pv::kLossNames[i], fallbacks[i], "[0, 100]"));
    // The module layout and the electrical model of its strings (docs/partial_shade.md).
    v.push_back(optional_choice("layout", {"none", "grid", "fill"}, "none"));
    v.push_back(optional_number("module_length", 1.7, "(0, 100]"));
    v.push_back(optional_number("module_width", 1.0, "(0, 100]"));
    v.push_back(optional_choice("orientation", {"portrait", "landscape"}, "portrait"));
    v.push_back(optional_number("rows", 1.0, "[0, 10000]"));
    v.push_back(optional_number("columns", 1.0, "[0, 10000]"));
    v.push_back(optional_number("setback", 0.0, "[0, inf)"));
    v.push_back(optional_number("gap_u", 0.02, "[0, inf)"));
    v.push_back(optional_number("gap_w", 0.02, "[0, inf)"));
    v.push_back(optional_number("offset_u", 0.0, "[0, inf)"));
    v.push_back(optional_number("offset_w", 0.0, "[0, inf)"));
    v.push_back(optional_number("cells_across", 6.0, "[1, 64]"));
    v.push_back(optional_number("cells_along", 10.0, "[1, 256]"));
    v.push_back(optional_choice("cell_type", {"full", "half_cut"}, "full"));
    v.push_back(optional_number("bypass_diodes", 3.0, "[1, 64]"));
    v.push_back(optional_number("bypass_vf", 0.5, "[0, 5]"));
    v.push_back(optional_number("cell_samples", 1.0, "[1, 16]"));
    v.push_back(optional_number("modules_per_string", 0.0, "[0, 100000]"));
    v.push_back(optional_number("strings_per_tracker", 0.0, "[0, 100000]"));
    v.push_back(optional_choice("tracking", {"global", "local"}, "global"));
    v.push_back(optional_choice("mppt", {"string", "module"}, "string"));
    v.push_back(optional_number("v_mp", 31.0, "(0, inf)"));
    v.push_back(optional_number("i_mp", 8.9, "(0, inf)"));
    v.push_back(optional_number("v_oc", 38.3, "(0, inf)"));
    v.push_back(optional_number("i_sc", 9.43, "(0, inf)"));
    v.push_back(optional_number("alpha_sc", 0.0047));
    v.push_back(optional_number("beta_voc", -0.118));
    d.rated_power = {"pdc0"};
    return d;
}

nb::object PVArrayModule::_get_module_info() {
    return module_info_record("PVArray",
                              {{1, "input", "normal_rad", "number", nb::float_(800.0), "W/m²"},
                               {1, "input", "diffuse_rad", "number", nb::float_(100.0), "W/m²"},
                               {1, "input", "ground_reflect", "number", nb::float_(0.2), "-"},
                               {1, "input", "temp_air", "number", nb::none(), "°C"},
                               {1, "input", "wind_speed", "number", nb::none(), "m/s"},
                               {2, "param", "panel_area", "number", nb::float_(1.0), "m²"},
                               {3, "param", "efficiency", "number", nb::float_(0.2), ""},
                               {3, "param", "pdc0", "number", nb::float_(0.0), "kW"},
                               {3, "param", "gamma_pdc", "number", nb::float_(-0.004), "1/°C"},
                               {4, "output", "power", "number", nb::float_(0.0), "kW", 0},
                               {5, "output", "energy", "number", nb::float_(0.0), "kWh", 1},
                               {2, "param", "surface_name", "string", nb::str(""), "-"},
                               {2, "param", "shadow_name", "string", nb::str(""), "-"},
                               {5, "output", "height_angle", "number", nb::float_(0.0), "c", 0},
                               {5, "output", "azimuth_angle", "number", nb::float_(0.0), "c", 0},
                               {5, "output", "cos", "number", nb::float_(0.0), "c", 0},
                               {5, "output", "aoi", "number", nb::float_(0.0), "°", 0},
                               {5, "output", "poa_global", "number", nb::float_(0.0), "W/m²", 0},
                               {5, "output", "effective_irradiance", "number", nb::float_(0.0), "W/m²", 0},
                               {5, "output", "cell_temperature", "number", nb::float_(0.0), "°C", 0},
                               {5, "output", "dc_stc", "number", nb::float_(0.0), "kW", 0},
                               {5, "output", "dc_temperature", "number", nb::float_(0.0), "kW", 0}},
                              2, "光伏阵列模块（含转换链）");
}

void PVArrayModule::awake(nb::handle state) {
    TimedSunPanelModule::awake(state);
    const Keys& k = keys();
    // The chain's values follow the panel's; a script that hands over only the
    // panel's seven gets the declared defaults.
    static const ModuleDeclaration decl = pv_array_declaration();
    const Py_ssize_t given = PyList_Check(in_file_params.ptr()) ? PyList_GET_SIZE(in_file_params.ptr()) : 0;
    auto number = [&](const char* key) {
        const long i = decl.position(key);
        if (i < given) return as_double(get_item(in_file_params, nb::int_(i)));
        return decl.values[size_t(i)].fallback;
    };
    auto text = [&](const char* key) {
        const long i = decl.position(key);
        if (i < given) return to_text(get_item(in_file_params, nb::int_(i)));
        return decl.values[size_t(i)].text_fallback;
    };
    static_assert(kPanelValues == 7);
    const std::string who = "光伏阵列 " + to_text(name) + "：";
    auto choose = [&](const char* key, std::initializer_list<const char*> choices, std::string& out) -> int {
        const std::string t = text(key);
        int i = 0;
        for (const char* c : choices) {
            if (t == c) return out = t, i;
            ++i;
        }
        raise(PyExc_ValueError, who + key + " 不是可选的值：" + t);
    };

    pv::ChainSettings s;
    s.iam.model = pv::IamModel(choose("iam_model", {"no_loss", "physical", "ashrae", "martin_ruiz"}, iam_model));
    s.iam.n = number("n"), s.iam.K = number("K"), s.iam.L = number("L"), s.iam.b = number("b0");
    s.iam.a_r = number("a_r");
    s.temperature.model =
        pv::TemperatureModel(choose("temperature_model", {"faiman", "sapm", "pvsyst", "noct"}, temperature_model));
    const auto mount = pv::Mounting(choose("mounting", {"open_rack", "close_mount", "insulated_back"}, mounting));
    pv::faiman_preset(mount, s.temperature.u0, s.temperature.u1);
    if (const double u0 = number("u0"); !std::isnan(u0)) s.temperature.u0 = u0;
    if (const double u1 = number("u1"); !std::isnan(u1)) s.temperature.u1 = u1;
    s.temperature.a = number("a"), s.temperature.b = number("b"), s.temperature.deltaT = number("deltaT");
    s.temperature.u_c = number("u_c"), s.temperature.u_v = number("u_v");
    s.temperature.module_efficiency = number("module_efficiency");
    s.temperature.alpha_absorption = number("alpha_absorption");
    s.temperature.noct = number("noct");
    double pdc0 = number("pdc0");
    if (layout)  // a start-up again: the last layout's string and tracker outputs go with it
        for (const nb::object& key : layout->output_keys) {
            if (PyDict_Check(outputs.ptr()) && PyDict_DelItem(outputs.ptr(), key.ptr()) < 0) PyErr_Clear();
            if (PyDict_Check(previous_outputs.ptr()) && PyDict_DelItem(previous_outputs.ptr(), key.ptr()) < 0)
                PyErr_Clear();
        }
    layout.reset();
    if (text("layout") != "none") {
        LayoutOptions o;
        auto whole = [&](const char* key) {
            const double x = number(key);
            if (!(x == std::floor(x) && std::fabs(x) <= 1e6)) raise(PyExc_ValueError, who + key + " 应为整数");
            return int(x);
        };
        o.place.fill = text("layout") == "fill";
        o.place.module_length = number("module_length"), o.place.module_width = number("module_width");
        o.place.portrait = text("orientation") != "landscape";
        o.place.rows = whole("rows"), o.place.columns = whole("columns");
        o.place.setback = number("setback"), o.place.gap_u = number("gap_u"), o.place.gap_w = number("gap_w");
        o.place.offset_u = number("offset_u"), o.place.offset_w = number("offset_w");
        o.place.cells_across = whole("cells_across"), o.place.cells_along = whole("cells_along");
        o.place.samples = whole("cell_samples");
        o.place.modules_per_string = whole("modules_per_string");
        o.place.strings_per_tracker = whole("strings_per_tracker");
        o.half_cut = text("cell_type") == "half_cut";
        o.bypass_diodes = whole("bypass_diodes");
        o.bypass_vf = number("bypass_vf");
        o.tracking = text("tracking") == "local" ? pv::Tracking::local : pv::Tracking::global;
        o.module_mppt = text("mppt") == "module";
        o.datasheet.v_mp = number("v_mp"), o.datasheet.i_mp = number("i_mp"), o.datasheet.v_oc = number("v_oc");
        o.datasheet.i_sc = number("i_sc"), o.datasheet.alpha_sc = number("alpha_sc");
        o.datasheet.beta_voc = number("beta_voc");
        layout = build_array_layout(o, shadow, to_text(surf_name), to_text(name), who);
        // The step's DC after mismatch of each string and tracker [kW], as outputs (results columns).
        for (const char* kind : {"string_dc_", "tracker_dc_"}) {
            const int n = kind[0] == 's' ? layout->circuit.strings : layout->circuit.trackers;
            for (int i = 1; i <= n; ++i) {
                nb::str key((kind + std::to_string(i)).c_str());
                SimUnit::_add_variable(nb::str("output"), key, nb::float_(0.0), 0);
                layout->output_keys.push_back(key);
            }
        }
        if (pdc0 == 0.0)  // the modules' nameplate
            pdc0 = double(layout->layout.modules.size()) * o.datasheet.v_mp * o.datasheet.i_mp / 1000.0;
    }
    if (pdc0 == 0.0)  // the panel's own rating: area x efficiency at 1 kW/m2
        pdc0 = as_double(record_value(params, nb::str("panel_area"))) *
               as_double(record_value(params, nb::str("efficiency")));
    s.pdc0 = pdc0;
    s.gamma_pdc = number("gamma_pdc");
    double* l[] = {&losses.soiling, &losses.shading,          &losses.snow, &losses.mismatch,
                   &losses.wiring,  &losses.connections,      &losses.lid,  &losses.nameplate_rating,
                   &losses.age,     &losses.availability};
    for (size_t i = 0; i < pv::kLossNames.size(); ++i)
        if (l[i] != &losses.shading) *l[i] = number(pv::kLossNames[i]);
    if (pv::check_iam(s.iam) != pv::IamError::none)
        raise(PyExc_ValueError, who + "入射角参数超出范围（" + iam_model + "）");
    if (pv::check_temperature(s.temperature) != pv::TemperatureError::none)
        raise(PyExc_ValueError, who + "电池温度参数超出范围（" + temperature_model + "）");
    if (!pv::losses_in_range(losses)) raise(PyExc_ValueError, who + "系统损失应在 0 到 100 % 之间");
    if (!(std::isfinite(s.pdc0) && s.pdc0 > 0.0)) raise(PyExc_ValueError, who + "pdc0 应为正数（kW）");
    if (!(std::fabs(s.gamma_pdc) <= 0.1)) raise(PyExc_ValueError, who + "gamma_pdc 应在 [-0.1, 0.1] 之内（1/°C）");
    s.losses = pv::pvwatts_losses(losses);
    // The integrated modifiers of the sky and the ground, once for the plane's tilt.
    double n3[3] = {0.0, 0.0, 1.0};
    if (!normal.is_none() && PyTuple_Check(normal.ptr()) && PyTuple_GET_SIZE(normal.ptr()) == 3)
        for (int i = 0; i < 3; ++i) n3[i] = as_double(PyTuple_GET_ITEM(normal.ptr(), i));
    const double tilt = std::acos(irradiance::cos_tilt(n3[0], n3[1], n3[2])) * 180.0 / 3.141592653589793;
    s.diffuse_iam = pv::marion_diffuse(s.iam, tilt);
    chain = s;
    set_record_value(params, k.pdc0, nb::float_(s.pdc0));
    set_record_value(params, k.gamma_pdc, nb::float_(s.gamma_pdc));
    tree = {};
    last_time = NAN;
}

double PVArrayModule::step_power(const StepLight& light, double panel_area, double) {
    const Keys& k = keys();
    // The weather the temperature model needs, by links from the weather module.
    double weather[2] = {NAN, NAN};
    if (chain.gamma_pdc != 0.0) {
        const Key* in[2] = {&k.temp_air, &k.wind_speed};
        for (int i = 0; i < 2; ++i) {
            nb::object v = record_value(inputs, *in[i]);
            if (v.is_none())
                raise(PyExc_ValueError, "光伏阵列 " + to_text(name) + " 的输入 " + to_text(*in[i]) +
                                            " 没有连接：请把气象模块的 " +
                                            (i == 0 ? "dry_bulb_temp" : "wind_speed") + " 连接到它（[[links]]）");
            weather[i] = as_double(v);
        }
    }
    // Angle of incidence of the beam on the plane.
    double n3[3] = {0.0, 0.0, 1.0};
    if (!normal.is_none() && PyTuple_Check(normal.ptr()) && PyTuple_GET_SIZE(normal.ptr()) == 3)
        for (int i = 0; i < 3; ++i) n3[i] = as_double(PyTuple_GET_ITEM(normal.ptr(), i));
    const double len = std::hypot(n3[0], n3[1], n3[2]);
    if (len > 0.0 && std::isfinite(len))
        for (double& c : n3) c /= len;
    else
        n3[0] = n3[1] = 0.0, n3[2] = 1.0;
    double d[3];
    geom::sun_direction(light.height, light.azimuth, d);
    const double cos_aoi = std::clamp(d[0] * n3[0] + d[1] * n3[1] + d[2] * n3[2], -1.0, 1.0);

    pv::PlaneLight pl;
    const double dni = light.dni > 0.0 ? light.dni : 0.0;
    pl.poa_direct = light.dni * light.direct_cos;
    // The circumsolar part of the sky goes with the beam (the panel's light_on_plane splits it out).
    pl.poa_circumsolar = light.circumsolar;
    pl.poa_sky_diffuse = light.sky - light.circumsolar, pl.poa_ground_diffuse = light.ground;
    pl.aoi = std::acos(cos_aoi) * 180.0 / 3.141592653589793;
    pl.poa_beam_unshaded = dni * (cos_aoi > 0.0 ? cos_aoi : 0.0);
    irradiance::SkyAndGround free;
    if (irradiance::sky_diffuse_and_ground_reflection(n3[0], n3[1], n3[2], light.diffuse_rad, light.ground_reflect,
                                                      free) == irradiance::IrradianceError::none)
        pl.poa_diffuse_unshaded = free.sky + free.ground;
    else
        pl.poa_diffuse_unshaded = NAN;
    if (!std::isnan(light.diffuse_unshaded)) {  // the panel's own sky model on the free plane
        pl.poa_beam_unshaded += light.circumsolar_unshaded;
        pl.poa_diffuse_unshaded = light.diffuse_unshaded;
    }
    pv::ChainResult r = pv::run_chain(chain, pl, weather[0], weather[1]);
    if (layout) {
        // The cells take the beam and the circumsolar part by their own factors
        // (the circumsolar part per unit of beam factor, as the surface's).
        double circ = 0.0;
        if (light.direct_cos > 0.0) circ = light.circumsolar / light.direct_cos;
        else if (cos_aoi > 0.0 && std::isfinite(light.circumsolar_unshaded)) circ = light.circumsolar_unshaded / cos_aoi;
        const double dc_mismatch = layout_step(*layout, chain, pl, dni, circ, r.cell_temperature, r.dc_temperature,
                                               light.height, light.azimuth, light.time, light.hours);
        r.dc = dc_mismatch * (1.0 - chain.losses / 100.0);
        const size_t strings = layout->string_kw.size();
        for (size_t i = 0; i < layout->output_keys.size(); ++i)
            set_record_value(outputs, layout->output_keys[i],
                             nb::float_(i < strings ? layout->string_kw[i] : layout->tracker_kw[i - strings]));
    }

    set_record_value(outputs, k.aoi, nb::float_(pl.aoi));
    set_record_value(outputs, k.poa_global, nb::float_(r.poa_global));
    set_record_value(outputs, k.effective_irradiance, nb::float_(r.effective_irradiance));
    set_record_value(outputs, k.cell_temperature, nb::float_(r.cell_temperature));
    set_record_value(outputs, k.dc_stc, nb::float_(r.dc_stc));
    set_record_value(outputs, k.dc_temperature, nb::float_(r.dc_temperature));

    // The loss tree: a step repeated within one clock time replaces its share.
    if (light.time == last_time)
        for (int i = 0; i < pv::kStages; ++i) tree.energy[i] -= last_add[i];
    last_time = light.time;
    const auto before = tree.energy;
    if (!tree.add(pl, r, panel_area, light.hours)) last_add.fill(0.0);
    else
        for (int i = 0; i < pv::kStages; ++i) last_add[i] = tree.energy[i] - before[i];
    return r.dc;
}

nb::dict PVArrayModule::loss_tree() const {
    nb::dict d;
    for (int i = 0; i < pv::kStages; ++i) {
        if (layout && i == int(pv::Stage::dc))  // the electrical partial-shade loss comes before the system losses
            d["dc_mismatch"] = nb::float_(layout->mismatch_energy);
        d[pv::kStageNames[i]] = nb::float_(tree.energy[i]);
    }
    return d;
}

namespace {
class PyPVArrayModule final : public UnitTrampoline<PVArrayModule> {};
}  // namespace

void bind_pv_array(nb::module_& m) {
    using M = PVArrayModule;
    nb::module_ scope = named_scope("quillmere.components.pv_array");
    auto cls = nb::class_<M, TimedSunPanelModule, PyPVArrayModule>(
        scope, "PVArrayModule", nb::type_slots(unit_type_slots()),
        "The project PV array with the conversion chain: incidence-angle losses per light component, cell "
        "temperature from the linked air temperature and wind speed, pvwatts DC power [kW] and system losses; "
        "power is the DC power after losses. Keeps the run's loss tree.");
    cls.def("__init__", &construct_unit<M, PyPVArrayModule>, nb::arg("name").none(), kUnitInitDoc);
    cls.def("_get_module_info", [](M& u) { return info_result(u.M::_get_module_info()); },
            "The module information record of the PV array: the panel's variables, the weather inputs "
            "temp_air and wind_speed, the chain's outputs.");
    def_awake<M>(cls, "The project panel's start-up, then the chain's values from in_file_params[7:] (the "
                      "declared defaults for those not given) and the integrated sky and ground modifiers.");
    def_update<M>(cls, "One step of the project panel; power is the chain's DC power after system losses.");
    cls.def("loss_tree", [](M& u) { return result_as<"dict[str, float]">(u.loss_tree()); },
            "The energy of the run so far at each stage of the chain [kWh] (light on the plane without shading, "
            "after beam shading, after diffuse shading, after incidence-angle losses; DC at STC, after "
            "temperature, after system losses), in that order.");
    cls.def(
        "layout_summary",
        [](M& u) { return result_as<"dict[str, typing.Any] | None">(u.layout ? nb::object(layout_summary(*u.layout)) : nb::none()); },
        "With a module layout: {names, corners (four 3D points per module), string_of_module, tracker_of_string, "
        "module_energy, module_partial_shade_loss, string_energy, tracker_energy [kWh, DC after the electrical "
        "partial-shade loss, before system losses], dc_mismatch}; None without one.");
    cls.def_prop_ro("system_losses", [](M& u) { return u.chain.losses; },
                    "The combined system losses in use [%] (pvwatts_losses of the categories).");
    publish_declaration(cls, pv_array_declaration());
    m.attr("PVArrayModule") = cls;
}

}  // namespace qm::py
