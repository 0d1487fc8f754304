#include "bindings/core/sim_unit.hpp"
#include "bindings/support/gc_slots.hpp"

#include <cmath>

#include "bindings/core/sim_clock.hpp"

namespace qm::py {
namespace {

nb::handle g_unit_type;

// Interned keys of the module information record and variable specifications.
struct Keys {
    Key name{"name"}, vars{"vars"}, category{"category"}, default_{"default"},
        not_instantaneous{"notInstantaneous"}, get{"get"}, items{"items"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

bool is_str_or_none(nb::handle v) { return v.is_none() || PyUnicode_Check(v.ptr()); }

bool is_category(nb::handle category, const char* text) {
    return PyUnicode_Check(category.ptr()) && PyUnicode_CompareWithASCIIString(category.ptr(), text) == 0;
}

nb::object new_dict() { return check(PyDict_New()); }


// Key list of a previous-value dictionary, so that host code run during
// the walk (a __getitem__ of a dict subclass) cannot invalidate iteration.
nb::object keys_of(nb::handle dict) {
    if (PyDict_Check(dict.ptr())) return check(PyDict_Keys(dict.ptr()));
    return check(PySequence_List(dict.ptr()));  // None raises the host's TypeError
}

// One variable specification of the record, walked in _setup_module.
void add_from_spec(SimUnit& unit, nb::handle spec) {
    const Keys& k = keys();
    if (spec.is_none()) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "get");
        throw_pending();
    }
    if (!PyDict_Check(spec.ptr())) raise_expected("dict", spec);
    nb::object flag;
    if (PyDict_CheckExact(spec.ptr())) {
        PyObject* f = PyDict_GetItemWithError(spec.ptr(), k.not_instantaneous.ptr());
        if (!f && PyErr_Occurred()) throw_pending();
        flag = f ? nb::borrow(f) : nb::int_(0);
    } else {
        flag = spec.attr(k.get)(k.not_instantaneous, 0);
    }
    nb::object category = get_item(spec, k.category);
    nb::object name = get_item(spec, k.name);
    nb::object def = get_item(spec, k.default_);
    if (!is_str_or_none(category)) raise_expected("str", category);
    if (!is_str_or_none(name)) raise_expected("str", name);
    long flag_value = static_cast<long>(as_int64(flag));
    unit._add_variable(category, name, def, flag_value);
}

// "  key: 值 value" lines of one variable dictionary, joined with "\n".
void append_lines(std::string& out, nb::handle dict) {
    nb::object items;
    if (PyDict_Check(dict.ptr()))
        items = check(PyDict_Items(dict.ptr()));
    else
        items = check(PySequence_List(check(PyObject_CallMethodNoArgs(dict.ptr(), keys().items.ptr())).ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        nb::object key = check(PySequence_GetItem(pair, 0));
        nb::object record = check(PySequence_GetItem(pair, 1));
        if (i) out += "\n";
        out += "  ";
        out += to_text(key);
        out += ": 值 ";
        out += to_text(get_item(record, key_value()));
    }
}

}  // namespace

PyType_Slot* unit_type_slots() { return gc_slots<SimUnit>(); }

namespace {
// check_convergence(threshold): one positional or keyword argument.
PyObject* check_convergence_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        PyObject* threshold = nullptr;
        if (nargs == 1 && nkw == 0)
            threshold = args[0];
        else if (nargs == 0 && nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "threshold") == 0)
            threshold = args[0];
        else
            raise(PyExc_TypeError, "check_convergence() takes exactly one argument (threshold)");
        SimUnit* u = ready_ptr<SimUnit>(self, "SimUnit");
        return PyLong_FromLong(u->SimUnit::check_convergence(as_double(threshold)));
    });
}
}  // namespace

nb::handle sim_unit_type() { return g_unit_type; }

nb::dict module_info_record(const char* type_name, std::initializer_list<VariableSpec> vars, int id,
                            const char* description) {
    nb::list specs;
    for (const VariableSpec& v : vars) {
        nb::dict d;
        d["id"] = v.id;
        d["category"] = v.category;
        d["name"] = v.name;
        d["type"] = v.type;
        d["default"] = v.default_value;
        d["unit"] = v.unit;
        if (v.not_instantaneous >= 0) d["notInstantaneous"] = nb::bool_(v.not_instantaneous != 0);
        specs.append(d);
    }
    nb::dict info;
    info["name"] = type_name;
    info["vars"] = specs;
    info["id"] = id;
    info["description"] = description;
    return info;
}

