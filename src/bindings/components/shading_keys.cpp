// quillmere.components.shade_exact.shading_keys: what every shading module of
// a checked project computes and where its files lie, by the key names of
// its declaration. The sweep, `quillmere shade` and the manager's
// --regenerate-shading ask here instead of knowing type names or positions.
//
// A shading module is one whose class declares a surfaces value; its files
// are the values its declaration names in summary_facts["generated_files"]
// (the first is its table). Its key says what it computes: for the project
// shading type, the plan's (kernels/shading/plan: model content, surfaces,
// resolution, normals, lod, grid and, with the exact method, the run); for any
// other declared type, the plan's common lines, every other value and
// setting (input files by content) and the run, since it may depend on it.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/support/common.hpp"
#include "kernels/shading/plan.hpp"

namespace qm::py {
using namespace shade_exact_detail;

bool sun_run_of(nb::handle state, shading::SunRun& run) {
    if (!PyDict_Check(state.ptr())) return false;
    PyObject* clock_obj = PyDict_GetItemString(state.ptr(), "clock");
    PyObject* site = PyDict_GetItemString(state.ptr(), "site");
    if (!clock_obj || !site || !PyDict_Check(site) ||
        !PyObject_TypeCheck(clock_obj, (PyTypeObject*)sim_clock_type().ptr()))
        return false;
    require_ready(clock_obj, "state[\"clock\"]", "SimClock");
    SimClock* clock = nb::inst_ptr<SimClock>(clock_obj);
    run = shading::SunRun{};
    run.longitude = as_double(get_item(site, "longitude")), run.latitude = as_double(get_item(site, "latitude"));
    run.time_zone = as_int32(get_item(site, "time_zone"));
    if (PyObject* st = PyDict_GetItemString(site, "sun_time")) {
        if (!PyUnicode_Check(st) || !shading::parse_sun_time(to_text(st), run.sun_time))
            raise(PyExc_ValueError, "site.sun_time 应为 \"middle\" 或 \"start\"，实际为 " + to_text(check(PyObject_Repr(st))));
    }
    run.start_year = clock->start_year, run.begin_month = int(clock->begin_month), run.begin_day = int(clock->begin_day);
    run.end_year = clock->end_year, run.end_month = int(clock->end_month), run.end_day = int(clock->end_day);
    run.begin_time = clock->current_time, run.time_step = clock->time_step;
    run.steps = shading::step_count(clock->end_time, clock->time_step);
    return true;
}

namespace {

// The run of a checked project, as the manager's clock and site give it.
nb::object run_state(nb::handle project) {
    nb::object site = get_item(project, "site");
    if (!PyDict_Check(site.ptr())) return nb::none();
    nb::object clock = nb::borrow(sim_clock_type())(0.0, get_item(project, "time_step"));
    nb::object period = get_item(project, "period");
    nb::dict run_period;
    if (!period.is_none()) run_period["params"] = period;
    clock.attr("set_period")(period.is_none() ? nb::none() : nb::object(run_period));
    nb::dict state;
    state["clock"] = clock;
    state["site"] = site;
    return state;
}

std::string digest_of(nb::handle path) {
    const std::string p = fs_path(path);
    nb::gil_scoped_release release;
    return shading::model_digest(p);
}

nb::object keys_of(nb::handle entry, const ModuleDeclaration& decl, nb::handle state) {
    nb::object cls = get_item(entry, "class"), values = get_item(entry, "values");
    const ProjectValue* model = decl.find(ValueKind::model);
    const ProjectValue* listed = decl.find(ValueKind::surfaces);
    nb::object settings = nb::borrow(PyDict_GetItemString(entry.ptr(), "settings"));

    shading::ShadingPlan plan;
    nb::object model_path = model ? get_item(values, model->key.c_str()) : nb::none();
    if (PyUnicode_Check(model_path.ptr())) plan.model_digest = digest_of(model_path);
    nb::list surfaces;
    for (nb::handle s : get_item(values, listed->key.c_str())) {
        surfaces.append(s);
        plan.surfaces.push_back(to_text(s));
    }
    if (settings.is_valid() && PyDict_Check(settings.ptr())) {
        if (PyObject* n = PyDict_GetItemString(settings.ptr(), "normals"); n && PyUnicode_Check(n)) plan.normals = to_text(n);
        // A CityJSON model's level of detail ("highest": none).
        if (PyObject* l = PyDict_GetItemString(settings.ptr(), "lod"); l && PyUnicode_Check(l) && to_text(l) != "highest")
            plan.lod = to_text(l);
    }

    shading::SunRun run;
    const bool has_run = sun_run_of(state, run);
    std::string key;
    // The project shading type as declared: its products are the plan's.
    nb::object own = nb::getattr(exact_shadow_type(), "project_values", nb::none());
    if (PyType_IsSubtype((PyTypeObject*)cls.ptr(), (PyTypeObject*)exact_shadow_type().ptr()) &&
        nb::getattr(cls, "project_values", nb::none()).is(own)) {
        nb::object res = get_item(values, "resolution"), grid = get_item(values, "grid");
        plan.resolution = res.is_none() ? 0.0 : as_double(res);
        plan.grid_given = !grid.is_none();
        if (plan.grid_given) {
            plan.azimuth_step = as_double(check(PySequence_GetItem(grid.ptr(), 0)));
            plan.altitude_step = as_double(check(PySequence_GetItem(grid.ptr(), 1)));
        }
        const bool exact = to_text(get_item(values, "method")) == "exact";
        key = shading::plan_key(plan, exact && has_run ? &run : nullptr);
    } else {
        std::vector<std::pair<std::string, std::string>> lines;
        for (const ProjectValue& v : decl.values) {
            if (&v == model || &v == listed) continue;
            if (std::find(decl.generated.begin(), decl.generated.end(), v.key) != decl.generated.end()) continue;
            nb::object value = get_item(values, v.key.c_str());
            const bool file = (v.kind == ValueKind::path_in || v.kind == ValueKind::weather) && PyUnicode_Check(value.ptr());
            lines.emplace_back(v.key, file ? digest_of(value) : to_text(check(PyObject_Repr(value.ptr()))));
        }
        if (settings.is_valid() && PyDict_Check(settings.ptr()))
            for (auto [k, v] : nb::borrow<nb::dict>(settings))
                lines.emplace_back("setting " + to_text(k), to_text(check(PyObject_Repr(v.ptr()))));
        key = shading::declared_key(plan, declaring_class_name(cls), lines, has_run ? &run : nullptr);
    }

    nb::dict out;
    out["key"] = get_item(entry, "key");
    out["class"] = cls;
    out["model"] = model_path;
    out["surfaces"] = surfaces;
    out["fingerprint"] = nb::str(key.c_str());
    out["table_key"] = nb::none();
    out["table"] = nb::none();
    out["variant_table"] = nb::none();
    PyObject* form = PyDict_GetItemString(entry.ptr(), "params_form");
    const bool params_form = form && PyObject_IsTrue(form) == 1;
    nb::list files;
    for (const std::string& g : decl.generated) {
        nb::object path = get_item(values, g.c_str());
        if (!PyUnicode_Check(path.ptr())) continue;
        nb::dict f;
        f["key"] = nb::str(g.c_str());
        f["path"] = path;
        f["variant"] = str_obj(shading::variant_path(to_text(path), key));
        // Where the value is written in the module's project entry.
        f["address"] = params_form ? nb::object(nb::make_tuple("params", decl.position(g))) : nb::object(nb::make_tuple(g));
        if (out["table"].is_none()) {
            out["table_key"] = f["key"];
            out["table"] = path;
            out["variant_table"] = f["variant"];
        }
        files.append(f);
    }
    out["files"] = files;
    return out;
}

bool shading_declaration(nb::handle entry, ModuleDeclaration& decl) {
    if (!PyDict_Check(entry.ptr()) || !PyDict_GetItemString(entry.ptr(), "values")) return false;
    nb::object cls = get_item(entry, "class");
    if (!PyType_Check(cls.ptr()))
        raise(PyExc_TypeError, "shading_keys: " + to_text(check(PyObject_Repr(get_item(entry, "key").ptr()))) +
                                   " 的 \"class\" 应为模块类，实际为 " + host_type_name(cls));
    return read_declaration(cls, decl) && decl.find(ValueKind::surfaces) != nullptr;
}

}  // namespace

nb::object shading_keys(nb::handle project, nb::handle state) {
    if (!PyDict_Check(project.ptr()) || !PyDict_GetItemString(project.ptr(), "where"))
        raise(PyExc_TypeError, std::string("shading_keys 需要检查过的项目记录（Manager.load_project() 的结果），实际为 ") +
                                   host_type_name(project));
    nb::object run = state.is_none() ? run_state(project) : nb::borrow(state);
    nb::dict out;
    for (nb::handle entry : get_item(project, "modules")) {
        ModuleDeclaration decl;
        if (shading_declaration(entry, decl)) out[get_item(entry, "name")] = keys_of(entry, decl, run);
    }
    return out;
}

nb::object from_values(nb::handle name, nb::handle values) {
    ModuleDeclaration decl;
    read_declaration(exact_shadow_type(), decl);
    nb::list params = params_from_values(decl, values);
    nb::object unit = nb::borrow(exact_shadow_type())(name);
    unit.attr("in_file_params") = params;
    return unit;
}

std::vector<std::pair<std::string, nb::object>> generated_values(nb::handle entry) {
    std::vector<std::pair<std::string, nb::object>> out;
    ModuleDeclaration decl;
    if (!PyDict_Check(entry.ptr()) || !PyDict_GetItemString(entry.ptr(), "values") ||
        !read_declaration(get_item(entry, "class"), decl))
        return out;
    for (const std::string& g : decl.generated) {
        nb::object path = get_item(get_item(entry, "values"), g.c_str());
        if (PyUnicode_Check(path.ptr())) out.emplace_back(g, path);
    }
    return out;
}

}  // namespace qm::py
