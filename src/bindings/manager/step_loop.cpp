// The step loop: modules in dependency order of the links, each right after
// its incoming links are copied; a step is repeated only where the links form
// a loop (or always_iterate is set), until every module has converged.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "bindings/core/link.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/results.hpp"
#include "bindings/manager/loss_tree.hpp"
#include "kernels/sim/schedule.hpp"

namespace qm::py {
namespace {

// A cheap tick counter for the loop's own accounting (the time stamp counter
// where there is one); converted to seconds against steady_clock over the loop.
inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

}  // namespace

nb::object Manager::run_steps() {
    using namespace mgr;
    using steady = std::chrono::steady_clock;
    if (!PyDict_Check(modules.ptr())) raise(PyExc_RuntimeError, "Manager.modules 未设置：请先调用 create_modules()");
    if (!PyList_Check(links.ptr())) raise(PyExc_RuntimeError, "Manager.links 未设置：请先调用 create_links()");
    nb::object clock_obj = clock;  // held for the whole run
    SimClock* clk = clock_of(clock_obj);
    nb::object state_obj = state;
    nb::dict mods = nb::borrow<nb::dict>(modules);
    nb::object threshold_obj = project_item(*this, "threshold");
    double threshold = nb::cast<double>(threshold_obj);
    long long max_iterations = nb::cast<long long>(project_item(*this, "max_iterations"));
    bool always_iterate = nb::cast<bool>(project_item(*this, "always_iterate"));

    // Units in file order, then in dependency order of the links: a module
    // updates after the modules it reads from, with its incoming links copied
    // just before its update, so one pass is exact when the links form no cycle.
    std::vector<nb::object> unit_objs, unit_names;
    std::vector<SimUnit*> units;
    for (auto& [name, unit] : dict_items(mods)) {
        unit_names.push_back(name);
        unit_objs.push_back(unit);
        units.push_back(unit_of(unit, to_text(name)));
    }
    size_t n_units = units.size();
    auto index_of = [&](nb::handle unit) -> size_t {
        for (size_t i = 0; i < n_units; ++i)
            if (unit_objs[i].ptr() == unit.ptr()) return i;
        return n_units;
    };
    std::vector<nb::object> link_objs;
    std::vector<std::vector<Link*>> incoming(n_units);
    std::vector<sim::Edge> edges;
    std::vector<Link*> orphan_links;  // links whose target is not one of the modules
    nb::object link_type = import("quillmere._native").attr("Link");
    for (nb::handle l : nb::borrow<nb::list>(links)) {
        if (!PyObject_TypeCheck(l.ptr(), (PyTypeObject*)link_type.ptr()))
            raise(PyExc_TypeError, std::string("Manager.links 的元素应为 Link，实际为 ") + host_type_name(l));
        require_ready(l, "Manager.links[]", "Link");
        link_objs.push_back(nb::borrow(l));
        Link* lp = nb::inst_ptr<Link>(l);
        size_t s = index_of(lp->source_module), t = index_of(lp->target_module);
        if (t == n_units) {
            orphan_links.push_back(lp);
            continue;
        }
        incoming[t].push_back(lp);
        edges.push_back({s, t});  // a source outside the modules is ignored by the schedule
    }
    // Units that read other units' outputs without links update after them.
    for (size_t t = 0; t < n_units; ++t)
        for (SimUnit* from : units[t]->reads_from())
            for (size_t s = 0; s < n_units; ++s)
                if (units[s] == from) edges.push_back({s, t});
    sim::Schedule schedule = sim::update_order(n_units, edges);
    const std::vector<size_t>& order = schedule.order;
    bool cyclic = schedule.cyclic;
    bool iterate = (cyclic || always_iterate) && max_iterations > 1;

    std::vector<Column> columns = recorded_columns(project_item(*this, "record"), mods, unit_objs, units);
    nb::object k_power = check(PyUnicode_InternFromString("power"));
    std::vector<Generator> gens = find_generators(unit_objs, units, unit_names, to_text(project_item(*this, "where")));

    // Number of steps: the whole period, the last step may overrun its end.
    double span = clk->end_time, dt = clk->time_step;
    if (!(dt > 0.0) || !std::isfinite(dt)) raise(PyExc_ValueError, "时间步长应为正的有限数（秒）");
    double n_steps_d = std::ceil(span / dt - 1e-9);
    if (!std::isfinite(n_steps_d) || n_steps_d > 1e8)
        raise(PyExc_ValueError, "运行步数过多（" + std::to_string(n_steps_d) + "）：请增大时间步长");
    size_t n_steps = n_steps_d > 0 ? size_t(n_steps_d) : 0;
    std::vector<double> times;
    times.reserve(n_steps);
    for (Column& c : columns) c.values.reserve(n_steps);

    size_t step = 0, iterations_total = 0, non_converged = 0;
    // Ticks spent inside the modules' update calls, and inside every module,
    // link and clock operation; the rest of the loop is the manager's own.
    uint64_t update_ticks = 0, op_ticks = 0;
    auto timed = [&](auto&& op) {
        uint64_t a = ticks();
        op();
        op_ticks += ticks() - a;
    };
    const char* phase = "";
    size_t current = n_units;
    size_t progress_every = std::max<size_t>(1, n_steps / 100);
    auto t_start = steady::now();
    uint64_t tick_start = ticks();

    auto pass = [&]() {
        for (size_t i : order) {
            current = i;
            phase = "link";
            for (Link* l : incoming[i]) timed([&] { l->update_link(); });
            phase = "update";
            uint64_t t0 = ticks();
            units[i]->update(clock_obj, state_obj);
            uint64_t used = ticks() - t0;
            update_ticks += used;
            op_ticks += used;
        }
        current = n_units;
        phase = "link";
        for (Link* l : orphan_links) timed([&] { l->update_link(); });
        ++iterations_total;
    };

    try {
        for (step = 0; step < n_steps; ++step) {
            double now = clk->current_time;
            phase = "snapshot";
            for (size_t i : order) {
                current = i;
                timed([&] {
                    units[i]->update_previous_values();
                    units[i]->update_previous_outputs_2();
                });
            }
            pass();
            if (iterate) {
                bool converged = false;
                for (long long k = 1; k < max_iterations && !converged; ++k) {
                    phase = "iterate";
                    for (size_t i : order) {
                        current = i;
                        timed([&] {
                            units[i]->set_previous_outputs_2_to_current();
                            units[i]->update_previous_values();
                        });
                    }
                    pass();
                    converged = true;
                    phase = "check_convergence";
                    for (size_t i : order) {
                        current = i;
                        int ok = 0;
                        timed([&] { ok = units[i]->check_convergence(threshold); });
                        units[i]->is_converged = ok;
                        converged = converged && ok;
                    }
                }
                if (!converged) {
                    if (non_converged == 0)
                        print("警告：第 " + std::to_string(step + 1) + " 步（" + clk->get_current_datetime_str() +
                              "）在 " + std::to_string(max_iterations) + " 次迭代内未收敛");
                    ++non_converged;
                }
            }
            phase = "after";
            for (size_t i : order) {
                current = i;
                timed([&] { units[i]->after(clock_obj); });
            }
            phase = "record";
            current = n_units;
            times.push_back(now);
            for (Column& c : columns) c.push(record_value(c.unit->outputs, c.var));
            for (Generator& g : gens) {
                double p = value_as_double(record_value(g.unit->outputs, k_power));
                if (p > g.peak) g.peak = p;
            }
            phase = "advance_time";
            timed([&] { clk->advance_time(); });
            if (progress && (step + 1) % progress_every == 0)
                PySys_WriteStderr("\r运行中 %3d%% (%zu/%zu 步)", int((step + 1) * 100 / n_steps), step + 1, n_steps);
            if ((step & 255) == 255 && PyErr_CheckSignals() < 0) throw_pending();  // Ctrl-C in native-only runs
        }
    } catch (nb::python_error& e) {
        if (progress) PySys_WriteStderr("\n");
        std::string where = current < n_units ? "模块 " + to_text(unit_names[current]) + " 的 " + phase : phase;
        std::string when;
        try {
            when = "（" + clk->get_current_datetime_str() + "）";
        } catch (nb::python_error&) {
        }
        add_note(e, "第 " + std::to_string(step + 1) + " 步" + when + "，" + where + " 出错");
        throw;
    }
    if (progress && n_steps) PySys_WriteStderr("\r运行中 100%% (%zu/%zu 步)\n", n_steps, n_steps);
    double loop_seconds = std::chrono::duration<double>(steady::now() - t_start).count();
    uint64_t loop_ticks = ticks() - tick_start;
    double seconds_per_tick = loop_ticks ? loop_seconds / double(loop_ticks) : 0.0;

    long long time_zone = 0;
    if (PyDict_Check(state_obj.ptr())) {
        PyObject* site = PyDict_GetItemString(state_obj.ptr(), "site");
        PyObject* tz = site && PyDict_Check(site) ? PyDict_GetItemString(site, "time_zone") : nullptr;
        if (tz && PyLong_Check(tz)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(tz, &overflow);
            if (!overflow && v >= -24 && v <= 24) time_zone = v;
        }
    }
    nb::object table = results_table(int(clk->start_year), time_zone, std::move(times), columns);
    nb::dict gen_summary = generator_summary(gens, n_steps);
    summary = gen_summary;
    table.attr("attrs")["summary"] = gen_summary;
    if (nb::dict trees = collect_loss_trees(unit_objs, unit_names); trees.size()) table.attr("attrs")["loss_tree"] = trees;
    nb::dict balances = energy_balances(unit_objs, unit_names);
    if (balances.size()) table.attr("attrs")["energy_balance"] = balances;
    nb::dict tm;
    tm["steps"] = n_steps;
    tm["modules"] = n_units;
    tm["iterations"] = iterations_total;
    tm["non_converged_steps"] = non_converged;
    tm["loop_s"] = loop_seconds;
    tm["module_update_s"] = double(update_ticks) * seconds_per_tick;
    double op_seconds = double(op_ticks) * seconds_per_tick;
    tm["operations_s"] = op_seconds;
    double module_steps = double(n_units) * double(iterations_total);
    tm["overhead_us_per_module_step"] = module_steps > 0 ? (loop_seconds - op_seconds) / module_steps * 1e6 : 0.0;
    timings = tm;
    results = table;
    return table;
}

}  // namespace qm::py
