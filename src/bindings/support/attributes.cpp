#include "bindings/support/attributes.hpp"

namespace qm::py {

double as_double(nb::handle o) {
    if (PyFloat_CheckExact(o.ptr())) return PyFloat_AS_DOUBLE(o.ptr());
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw_pending();
    return v;
}

int64_t as_int64(nb::handle o) {
    nb::object index = check(PyNumber_Index(o.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow) raise(PyExc_OverflowError, "value too large to convert to int");
    if (v == -1 && PyErr_Occurred()) throw_pending();
    return static_cast<int64_t>(v);
}

int32_t as_int32(nb::handle o) {
    nb::object index = check(PyNumber_Index(o.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_pending();
    if (overflow || v < INT32_MIN || v > INT32_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int32_t>(v);
}

nb::module_ named_scope(const char* module_path) {
    return nb::steal<nb::module_>(check(PyModule_New(module_path)).release());
}

void add_fast_method(nb::handle cls, PyMethodDef* def) {
    nb::object descr = check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) < 0) throw_pending();
}

namespace {
// m_self of the forwarding C function is the nanobind method it stands for.
PyObject* forward_call(PyObject* target, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(target, args, nargsf, kwnames);
}
}  // namespace

void set_exact_doc(nb::handle cls, PyMethodDef* def) {
    nb::object target = check(PyObject_GetAttrString(cls.ptr(), def->ml_name));
    def->ml_meth = (PyCFunction)(void (*)(void))forward_call;
    def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    nb::object function = check(PyCFunction_NewEx(def, target.ptr(), nullptr));
    // An instance method binds the instance as the first argument, as a
    // function defined in a class does.
    nb::object method = check(PyInstanceMethod_New(function.ptr()));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, method.ptr()) < 0) throw_pending();
}
}  // namespace qm::py
