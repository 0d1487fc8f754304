// SimUnit: the base class of every simulation module. Variables live in
// host dicts of variable records ({"value": ...}) so that links and host
// code share the value objects themselves.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/trampoline.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bindings/support/common.hpp"
#include "bindings/core/sim_clock.hpp"

namespace qm::py {
namespace nb = nanobind;

class SimUnit {
public:
    SimUnit() = default;
    virtual ~SimUnit() = default;
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    PyObject* self = nullptr;  // the host object that holds this unit (borrowed)

    nb::object name = nb::none();
    nb::object module_name = nb::none();
    nb::object inputs = nb::none();
    nb::object outputs = nb::none();
    nb::object params = nb::none();
    nb::object in_file_params = nb::none();
    nb::object previous_outputs = nb::none();
    nb::object previous_outputs_2 = nb::none();
    int32_t is_converged = 0;

    // Where check_convergence last found each output's record, by position
    // in previous_outputs (see RecordCache): one lookup per output instead of two.
    std::vector<RecordCache> convergence_records;

    // The constructor's steps. They run once the C++ object exists, so the
    // calls to _get_module_info and _setup_module reach host redefinitions.
    void construct(nb::handle instance_name);

    // Method table, in slot order; every slot is overridable.
    virtual nb::object _get_module_info();
    virtual void _setup_module(nb::handle module_info);
    virtual void _add_variable(nb::handle category, nb::handle name, nb::handle default_value,
                               long not_instantaneous);
    virtual void set_input_value(nb::handle input_name, nb::handle value);
    virtual void set_param_value(nb::handle param_name, nb::handle value);
    virtual void update(nb::handle time, nb::handle state);
    virtual void awake(nb::handle state);
    virtual void after(nb::handle time);
    virtual void finish(nb::handle time);
    virtual void update_previous_values();
    virtual int check_convergence(double threshold);
    virtual void update_previous_outputs_2();
    virtual void set_previous_outputs_2_to_current();

    // The unit's report (host-level str()).
    std::string report() const;

    // Internal: units whose outputs this one reads in its update without a
    // link (an inverter reads its panels' DC power); the run updates them
    // first, as if linked.
    virtual std::vector<SimUnit*> reads_from() const { return {}; }

    // Garbage-collector support: derived units visit and drop their own objects too.
    virtual int traverse(visitproc visit, void* arg);
    virtual void clear();