SimUnit* unit_arg(nb::handle unit, const char* arg) { return typed_arg<SimUnit>(unit, g_unit_type, arg); }

nb::object record_value(nb::handle dict, nb::handle name) {
    return get_item(get_item(dict, name), key_value());
}

void set_record_value(nb::handle dict, nb::handle name, nb::handle value) {
    set_item(get_item(dict, name), key_value(), value);
}

void SimUnit::construct(nb::handle instance_name) {
    if (!is_str_or_none(instance_name)) raise_expected("str", instance_name);
    name = nb::borrow(instance_name);
    nb::object info = _get_module_info();
    if (!info.is_valid() || (!info.is_none() && !PyDict_Check(info.ptr()))) raise_expected("dict", info);
    _setup_module(info);
    is_converged = 0;
    in_file_params = check(PyList_New(0));
}

nb::object SimUnit::_get_module_info() {
    raise(PyExc_NotImplementedError, "子类必须实现 _get_module_info 方法");
}

void SimUnit::_setup_module(nb::handle module_info) {
    const Keys& k = keys();
    nb::object type_name_value = get_item(module_info, k.name);  // None: "not subscriptable"
    if (!is_str_or_none(type_name_value)) raise_expected("str", type_name_value);
    module_name = type_name_value;
    inputs = new_dict();
    outputs = new_dict();
    params = new_dict();
    previous_outputs = new_dict();
    previous_outputs_2 = new_dict();
    nb::object specs = get_item(module_info, k.vars);
    if (PyList_Check(specs.ptr()) || PyTuple_Check(specs.ptr())) {
        // Walked by index: the list may change while its specifications are added.
        for (Py_ssize_t i = 0; i < PySequence_Size(specs.ptr()); ++i)
            add_from_spec(*this, check(PySequence_GetItem(specs.ptr(), i)));
        if (PyErr_Occurred()) throw_pending();
    } else {
        nb::object it = check(PyObject_GetIter(specs.ptr()));
        while (PyObject* spec = PyIter_Next(it.ptr())) add_from_spec(*this, nb::steal(spec));
        if (PyErr_Occurred()) throw_pending();
    }
}

void SimUnit::_add_variable(nb::handle category, nb::handle var_name, nb::handle default_value,
                            long not_instantaneous) {
    nb::object record = new_dict();
    set_item(record, key_value(), default_value);
    if (is_category(category, "input")) {
        set_item(inputs, var_name, record);
    } else if (is_category(category, "output")) {
        set_item(outputs, var_name, record);
        set_item(not_instantaneous == 0 ? previous_outputs : previous_outputs_2, var_name, default_value);
    } else if (is_category(category, "param")) {
        set_item(params, var_name, record);
    } else {
        raise(PyExc_ValueError, "未知变量类别: " + to_text(category));
    }
}

void SimUnit::set_input_value(nb::handle input_name, nb::handle value) {
    if (contains(inputs, input_name))
        set_record_value(inputs, input_name, value);
    else
        print("输入变量 " + to_text(input_name) + " 不存在");
}

void SimUnit::set_param_value(nb::handle param_name, nb::handle value) {
    if (contains(params, param_name))
        set_record_value(params, param_name, value);
    else
        print("参数 " + to_text(param_name) + " 不存在");
}

void SimUnit::update(nb::handle, nb::handle) { raise(PyExc_NotImplementedError, "子类必须实现 update 方法"); }
void SimUnit::awake(nb::handle) {}
void SimUnit::after(nb::handle) {}
void SimUnit::finish(nb::handle) {}

