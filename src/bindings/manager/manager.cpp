// The run manager's lifecycle: a run is load_project (read and check
// everything that can be checked before a module exists, project_reader.cpp)
// -> create_clock (the clock's own run-period check) -> create_modules
// (construct, fill in_file_params, check the recorded outputs) ->
// create_links (check the variables) -> awake_modules (modules that analyse
// surfaces first) -> run_steps (step_loop.cpp) -> finish_modules ->
// write_results -> summarize (results.cpp).
#include "bindings/manager/manager.hpp"

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_group.hpp"

#include <nanobind/stl/vector.h>

#include "bindings/core/link.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_checks.hpp"
#include "bindings/manager/project_schema.hpp"
#include "bindings/support/gc_slots.hpp"

namespace qm::py {
using namespace nb::literals;

namespace mgr {

namespace {
PyObject* g_project_error = nullptr;
PyObject* g_run_period_error = nullptr;
}  // namespace

PyObject* project_error() { return g_project_error; }
PyObject* run_period_error() { return g_run_period_error; }

void init_project_error(nb::module_& m) {
    g_project_error = PyErr_NewExceptionWithDoc(
        "quillmere.core.manager.ProjectError",
        "An invalid project file: the message names the file, the key and what was expected.", PyExc_ValueError,
        nullptr);
    if (!g_project_error) throw_pending();
    m.attr("ProjectError") = nb::handle(g_project_error);
    // An invalid period has always ended a command-line run with the clock's
    // message and exit status 1 (callers rely on SystemExit); it is now found
    // with the other checks, before anything runs, and is a ProjectError too.
    nb::object bases = nb::make_tuple(nb::handle(g_project_error), nb::handle(PyExc_SystemExit));
    g_run_period_error = PyErr_NewExceptionWithDoc(
        "quillmere.core.manager.RunPeriodError",
        "An invalid run period in the project file (a ProjectError, and SystemExit with code 1).", bases.ptr(),
        nullptr);
    if (!g_run_period_error) throw_pending();
    m.attr("RunPeriodError") = nb::handle(g_run_period_error);
}

std::string repr_text(nb::handle v) {
    std::string s = to_text(check(PyObject_Repr(v.ptr())));
    if (s.size() > 80) s = s.substr(0, 77) + "...";
    return s;
}

SimClock* clock_of(nb::handle clock) {
    if (!PyObject_TypeCheck(clock.ptr(), (PyTypeObject*)sim_clock_type().ptr()))
        raise(PyExc_TypeError, "Manager.clock 应为 SimClock，实际为 " + std::string(host_type_name(clock)));
    require_ready(clock, "Manager.clock", "SimClock");
    return nb::inst_ptr<SimClock>(clock);
}

SimUnit* unit_of(nb::handle unit, const std::string& name) {
    if (!PyObject_TypeCheck(unit.ptr(), (PyTypeObject*)sim_unit_type().ptr()))
        raise(PyExc_TypeError, "模块 " + name + " 应为 SimUnit，实际为 " + host_type_name(unit));
    require_ready(unit, ("Manager.modules[" + to_text(check(PyObject_Repr(nb::str(name.c_str()).ptr()))) + "]").c_str(),
                  "SimUnit");
    return nb::inst_ptr<SimUnit>(unit);
}

nb::object project_item(const Manager& m, const char* key) {
    if (!PyDict_Check(m.project.ptr())) raise(PyExc_RuntimeError, "Manager.project 未设置：请先调用 load_project()");
    return get_item(m.project, key);
}

void require_modules(const Manager& m) {
    if (!PyDict_Check(m.modules.ptr())) raise(PyExc_RuntimeError, "Manager.modules 未设置：请先调用 create_modules()");
}

// (key, value) pairs of a dict as a new list: host code run while they are
// walked cannot change the walk or free a value in use.
std::vector<std::pair<nb::object, nb::object>> dict_items(nb::handle d) {
    nb::object items = check(PyDict_Items(d.ptr()));
    std::vector<std::pair<nb::object, nb::object>> out;
    for (nb::handle pair : items) out.emplace_back(pair[0], pair[1]);
    return out;
}

// Adds "where it happened" to an exception leaving the loop; type and message stay.
void add_note(nb::python_error& e, const std::string& note) {
    nb::object exc = nb::borrow(e.value());
    if (nb::hasattr(exc, "add_note")) {
        try {
            exc.attr("add_note")(note);
        } catch (nb::python_error&) {
        }
    }
}

}  // namespace mgr

namespace {
nb::handle g_manager_type;

void def_bool_attr(nb::handle cls, const char* name, bool Manager::*member, const char* doc) {
    def_attr<Manager>(
        cls, name, "bool", doc, [member](Manager& m) { return m.*member; },
        [member](Manager& m, nb::handle v) {
            int t = PyObject_IsTrue(v.ptr());
            if (t < 0) throw_pending();
            m.*member = t != 0;
        },
        [](Manager&) { raise_del(); });
}
}  // namespace

nb::handle manager_type() { return g_manager_type; }

nb::object Manager::create_clock() {
    using namespace mgr;
    nb::object c = nb::borrow(sim_clock_type())(0.0, project_item(*this, "time_step"));
    nb::object period = project_item(*this, "period");
    nb::dict run_period;
    if (!period.is_none()) run_period["params"] = period;
    c.attr("set_period")(period.is_none() ? nb::none() : nb::object(run_period));
    // A step count no run can finish is refused before any work (tables included).
    SimClock* clk = clock_of(c);
    const double n = std::ceil(clk->end_time / clk->time_step - 1e-9);
    // A step longer than the whole period would run at most one step of its
    // own length: nothing to report as a run of the period.
    if (clk->time_step > clk->end_time) {
        char text[96];
        std::snprintf(text, sizeof text, "%g 秒长于整个运行期（%g 秒）", clk->time_step, clk->end_time);
        raise(project_error(), to_text(project_item(*this, "where")) + ": 键 time_step: 时间步长 " + text +
                                   "：请缩短步长或延长运行期");
    }
    if (!std::isfinite(n) || n > 1e8) {
        char count[64];
        std::snprintf(count, sizeof count, "%.3g", n);
        raise(project_error(), to_text(project_item(*this, "where")) + ": 键 time_step: 运行步数过多（" +
                                   count + " 步，上限 1e8）：请增大时间步长");
    }
    return c;
}

nb::object Manager::create_modules() {
    using namespace mgr;
    std::string where = to_text(project_item(*this, "where"));
    nb::dict mods;
    for (nb::handle entry : nb::borrow<nb::list>(project_item(*this, "modules"))) {
        nb::object cls = entry["class"];
        nb::object name = entry["name"];
        std::string key = to_text(entry["key"]) + ".type";
        nb::object unit;
        try {
            unit = cls(name);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (cls.ptr() == sim_unit_type().ptr())
                raise(project_error(), where + ": 键 " + key +
                                           ": 模块类型是基类 SimUnit 本身，不能直接运行：请给出它的子类");
            nb::object type_name = check(PyObject_GetAttrString(e.type().ptr(), "__name__"));
            raise(project_error(), where + ": 键 " + key + ": 无法创建模块 \"" + to_text(name) + "\"（" +
                                       to_text(type_name) + ": " + exception_text(e) + "）");
        }
        if (PyObject_TypeCheck(unit.ptr(), (PyTypeObject*)sim_unit_type().ptr()) && !nb::inst_ready(unit))
            raise(project_error(), where + ": 键 " + key + ": 类 " + host_type_name(unit) +
                                       " 的 __init__ 没有调用基类构造函数 super().__init__(name)");
        unit_of(unit, to_text(name));
        // A copy, so the project record keeps the values as read.
        unit.attr("in_file_params") = nb::list(nb::borrow(entry["in_file_params"]));
        // Declared settings are the module's attributes of the same name.
        if (PyObject* settings = PyDict_GetItemString(entry.ptr(), "settings"))
            for (auto& [k, v] : dict_items(settings)) nb::setattr(unit, k, v);
        mods[name] = unit;
    }
    // Recorded outputs must exist.
    nb::object record = project_item(*this, "record");
    if (!record.is_none()) {
        for (nb::handle r : record) {
            nb::object unit = mods[r[0]];
            nb::object outs = unit.attr("outputs");
            if (!PyDict_Check(outs.ptr()) || !PyDict_Contains(outs.ptr(), nb::object(r[1]).ptr())) {
                std::string list;
                if (PyDict_Check(outs.ptr()))
                    for (nb::handle k : nb::borrow<nb::dict>(outs).keys()) list += (list.empty() ? "" : ", ") + to_text(k);
                raise(project_error(), where + ": 键 " + to_text(r[2]) + ": 模块 \"" + to_text(r[0]) +
                                           "\" 没有输出变量 \"" + to_text(r[1]) + "\"（可用: " + list + "）");
            }
        }
    }
    modules = mods;
    nb::dict st;
    st["modules"] = mods;
    nb::object site = project_item(*this, "site");
    if (PyDict_Check(site.ptr())) {
        // The documented defaults however the site was found ([site], or the weather
        // file's LOCATION line, which gives only the place): without them the panels
        // would take the sun at the start of the hour and the panel module's light.
        // The project's own site stays as it was read (a copy gets the defaults).
        nb::dict given = nb::borrow<nb::dict>(site);
        bool complete = given.contains("sun_time");
        for (const SiteLightChoice& choice : site_light_choices()) complete = complete && given.contains(choice.key);
        if (!complete) {
            nb::dict copy = nb::borrow<nb::dict>(check(PyDict_Copy(site.ptr())));
            if (!copy.contains("sun_time")) copy["sun_time"] = "middle";
            for (const SiteLightChoice& choice : site_light_choices())
                if (!copy.contains(choice.key)) copy[choice.key] = choice.choices[0];
            site = copy;
        }
    }
    st["site"] = site;
    if (!clock.is_none()) st["clock"] = clock;  // the shading modules plan the run's sun positions from it
    state = st;
    return mods;
}

nb::object Manager::create_links() {
    using namespace mgr;
    std::string where = to_text(project_item(*this, "where"));
    require_modules(*this);
    nb::list out;
    nb::object link_type = import("quillmere._native").attr("Link");
    nb::dict link_targets;  // "module.input" -> the link that feeds it
    for (nb::handle l : nb::borrow<nb::list>(project_item(*this, "links"))) {
        nb::object src = get_item(modules, l["source"]);
        nb::object dst = get_item(modules, l["target"]);
        struct Side {
            nb::object unit;
            nb::object var;
            const char* dict;
            const char* what;
        } sides[2] = {{src, l["source_variable"], "outputs", "输出变量"}, {dst, l["target_variable"], "inputs", "输入变量"}};
        for (const Side& s : sides) {
            nb::object d = s.unit.attr(s.dict);
            if (!PyDict_Check(d.ptr()) || !PyDict_Contains(d.ptr(), s.var.ptr())) {
                std::string list;
                if (PyDict_Check(d.ptr()))
                    for (nb::handle k : nb::borrow<nb::dict>(d).keys()) list += (list.empty() ? "" : ", ") + to_text(k);
                raise(project_error(), where + ": 键 " + to_text(l["key"]) + ": 模块 \"" +
                                           to_text(s.unit.attr("name")) + "\" 没有" + s.what + " \"" + to_text(s.var) +
                                           "\"（可用: " + (list.empty() ? "无" : list) + "）");
            }
        }
        // One link per input: a second one would silently overwrite the first.
        std::string target = to_text(l["target"]) + "." + to_text(l["target_variable"]);
        std::string here = to_text(l["key"]) + " \"" + to_text(l["source"]) + "." + to_text(l["source_variable"]) +
                           " -> " + target + "\"";
        if (PyObject* first = PyDict_GetItemString(link_targets.ptr(), target.c_str()))
            raise(project_error(), where + ": 键 " + to_text(l["key"]) + ": 链接 " + to_text(first) + " 与 " +
                                       here + " 连接到同一个输入 \"" + target + "\"：每个输入只能有一个链接");
        link_targets[target.c_str()] = nb::str(here.c_str());
        out.append(link_type(src, l["source_variable"], dst, l["target_variable"]));
    }
    links = out;
    return out;
}

void Manager::awake_modules() {
    using namespace mgr;
    require_modules(*this);
    nb::dict mods = nb::borrow<nb::dict>(modules);
    // Shading modules first: panels look theirs up and query it in their own awake.
    std::vector<std::pair<nb::object, nb::object>> order;
    std::vector<std::pair<nb::object, nb::object>> items = dict_items(mods);
    for (int pass = 0; pass < 2; ++pass)
        for (auto& [name, unit] : items)
            if (provides_surfaces(unit) == (pass == 0)) order.emplace_back(name, unit);
    // Shading tables are computed again and replace the old ones only once
    // complete: a failed or interrupted regeneration keeps the old table.
    if (regenerate_shading) {
        for (auto& [name, unit] : order) {
            // The files by the key names of the module's declaration, from its checked project entry.
            std::vector<std::pair<std::string, nb::object>> files;
            if (PyDict_Check(project.ptr()))
                for (nb::handle entry : nb::borrow<nb::list>(get_item(project, "modules")))
                    if (nb::borrow(entry["name"]).equal(name)) files = generated_values(entry);
            if (!PyObject_TypeCheck(unit.ptr(), (PyTypeObject*)surface_shadow_type().ptr())) {
                // Other modules that declare generated files compute them only when absent.
                nb::object os_mod = import("os"), os_path = import("os.path");
                for (const auto& [key, file] : files) {
                    if (nb::cast<bool>(os_path.attr("isfile")(file))) {
                        os_mod.attr("remove")(file);
                        if (!quiet) print("已删除阴影表，将重新生成: " + to_text(file));
                    }
                }
                continue;
            }
            unit_of(unit, to_text(name));
            nb::inst_ptr<SurfaceShadowModule>(unit)->regenerate_table = true;
            if (!quiet && !files.empty()) print("将重新生成阴影表（完成后替换原表）: " + to_text(files.front().second));
            // Files kept beside the table (exact factors, fingerprints) go too.
            if (nb::hasattr(unit, "discard_caches")) unit.attr("discard_caches")();
        }
    }
    bool interpolators_checked = false;
    for (auto& [name, unit] : order) {
        if (!interpolators_checked && !provides_surfaces(unit)) {
            // Every shading module is awake: the panels' surfaces must have their interpolators.
            interpolators_checked = true;
            if (PyDict_Check(project.ptr()))
                check_interpolators(to_text(get_item(project, "file")), get_item(project, "modules"), modules);
        }
        SimUnit* u = unit_of(unit, to_text(name));
        try {
            u->awake(state);
        } catch (nb::python_error& e) {
            add_note(e, "模块 " + to_text(name) + " 的 awake 出错");
            throw;
        }
        if (!clock.is_none()) {
            SimClock* clk = clock_of(clock);
            std::string where, key = "modules(" + to_text(name) + ")";
            if (PyDict_Check(project.ptr())) {
                where = to_text(get_item(project, "where"));
                for (nb::handle entry : nb::borrow<nb::list>(get_item(project, "modules")))
                    if (nb::borrow(entry["name"]).equal(name)) key = to_text(entry["key"]);
            }
            check_weather_period(unit, to_text(name), key, where, *clk, quiet);
            treat_weather_table(unit, to_text(name), clk->start_year, clk->end_year, quiet);
        }
    }
}

void Manager::finish_modules() {
    using namespace mgr;
    if (!PyDict_Check(modules.ptr())) return;
    // A list of the pairs: a finish() that changes the dict cannot pull a module away mid-call.
    nb::object items = check(PyDict_Items(modules.ptr()));
    for (nb::handle pair : items) {
        nb::object name = pair[0], unit = pair[1];
        try {
            unit_of(unit, to_text(name))->finish(clock);
        } catch (nb::python_error& e) {
            add_note(e, "模块 " + to_text(name) + " 的 finish 出错");
            throw;
        }
    }
}

void Manager::check_results_path() {
    using namespace mgr;
    nb::object path = output_path;
    const bool given = !path.is_none();
    if (!given) path = get_item(project, "csv");
    if (path.is_none()) return;
    const std::string where = to_text(get_item(project, "where"));
    const std::string key = given ? "output_path（-o）" : "output.csv";
    nb::object os_path = import("os.path");
    auto same = [&](nb::handle a, nb::handle b) {
        try {
            return nb::cast<bool>(os_path.attr("samefile")(a, b));
        } catch (nb::python_error&) {
            return bool(os_path.attr("realpath")(a).equal(os_path.attr("realpath")(b)));
        }
    };
    // Only a regular file (or a new path) is replaced: never a device, FIFO or socket.
    if (nb::cast<bool>(os_path.attr("exists")(path)) && !nb::cast<bool>(os_path.attr("isfile")(path)))
        raise(project_error(), where + ": 键 " + key + ": 结果文件 " + to_text(path) +
                                   " 已存在且不是普通文件（设备、管道、套接字或文件夹），未运行");
    nb::object project_file = get_item(project, "file");  // None for a project given as a dict
    if (!project_file.is_none() && same(path, project_file))
        raise(project_error(), where + ": 键 " + key + ": 结果文件就是项目文件，未运行");
    // Every path value of a module (model, weather, tables) is an input.
    for (nb::handle m : nb::borrow<nb::list>(get_item(project, "modules"))) {
        nb::object values = get_item(m, "in_file_params");
        for (nb::handle v : values) {
            if (!PyUnicode_Check(v.ptr()) || !nb::cast<bool>(os_path.attr("isabs")(v))) continue;
            if (same(path, v))
                raise(project_error(), where + ": 键 " + key + ": 结果文件 " + to_text(path) +
                                           " 是项目的输入文件（" + to_text(get_item(m, "key")) + "），未运行");
        }
    }
}

namespace {
// Holds the message gate for one run; at the end every repeated line is
// reported once with its count.
class GateScope {
public:
    explicit GateScope(bool quiet) : previous_(message_gate()) {
        gate_.quiet = quiet;
        set_message_gate(&gate_);
    }
    ~GateScope() { set_message_gate(previous_); }
    void report_repeats() {
        set_message_gate(previous_);
        for (const auto& [line, count] : gate_.lines)
            if (count > 1) print("（上面的消息共出现 " + std::to_string(count) + " 次，只显示了第一次）: " + line);
        gate_.lines.clear();
        gate_.index.clear();
        set_message_gate(&gate_);
    }

private:
    MessageGate gate_;
    MessageGate* previous_;
};
}  // namespace

void Manager::prepare(Stage until) {
    project = clock = modules = links = state = results = summary = timings = nb::none();
    project = load_project();
    clock = create_clock();
    create_modules();
    if (until == Stage::modules) return;
    create_links();
    if (until == Stage::awake) awake_modules();
}

nb::object Manager::run_simulation() {
    project = clock = modules = links = state = results = summary = timings = nb::none();
    GateScope gate(quiet);
    try {
        // Every path reaches the modules absolute (resolved against the project's
        // folder by load_project), so the run sets no process-wide base folder.
        project = load_project();
        check_results_path();
        clock = create_clock();
        create_modules();
        create_links();
        awake_modules();
        nb::object table = run_steps();
        finish_modules();
        gate.report_repeats();
        write_results();
        summarize();
        return table;
    } catch (nb::python_error& e) {
        // The counts first; the run's own error stays the one that leaves.
        e.restore();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            gate.report_repeats();
        } catch (nb::python_error&) {
        }
        PyErr_Restore(t, v, tb);
        throw nb::python_error();
    }
}