    // Borrowed handle of the host object.
    nb::handle handle() const { return self; }
};

// Host subclasses of a unit type: every SimUnit slot dispatches to a host
// redefinition when there is one. Derived native units extend this template
// with trampolines for their own slots.
template <typename Base>
class UnitTrampoline : public Base {
public:
    NB_TRAMPOLINE(Base);
    nb::object _get_module_info() override { NB_OVERRIDE(_get_module_info); }
    void _setup_module(nb::handle info) override { NB_OVERRIDE(_setup_module, info); }
    void _add_variable(nb::handle c, nb::handle n, nb::handle d, long f) override {
        NB_OVERRIDE(_add_variable, c, n, d, f);
    }
    void set_input_value(nb::handle n, nb::handle v) override { NB_OVERRIDE(set_input_value, n, v); }
    void set_param_value(nb::handle n, nb::handle v) override { NB_OVERRIDE(set_param_value, n, v); }
    void update(nb::handle t, nb::handle s) override { NB_OVERRIDE(update, t, s); }
    void awake(nb::handle s) override { NB_OVERRIDE(awake, s); }
    void after(nb::handle t) override { NB_OVERRIDE(after, t); }
    void finish(nb::handle t) override { NB_OVERRIDE(finish, t); }
    void update_previous_values() override { NB_OVERRIDE(update_previous_values); }
    int check_convergence(double threshold) override { NB_OVERRIDE(check_convergence, threshold); }
    void update_previous_outputs_2() override { NB_OVERRIDE(update_previous_outputs_2); }
    void set_previous_outputs_2_to_current() override { NB_OVERRIDE(set_previous_outputs_2_to_current); }
};

// Signature types of the unit operations' arguments and results.
using unit_hint = arg_as<"quillmere.core.sim_unit.SimUnit">;    // a unit argument
using state_hint = arg_as<"dict[str, typing.Any]">;               // the run's state dict
using info_result = result_as<"dict[str, typing.Any] | None">;   // a module information record
// The constructor's documentation, shared by every unit type.
inline constexpr const char* kUnitInitDoc =
    "Creates the unit named name (str or None): builds its variable dictionaries from _get_module_info() "
    "through _setup_module, is_converged = 0 and an empty in_file_params.";

// GC slots shared by every unit type (pass to nb::class_ with nb::type_slots).
PyType_Slot* unit_type_slots();

// Constructs a unit of native type T (or its trampoline Alias for host
// subclasses) in nanobind's storage and runs the constructor's steps.
template <typename T, typename Alias>
void construct_unit(nb::pointer_and_handle<T> v, arg_as<"str"> name) {
    T* unit;
    if (!nb::inst_python_derived(v.h))
        unit = new (v.p) T();
    else
        unit = new ((void*)v.p) Alias();
    unit->self = v.h.ptr();
    // Ready before the steps run: host redefinitions called from them use the
    // object like any other. If a step fails, the destructor still runs.
    nb::inst_mark_ready(v.h);
    unit->construct(name);
}

// A bound unit class of native type M (host subclasses get Alias) in the
// scope of its documented module, with the constructor every unit has.
// Its _get_module_info calls M's own record builder (info_doc documents it).
template <typename M, typename Alias>
nb::class_<M, SimUnit, Alias> unit_class(const char* module_path, const char* name, const char* doc,
                                         const char* info_doc) {
    nb::module_ scope = named_scope(module_path);
    nb::class_<M, SimUnit, Alias> cls(scope, name, nb::type_slots(unit_type_slots()), doc);
    cls.def("__init__", &construct_unit<M, Alias>, nb::arg("name").none(), kUnitInitDoc);
    cls.def("_get_module_info", [](M& u) { return info_result(u.M::_get_module_info()); }, info_doc);
    return cls;
}

// One variable of a module information record; the dict has the keys "id",
// "category", "name", "type", "default", "unit" in this order, then
// "notInstantaneous" (a bool) when not_instantaneous is 0 or 1.
struct VariableSpec {
    int id;
    const char* category;
    const char* name;
    const char* type;
    nb::object default_value;
    const char* unit;
    int not_instantaneous = -1;  // -1: the key is absent
};

// A new module information record {"name", "vars", "id", "description"}.
nb::dict module_info_record(const char* type_name, std::initializer_list<VariableSpec> vars, int id,
                            const char* description);

// Host-level update(time, state) and awake(<arg>) of unit type M, with the
// argument checks every unit makes, calling M's own implementation.
template <typename M, typename Cls>
void def_update(Cls& cls, const char* doc) {
    cls.def(
        "update",
        [](M& u, clock_hint time, state_hint state) {
            clock_arg(time, "time");
            require_dict_or_none(state, "state");
            u.M::update(time, state);
        },
        nb::arg("time").none(), nb::arg("state").none(), doc);
}
template <typename M, typename Cls>
void def_awake(Cls& cls, const char* doc, const char* arg = "state") {
    cls.def(
        "awake",
        [arg](M& u, state_hint state) {
            require_dict_or_none(state, arg);
            u.M::awake(state);
        },
        nb::arg(arg).none(), doc);
}

// The bound SimUnit type (isinstance checks and type names in messages).
nb::handle sim_unit_type();

// A SimUnit instance or None (nullptr); anything else raises the argument-type TypeError.
SimUnit* unit_arg(nb::handle unit, const char* arg);

// Binds the host-level methods shared by all units onto a unit class. The
// methods call the qualified base implementation of `Impl`, so a host
// subclass's super() call lands there.
void bind_sim_unit(nb::module_& m);

// Record access on the hot path: unit.<dict>[name]["value"].
nb::object record_value(nb::handle dict, nb::handle name);
void set_record_value(nb::handle dict, nb::handle name, nb::handle value);

}  // namespace qm::py