namespace {
// previous[key] = outputs[key]["value"] for the keys of `previous` found in outputs.
void snapshot(nb::handle previous, nb::handle outs) {
    if (PyDict_CheckExact(previous.ptr()) && PyDict_CheckExact(outs.ptr())) {
        // Walk in place: storing under an existing key never resizes the
        // dict, and PyDict_Next stays memory-safe even if host code does.
        nb::object keep_previous = nb::borrow(previous), keep_outs = nb::borrow(outs);
        Py_ssize_t pos = 0;
        PyObject *key, *old;
        while (PyDict_Next(previous.ptr(), &pos, &key, &old)) {
            nb::object k = nb::borrow(key);
            PyObject* rec = PyDict_GetItemWithError(outs.ptr(), key);
            if (!rec) {
                if (PyErr_Occurred()) throw_pending();
                continue;
            }
            nb::object value = get_item(nb::borrow(rec), key_value());
            if (PyDict_SetItem(previous.ptr(), key, value.ptr()) < 0) throw_pending();
        }
        return;
    }
    nb::object ks = keys_of(previous);
    Py_ssize_t n = PyList_GET_SIZE(ks.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle key = PyList_GET_ITEM(ks.ptr(), i);
        if (contains(outs, key)) set_item(previous, key, record_value(outs, key));
    }
}
}  // namespace

void SimUnit::update_previous_values() { snapshot(previous_outputs, outputs); }
void SimUnit::update_previous_outputs_2() { snapshot(previous_outputs_2, outputs); }

void SimUnit::set_previous_outputs_2_to_current() {
    nb::object ks = keys_of(previous_outputs_2);
    Py_ssize_t n = PyList_GET_SIZE(ks.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle key = PyList_GET_ITEM(ks.ptr(), i);
        set_record_value(outputs, key, get_item(previous_outputs_2, key));
    }
}

int SimUnit::check_convergence(double threshold) {
    auto is_empty = [](nb::handle d) {
        if (d.is_none()) return true;
        Py_ssize_t n = PyObject_Length(d.ptr());
        if (n < 0) throw_pending();
        return n == 0;
    };
    if (is_empty(outputs)) return 1;
    if (is_empty(previous_outputs)) return 0;
    PyObject* prev = previous_outputs.ptr();
    auto exceeds = [threshold](nb::handle current, nb::handle previous) {
        nb::object d = check(PyNumber_Subtract(current.ptr(), previous.ptr()));
        nb::object a = check(PyNumber_Absolute(d.ptr()));
        nb::object t = nb::float_(threshold);
        int gt = PyObject_RichCompareBool(a.ptr(), t.ptr(), Py_GT);
        if (gt < 0) throw_pending();
        return gt == 1;
    };
    if (PyDict_CheckExact(prev) && PyDict_CheckExact(outputs.ptr())) {
        // Exact dicts, str keys and float values compare in C; anything else
        // goes through the host's number protocol with the same outcome.
        nb::object keep_prev = previous_outputs, keep_outs = outputs;
        PyObject* outs = keep_outs.ptr();
        Py_ssize_t pos = 0;
        size_t index = 0;
        PyObject *key, *previous;
        while (PyDict_Next(prev, &pos, &key, &previous)) {
            nb::object k = nb::borrow(key), p = nb::borrow(previous);
            if (index >= convergence_records.size()) convergence_records.resize(index + 1);
            RecordCache& cache = convergence_records[index++];
            PyObject* rec = cache.peek(outs, key);
            if (!rec) {
                // outputs.get(key)["value"]: an absent output is None, which is not subscriptable.
                PyObject* found = PyDict_GetItemWithError(outs, key);
                if (!found) {
                    if (PyErr_Occurred()) throw_pending();
                    raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
                }
                rec = cache.lookup(outs, key);
            }
            if (PyDict_CheckExact(rec) && PyFloat_CheckExact(previous)) {
                PyObject* cur = PyDict_GetItemWithError(rec, key_value().ptr());
                if (cur && PyFloat_CheckExact(cur)) {
                    if (std::fabs(PyFloat_AS_DOUBLE(cur) - PyFloat_AS_DOUBLE(previous)) > threshold) return 0;
                    continue;
                }
                if (PyErr_Occurred()) throw_pending();
            }
            nb::object r = nb::borrow(rec);
            if (exceeds(get_item(r, key_value()), p)) return 0;
        }
        return 1;
    }
    nb::object ks = keys_of(previous_outputs);
    Py_ssize_t n = PyList_GET_SIZE(ks.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle key = PyList_GET_ITEM(ks.ptr(), i);
        nb::object p = get_item(previous_outputs, key);
        nb::object rec = nb::steal(PyObject_CallMethodObjArgs(outputs.ptr(), keys().get.ptr(), key.ptr(), nullptr));
        if (!rec.is_valid()) throw_pending();
        if (exceeds(get_item(rec, key_value()), p)) return 0;
    }
    return 1;
}

