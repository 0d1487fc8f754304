#include "bindings/core/link.hpp"

#include "bindings/support/common.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/support/gc_slots.hpp"

namespace qm::py {
namespace {

// Module attribute check: a SimUnit (or subclass instance) or None, and an
// initialised one.
void require_unit(nb::handle v, const char* attr) {
    if (v.is_none()) return;
    if (PyObject_TypeCheck(v.ptr(), (PyTypeObject*)sim_unit_type().ptr())) {
        require_ready(v, attr, "SimUnit");
        return;
    }
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", host_type_name(v),
                 ((PyTypeObject*)sim_unit_type().ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace

void Link::update_link() {
    if (source_module.is_none() || target_module.is_none())
        raise(PyExc_TypeError, source_module.is_none()
                                   ? "Link.update_link: the link has no source module (source_module is None)"
                                   : "Link.update_link: the link has no target module (target_module is None)");
    // Both ends were checked when they were set; a unit is never un-initialised later.
    SimUnit* src_unit = nb::inst_ptr<SimUnit>(source_module);
    SimUnit* dst_unit = nb::inst_ptr<SimUnit>(target_module);
    // Fast path: both records known and unchanged, plain dict records. No
    // host code runs before the final store, so borrowed references hold.
    PyObject* src_rec = source_record.peek(src_unit->outputs.ptr(), source_variable.ptr());
    PyObject* dst_rec = src_rec ? target_record.peek(dst_unit->inputs.ptr(), target_variable.ptr()) : nullptr;
    if (dst_rec && PyDict_CheckExact(src_rec) && PyDict_CheckExact(dst_rec)) {
        PyObject* value = PyDict_GetItemWithError(src_rec, key_value().ptr());
        if (value) {
            if (PyDict_SetItem(dst_rec, key_value().ptr(), value) < 0) throw_pending();
            return;
        }
        if (PyErr_Occurred()) throw_pending();
    }
    // The two units stay alive for the whole copy even if host code run by a
    // dict subclass replaces the link's attributes.
    nb::object src = source_module, dst = target_module;
    nb::object sv = source_variable, tv = target_variable;
    SimUnit* s = nb::inst_ptr<SimUnit>(src);
    SimUnit* t = nb::inst_ptr<SimUnit>(dst);
    try {
        nb::object outs = s->outputs, ins = t->inputs;
        PyObject* src_record = source_record.lookup(outs.ptr(), sv.ptr());
        nb::object value = get_item(src_record, key_value());
        set_item(target_record.lookup(ins.ptr(), tv.ptr()), key_value(), value);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_KeyError)) {
            print("错误：未找到对应的变量", sv, tv);
            return;
        }
        if (e.matches(PyExc_AttributeError)) {
            print("错误：模块没有对应的属性");
            return;
        }
        throw;
    }
}

void bind_link(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.link");
    auto cls = nb::class_<Link, PyLink>(scope, "Link", nb::type_slots(gc_slots<Link>()),
                                        "Connects one unit's output to another unit's input.");
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Link> v, unit_hint source_module, arg_as<"str"> source_variable,
           unit_hint target_module, arg_as<"str"> target_variable) {
            unit_arg(source_module, "source_module");
            require_str_or_none(source_variable, "source_variable");
            unit_arg(target_module, "target_module");
            require_str_or_none(target_variable, "target_variable");
            Link* l = nb::inst_python_derived(v.h) ? new ((void*)v.p) PyLink() : new (v.p) Link();
            l->source_module = nb::borrow(source_module);
            l->source_variable = nb::borrow(source_variable);
            l->target_module = nb::borrow(target_module);
            l->target_variable = nb::borrow(target_variable);
        },
        nb::arg("source_module").none(), nb::arg("source_variable").none(), nb::arg("target_module").none(),
        nb::arg("target_variable").none(),
        "Creates a link from source_module.outputs[source_variable] to target_module.inputs[target_variable] "
        "(units or None, names str or None).");
    static PyMethodDef update_link_def = {
        "update_link",
        [](PyObject* self, PyObject*) -> PyObject* {
            return guarded<PyObject*>(nullptr, [&] {
                ready_ptr<Link>(self, "Link")->Link::update_link();
                Py_RETURN_NONE;
            });
        },
        METH_NOARGS,
        "update_link($self, /)\n--\n\n"
        "Copies source_module.outputs[source_variable]['value'] into target_module.inputs[target_variable]['value'] "
        "(the same object)."};
    add_fast_method(cls, &update_link_def);
    auto unit_attr = [&](const char* name, nb::object Link::*member, const char* doc) {
        def_attr<Link>(
            cls, name, "quillmere.core.sim_unit.SimUnit | None", doc,
            [member](Link& l) -> nb::object { return l.*member; },
            [member, name](Link& l, nb::handle v) {
                require_unit(v, name);
                l.*member = nb::borrow(v);
            },
            [member](Link& l) { l.*member = nb::none(); });
    };
    unit_attr("source_module", &Link::source_module, "The unit whose output the link reads.");
    unit_attr("target_module", &Link::target_module, "The unit whose input the link writes.");
    def_typed_object_attrs<Link>(
        cls, {{"source_variable", &Link::source_variable, PyUnicode_Check_fn, "str", "str | None",
               "The name of the source unit's output."},
              {"target_variable", &Link::target_variable, PyUnicode_Check_fn, "str", "str | None",
               "The name of the target unit's input."}});
    m.attr("Link") = cls;
}

}  // namespace qm::py
