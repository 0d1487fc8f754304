// quillmere.components.shade_exact: prepared shading shared between runs of
// one process. A sweep's worker runs many variants of one project; those
// whose shading module has the same inputs would each read the model's
// statistics, parse the table and build its interpolators, plan the sun
// track and load the per-step factors again. With sharing on
// (share_prepared), the state a module's awake leaves is kept under a key of
// everything that awake reads (its values and resolved paths, the plan of
// its products: the model's digest and the module's settings, the run's site
// and clock for the exact method, and the bytes of every file it loads), and a later module whose key is the same takes
// a copy of it instead. Only an awake that printed nothing is kept: a module
// that takes a kept state then says what a fresh one would have said (nothing).
#include <nanobind/stl/string.h>

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/support/common.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/plan.hpp"

namespace qm::py {
using namespace shade_exact_detail;

struct ExactShadowModule::Prepared {
    TableState table;
    std::shared_ptr<const geom::Model> model;
    geom::FaceSet faces;
    nb::object exact_columns, exact_file;
    std::unordered_map<Key, size_t, KeyHash> rows;
    std::vector<double> row_alt, row_az, row_factors;
    size_t step_rows = 0;
    shading::SunTrack track;
    std::string model_digest, model_digest_path;
};

namespace {
// Kept states, most recently used first; a few (each holds a table and a
// run's factors, and keeps its model alive).
constexpr size_t kKeep = 4;
using Kept = std::list<std::pair<std::string, std::shared_ptr<const ExactShadowModule::Prepared>>>;
Kept* g_kept = nullptr;  // created on first use, never destroyed: emptied before the host ends
bool g_share = false;
size_t g_stored = 0, g_reused = 0;

Kept& kept() {
    if (!g_kept) g_kept = new Kept();
    return *g_kept;
}

// Length-prefixed parts, so that no two different sequences hash alike.
void add(shading::Sha256& h, const std::string& part) {
    const std::string size = std::to_string(part.size()) + ":";
    h.update(size.data(), size.size());
    h.update(part.data(), part.size());
}

void add_file(shading::Sha256& h, const std::string& path) {
    std::string bytes;
    if (read_whole(path, bytes)) {
        add(h, "file");
        add(h, bytes);
    } else {
        add(h, "none");
    }
}

std::string repr_text(nb::handle o) { return to_text(check(PyObject_Repr(o.ptr()))); }
}  // namespace

std::string ExactShadowModule::prepared_key(nb::handle state) {
    if (!g_share || regenerate_table) return "";
    std::string csv;
    try {
        nb::object paths = resolve_paths();
        if (!PyUnicode_Check(nb::object(paths[0]).ptr()) || !PyUnicode_Check(nb::object(paths[1]).ptr())) return "";
        // As awake sets them, for the plan.
        stl_file_path = paths[0];
        csv_file_path = paths[1];
        surfs_analyze_name = check(
            PySequence_List(check(PySequence_GetSlice(in_file_params.ptr(), first_surface_, PY_SSIZE_T_MAX)).ptr()));
        csv = fs_path(csv_file_path);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return "";  // awake reports it
    }
    shading::Sha256 h;
    add(h, "quillmere-prepared-shading-2");
    add(h, repr_text(in_file_params));
    add(h, fs_path(stl_file_path)), add(h, csv);
    // What the products depend on as the plan says (the model's digest, surfaces, resolution, the
    // module's settings such as normals, the grid): a setting added to the plan is in the key too.
    add(h, shading::table_fingerprint(plan()).text());
    if (exact) {
        // What plan_steps reads of the run: the site and the clock's period and steps.
        PyObject* clock_obj = PyDict_Check(state.ptr()) ? PyDict_GetItemString(state.ptr(), "clock") : nullptr;
        PyObject* site = PyDict_Check(state.ptr()) ? PyDict_GetItemString(state.ptr(), "site") : nullptr;
        if (clock_obj && PyObject_TypeCheck(clock_obj, (PyTypeObject*)sim_clock_type().ptr())) {
            const SimClock* c = nb::inst_ptr<SimClock>(clock_obj);
            add(h, "clock " + number_text(double(c->start_year)) + " " + number_text(double(c->begin_month)) + " " +
                       number_text(double(c->begin_day)) + " " + number_text(double(c->end_year)) + " " +
                       number_text(double(c->end_month)) + " " + number_text(double(c->end_day)) + " " +
                       number_text(c->current_time) + " " + number_text(c->time_step) + " " +
                       number_text(c->end_time));
        } else {
            add(h, "no clock");
        }
        add(h, site ? repr_text(site) : std::string("no site"));
    }
    {
        nb::gil_scoped_release release;
        for (const std::string& p : {csv, shading::exact_path(csv)}) {
            add_file(h, p);
            add_file(h, shading::fingerprint_path(p));
        }
    }
    return shading::Sha256::hex(h.finish());
}

bool ExactShadowModule::adopt_prepared(const std::string& key) {
    Kept& k = kept();
    auto it = k.begin();
    while (it != k.end() && it->first != key) ++it;
    if (it == k.end()) return false;
    k.splice(k.begin(), k, it);
    const Prepared& p = *k.front().second;
    set_table_state(p.table);
    views_done = false;
    view_sky.clear(), view_ground.clear(), view_horizon.clear();
    model = p.model;
    faces = p.faces;
    exact_columns = check(PyDict_Copy(p.exact_columns.ptr()));
    exact_file = p.exact_file;
    rows = p.rows;
    row_alt = p.row_alt, row_az = p.row_az, row_factors = p.row_factors;
    step_rows = p.step_rows;
    track = p.track;
    model_digest_ = p.model_digest, model_digest_path_ = p.model_digest_path;
    ++g_reused;
    return true;
}

void ExactShadowModule::keep_prepared(const std::string& key) {
    auto p = std::make_shared<Prepared>();
    p->table = table_state();
    p->model = model;
    p->faces = faces;
    p->exact_columns = check(PyDict_Copy(exact_columns.ptr()));
    p->exact_file = exact_file;
    p->rows = rows;
    p->row_alt = row_alt, p->row_az = row_az, p->row_factors = row_factors;
    p->step_rows = step_rows;
    p->track = track;
    p->model_digest = model_digest_, p->model_digest_path = model_digest_path_;
    Kept& k = kept();
    k.remove_if([&](const auto& e) { return e.first == key; });
    k.emplace_front(key, std::move(p));
    while (k.size() > kKeep) k.pop_back();
    ++g_stored;
}

void ExactShadowModule::awake(nb::handle state) {
    read_options();
    model_digest_.clear();  // the model is hashed again once per awake: the key's plan and the products share it
    const std::string key = prepared_key(state);
    if (!key.empty() && adopt_prepared(key)) return;
    const size_t asked = native_lines_asked();
    awake_fresh(state);
    if (!key.empty() && native_lines_asked() == asked) keep_prepared(key);
}

namespace {
void forget_prepared() {
    if (g_kept) g_kept->clear();
}
}  // namespace

void bind_shade_exact_prepared(nb::module_& scope) {
    scope.def(
        "share_prepared",
        [](bool enabled) {
            static bool registered = false;
            if (enabled && !registered) {  // the kept host objects go before the host ends
                nb::module_::import_("atexit").attr("register")(nb::cpp_function(&forget_prepared));
                registered = true;
            }
            g_share = enabled;
            if (!enabled) forget_prepared();
        },
        nb::arg("enabled"),
        "Turns sharing of prepared shading on or off in this process (off by default; sweeps' workers turn it "
        "on). With it on, the state an ExactShadowModule's awake leaves (statistics, table and interpolators, "
        "sun track and per-step factors) is kept when that awake printed nothing, under a key of everything it "
        "read (values, resolved paths, normals setting, site and clock, the bytes of the model and of the files "
        "it loaded), and a later module of the same key takes a copy instead of preparing it again: same "
        "lookups, same (no) lines. The last few states are kept; off forgets them.");
    scope.def(
        "prepared_counts",
        [] {
            nb::dict d;
            d["kept"] = g_stored;
            d["reused"] = g_reused;
            d["held"] = g_kept ? g_kept->size() : size_t(0);
            return d;
        },
        nb::sig("def prepared_counts() -> dict[str, int]"),
        "{\"kept\": states kept, \"reused\": awakes that took a kept state, \"held\": states held now}, "
        "counted in this process since it started.");
}

}  // namespace qm::py