std::string SimUnit::report() const {
    std::string out = "实例名称: " + to_text(name) + "\n";
    out += "模块名称: " + to_text(module_name) + "\n";
    out += "输入变量:\n";
    append_lines(out, inputs);
    out += "\n输出变量:\n";
    append_lines(out, outputs);
    out += "\n参数:\n";
    append_lines(out, params);
    return out;
}

int SimUnit::traverse(visitproc visit, void* arg) {
    for (nb::object* o : {&name, &module_name, &inputs, &outputs, &params, &in_file_params, &previous_outputs,
                          &previous_outputs_2})
        Py_VISIT(o->ptr());
    for (RecordCache& c : convergence_records)
        if (int rc = c.traverse(visit, arg)) return rc;
    return 0;
}

void SimUnit::clear() {
    for (nb::object* o : {&name, &module_name, &inputs, &outputs, &params, &in_file_params, &previous_outputs,
                          &previous_outputs_2})
        *o = nb::none();
    convergence_records.clear();
}

void bind_sim_unit(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.sim_unit");
    auto cls = nb::class_<SimUnit, UnitTrampoline<SimUnit>>(
        scope, "SimUnit", nb::type_slots(unit_type_slots()),
        "Base class of every simulation module: variable dictionaries built from the module information "
        "record, snapshots of the outputs and the convergence test.");
    cls.def("__init__", &construct_unit<SimUnit, UnitTrampoline<SimUnit>>, nb::arg("name").none(), kUnitInitDoc);
    cls.def("_get_module_info", [](SimUnit& u) { return info_result(u.SimUnit::_get_module_info()); },
            "Returns the module information record; every concrete module supplies it.");
    cls.def(
        "_setup_module",
        [](SimUnit& u, arg_as<"dict[str, typing.Any]"> info) {
            require_dict_or_none(info, "module_info");
            u.SimUnit::_setup_module(info);
        },
        nb::arg("module_info").none(), "Builds all variable dictionaries from a module information record.");
    cls.def(
        "_add_variable",
        [](SimUnit& u, nb::handle category, nb::handle name, nb::handle def, nb::handle flag) {
            require_str_or_none(category, "category");
            require_str_or_none(name, "name");
            u.SimUnit::_add_variable(category, name, def, static_cast<long>(as_int64(flag)));
        },
        nb::arg("category").none(), nb::arg("name").none(), nb::arg("default").none(), nb::arg("notInstantaneous").none(),
        nb::sig("def _add_variable(self, category: str | None, name: str | None, default: typing.Any, "
                "notInstantaneous: int) -> None"),
        "Adds one variable record to the dictionary of its category.");
    cls.def(
        "set_input_value",
        [](SimUnit& u, nb::handle n, nb::handle v) {
            require_str_or_none(n, "input_name");
            u.SimUnit::set_input_value(n, v);
        },
        nb::arg("input_name").none(), nb::arg("value").none(),
        nb::sig("def set_input_value(self, input_name: str | None, value: typing.Any) -> None"),
        "Sets the value of an existing input.");
    cls.def(
        "set_param_value",
        [](SimUnit& u, nb::handle n, nb::handle v) {
            require_str_or_none(n, "param_name");
            u.SimUnit::set_param_value(n, v);
        },
        nb::arg("param_name").none(), nb::arg("value").none(),
        nb::sig("def set_param_value(self, param_name: str | None, value: typing.Any) -> None"),
        "Sets the value of an existing parameter.");
    def_update<SimUnit>(cls, "One simulation step; every concrete module supplies it.");
    def_awake<SimUnit>(cls, "Start-up hook, called once before the first update.");
    cls.def(
        "after",
        [](SimUnit& u, clock_hint time) {
            clock_arg(time, "time");
            u.SimUnit::after(time);
        },
        nb::arg("time").none(), "Hook called after the updates of a step.");
    cls.def(
        "finish",
        [](SimUnit& u, clock_hint time) {
            clock_arg(time, "time");
            u.SimUnit::finish(time);
        },
        nb::arg("time").none(), "Hook called at the end of the run.");
    // Per-step operations as plain C methods (the host's cheapest call path).
    static PyMethodDef fast_methods[] = {
        {"update_previous_values",
         [](PyObject* self, PyObject*) -> PyObject* {
             return guarded<PyObject*>(nullptr, [&] {
                 ready_ptr<SimUnit>(self, "SimUnit")->SimUnit::update_previous_values();
                 Py_RETURN_NONE;
             });
         },
         METH_NOARGS,
         "update_previous_values($self, /)\n--\n\n"
         "Snapshots the instantaneous outputs into previous_outputs."},
        {"check_convergence", (PyCFunction)(void (*)(void))check_convergence_fast, METH_FASTCALL | METH_KEYWORDS,
         "check_convergence($self, threshold)\n--\n\n"
         "1 when no instantaneous output moved by more than threshold since the last snapshot, else 0."},
        {"update_previous_outputs_2",
         [](PyObject* self, PyObject*) -> PyObject* {
             return guarded<PyObject*>(nullptr, [&] {
                 ready_ptr<SimUnit>(self, "SimUnit")->SimUnit::update_previous_outputs_2();
                 Py_RETURN_NONE;
             });
         },
         METH_NOARGS,
         "update_previous_outputs_2($self, /)\n--\n\n"
         "Snapshots the not-instantaneous outputs into previous_outputs_2."},
        {"set_previous_outputs_2_to_current",
         [](PyObject* self, PyObject*) -> PyObject* {
             return guarded<PyObject*>(nullptr, [&] {
                 ready_ptr<SimUnit>(self, "SimUnit")->SimUnit::set_previous_outputs_2_to_current();
                 Py_RETURN_NONE;
             });
         },
         METH_NOARGS,
         "set_previous_outputs_2_to_current($self, /)\n--\n\n"
         "Restores the not-instantaneous outputs from previous_outputs_2."},
        {nullptr, nullptr, 0, nullptr}};
    for (PyMethodDef* def = fast_methods; def->ml_name; ++def) add_fast_method(cls, def);
    cls.def("__str__", [](SimUnit& u) { return u.report(); },
            "The unit's report: instance name, module name, then every input, output and parameter with its value.");

    constexpr const char* records = "dict[str, dict[str, typing.Any]] | None";
    constexpr const char* snapshot_type = "dict[str, typing.Any] | None";
    def_typed_object_attrs<SimUnit>(
        cls, {{"name", &SimUnit::name, PyUnicode_Check_fn, "str", "str | None", "The instance name."},
              {"module_name", &SimUnit::module_name, PyUnicode_Check_fn, "str", "str | None",
               "The module type's name from its module information record."},
              {"inputs", &SimUnit::inputs, PyDict_Check_fn, "dict", records,
               "The input variables: {name: {\"value\": value}}; links write into these records."},
              {"outputs", &SimUnit::outputs, PyDict_Check_fn, "dict", records,
               "The output variables: {name: {\"value\": value}}; links read from these records."},
              {"params", &SimUnit::params, PyDict_Check_fn, "dict", records,
               "The parameters: {name: {\"value\": value}}."},
              {"in_file_params", &SimUnit::in_file_params, PyList_Check_fn, "list", "list[typing.Any] | None",
               "The module's values from the project, in the order the module reads them at awake."},
              {"previous_outputs", &SimUnit::previous_outputs, PyDict_Check_fn, "dict", snapshot_type,
               "Snapshot of the instantaneous outputs {name: value} (update_previous_values)."},
              {"previous_outputs_2", &SimUnit::previous_outputs_2, PyDict_Check_fn, "dict", snapshot_type,
               "Snapshot of the not-instantaneous outputs {name: value} (update_previous_outputs_2)."}});
    def_int32_attr<SimUnit>(cls, "is_converged", &SimUnit::is_converged,
                            "1 when the unit's outputs converged in the current step, else 0.");
    g_unit_type = cls;
    m.attr("SimUnit") = cls;
}

}  // namespace qm::py