int Manager::traverse(visitproc visit, void* arg) {
    for (nb::object* o : {&file_path, &output_path, &project, &clock, &modules, &links, &state, &results, &summary, &timings})
        Py_VISIT(o->ptr());
    return 0;
}

void Manager::clear() {
    for (nb::object* o : {&file_path, &output_path, &project, &clock, &modules, &links, &state, &results, &summary, &timings})
        *o = nb::none();
}

void bind_manager(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.manager");
    mgr::init_project_error(m);

    auto cls = nb::class_<Manager, PyManager>(
        scope, "Manager", nb::type_slots(gc_slots<Manager>()),
        "The run manager: reads a project file, builds the modules, the clock and the links, runs the step "
        "loop and returns the recorded outputs as a pandas DataFrame.");
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Manager> v, nb::handle file_path) {
            Manager* mg = nb::inst_python_derived(v.h) ? new ((void*)v.p) PyManager() : new (v.p) Manager();
            mg->file_path = nb::borrow(file_path);
        },
        nb::arg("file_path").none(),
        nb::sig("def __init__(self, file_path: str | os.PathLike[str] | dict[str, typing.Any]) -> None"),
        "A manager for the project at file_path, or for a project given as a dict with the project file's "
        "structure (relative paths resolve against its \"folder\" entry, else the current folder). Nothing is "
        "read until a run.");
    using project_result = result_as<"dict[str, typing.Any]">;
    cls.def("load_project", [](Manager& mg) { return project_result(mg.Manager::load_project()); },
            "Reads and checks the project file; returns the checked project record (raises ProjectError).");
    cls.def("create_clock",
            [](Manager& mg) { return result_as<"quillmere.core.sim_clock.SimClock">(mg.Manager::create_clock()); },
            "Creates the clock with the project's time step and run period.");
    cls.def("create_modules",
            [](Manager& mg) {
                return result_as<"dict[str, quillmere.core.sim_unit.SimUnit]">(mg.Manager::create_modules());
            },
            "Creates the modules, fills their in_file_params and builds the state dict.");
    cls.def("create_links",
            [](Manager& mg) { return result_as<"list[quillmere.core.link.Link]">(mg.Manager::create_links()); },
            "Creates the links, checked against the modules' variables.");
    cls.def("awake_modules", [](Manager& mg) { mg.Manager::awake_modules(); },
            "Calls awake(state) once on every module, shading modules first.");
    cls.def(
        "prepare",
        [](Manager& mg, const std::string& until) {
            using S = Manager::Stage;
            if (until != "modules" && until != "links" && until != "awake")
                raise(PyExc_ValueError, "until 应为 \"modules\"、\"links\" 或 \"awake\"，实际为 \"" + until + "\"");
            mg.prepare(until == "modules" ? S::modules : until == "links" ? S::links : S::awake);
        },
        nb::arg("until") = "links",
        "The run's start-up without its step loop: load_project, create_clock and create_modules; then "
        "create_links (until \"links\" or \"awake\") and awake_modules (until \"awake\"). Raises what the run "
        "would raise before its first step; the project, clock, modules, links and state are left set.");
    cls.def("run_steps", [](Manager& mg) { return result_as<"pandas.DataFrame">(mg.Manager::run_steps()); },
            "Runs the step loop over the whole period; returns the results DataFrame.");
    cls.def("finish_modules", [](Manager& mg) { mg.Manager::finish_modules(); },
            "Calls finish(clock) on every module.");
    cls.def("write_results", [](Manager& mg) { mg.Manager::write_results(); },
            "Writes the results to output_path (or the project's [output] csv) when one is set.");
    cls.def("summarize",
            [](Manager& mg) { return result_as<"dict[str, dict[str, typing.Any]]">(mg.Manager::summarize()); },
            "Prints the energy, peak power and full-load hours of every generator; returns them as a dict.");
    cls.def("run_simulation",
            [](Manager& mg) { return result_as<"pandas.DataFrame">(mg.Manager::run_simulation()); },
            "Runs the whole project; returns the results DataFrame (one row per step).");
    nb::handle c = cls;
    def_readonly_attr<Manager>(c, "file_path", "str | os.PathLike[str] | dict[str, typing.Any]",
                               "The project as given to the constructor: a path or a project dict.",
                               [](Manager& mg) -> nb::object { return mg.file_path; });
    def_attr<Manager>(
        c, "output_path", AttrTypes("str | None", "str | os.PathLike[str] | None"),
        "The results CSV (a str); when set, it replaces the project's [output] csv. None: the project's.",
        [](Manager& mg) -> nb::object { return mg.output_path; },
        [](Manager& mg, nb::handle v) {
            if (v.is_none()) {
                mg.output_path = nb::none();
                return;
            }
            nb::object p = nb::module_::import_("os").attr("fspath")(v);
            if (!PyUnicode_Check(p.ptr())) p = nb::module_::import_("os").attr("fsdecode")(p);
            mg.output_path = p;
        },
        [](Manager& mg) { mg.output_path = nb::none(); });
    def_bool_attr(c, "quiet", &Manager::quiet, "No summary or status lines when true.");
    def_bool_attr(c, "progress", &Manager::progress, "A progress line on standard error when true.");
    def_bool_attr(c, "regenerate_shading", &Manager::regenerate_shading,
                  "When true, the shading tables are computed again (each replaced once complete).");
    def_typed_object_attrs<Manager>(
        c, {{"project", &Manager::project, PyDict_Check_fn, "dict", "dict[str, typing.Any] | None",
             "The checked project record of the current (or last) run."},
            {"modules", &Manager::modules, PyDict_Check_fn, "dict", "dict[str, quillmere.core.sim_unit.SimUnit] | None",
             "The modules by instance name, in file order."},
            {"links", &Manager::links, PyList_Check_fn, "list", "list[quillmere.core.link.Link] | None",
             "The run's links."},
            {"state", &Manager::state, PyDict_Check_fn, "dict", "dict[str, typing.Any] | None",
             "The state dict handed to the modules: {\"modules\": ..., \"site\": ..., ...}."},
            {"summary", &Manager::summary, PyDict_Check_fn, "dict", "dict[str, dict[str, typing.Any]] | None",
             "The figures of every generator from summarize()."},
            {"timings", &Manager::timings, PyDict_Check_fn, "dict", "dict[str, float] | None",
             "Seconds spent in the parts of the step loop."}});
    def_attr<Manager>(
        c, "clock", "quillmere.core.sim_clock.SimClock | None", "The run's clock (create_clock).",
        [](Manager& mg) -> nb::object { return mg.clock; },
        [](Manager& mg, nb::handle v) {
            if (!v.is_none() && !PyObject_TypeCheck(v.ptr(), (PyTypeObject*)sim_clock_type().ptr()))
                raise_expected("SimClock", v);
            mg.clock = nb::borrow(v);
        },
        [](Manager& mg) { mg.clock = nb::none(); });
    def_attr<Manager>(
        c, "results", "pandas.DataFrame | None", "The recorded outputs of the last run (run_steps).",
        [](Manager& mg) -> nb::object { return mg.results; },
        [](Manager& mg, nb::handle v) { mg.results = nb::borrow(v); }, [](Manager& mg) { mg.results = nb::none(); });
    g_manager_type = cls;
    m.attr("Manager") = cls;
    scope.def("load_project", &load_project_data, nb::arg("path"),
              nb::sig("def load_project(path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
              "Reads a project file and checks it as a run does (ProjectError naming the key); returns it as a dict "
              "with the file's structure and a \"folder\" entry (the file's folder, against which its relative paths "
              "resolve), ready to be changed and given to Manager(project).");
    m.attr("load_project") = scope.attr("load_project");
}

}  // namespace qm::py
