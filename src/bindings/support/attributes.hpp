// Typed attributes and arguments with the host's messages and deletion
// rules, number conversions, documented module scopes and plain C methods.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>

#include "bindings/support/errors.hpp"

namespace qm::py {
namespace nb = nanobind;

// Argument checks with the argument-type TypeError.
inline void require_str_or_none(nb::handle v, const char* arg) {
    if (!v.is_none() && !PyUnicode_Check(v.ptr())) raise_arg_type(arg, "str", v);
}
inline void require_dict_or_none(nb::handle v, const char* arg) {
    if (!v.is_none() && !PyDict_Check(v.ptr())) raise_arg_type(arg, "dict", v);
}

// An instance of the bound type `type` (T's class) or None (nullptr);
// anything else raises the argument-type TypeError naming `arg`.
template <typename T>
T* typed_arg(nb::handle v, nb::handle type, const char* arg) {
    if (v.is_none()) return nullptr;
    if (!PyObject_TypeCheck(v.ptr(), (PyTypeObject*)type.ptr()))
        raise_arg_type(arg, ((PyTypeObject*)type.ptr())->tp_name, v);
    return nb::inst_ptr<T>(v);
}

// Conversions with the host's rules and exceptions.
double as_double(nb::handle o);   // float(): real numbers and __float__/__index__
int32_t as_int32(nb::handle o);   // integers (__index__), OverflowError outside 32 bits
int64_t as_int64(nb::handle o);

// Defines a read/write attribute with a deleter. Getter: (T&) -> object,
// setter: (T&, handle), deleter: (T&).
template <typename T, typename Get, typename Set, typename Del>
void def_attr(nb::handle cls, const char* name, Get&& get, Set&& set, Del&& del, const char* doc = nullptr) {
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object fget = nb::cpp_function([get](T& self) -> nb::object { return get(self); });
    nb::object fset = nb::cpp_function([set](T& self, nb::handle v) { set(self, v); }, nb::arg("self"),
                                       nb::arg("value").none());
    nb::object fdel = nb::cpp_function([del](T& self) { del(self); });
    nb::object prop = doc ? property(fget, fset, fdel, doc) : property(fget, fset, fdel);
    nb::setattr(cls, name, prop);
}

// Object attribute restricted to one host type (or None); deletion sets None.
// `check` is PyUnicode_Check, PyDict_Check, ... and `expected` its type name.
template <typename T>
void def_typed_object_attr(nb::handle cls, const char* name, nb::object T::*member,
                           int (*check)(PyObject*), const char* expected) {
    def_attr<T>(
        cls, name, [member](T& self) -> nb::object { return self.*member; },
        [member, check, expected](T& self, nb::handle v) {
            if (!v.is_none() && !check(v.ptr())) raise_expected(expected, v);
            self.*member = nb::borrow(v);
        },
        [member](T& self) { self.*member = nb::none(); });
}

// Several typed object attributes at once: {name, member, check, expected}.
template <typename T>
struct TypedObjectAttr {
    const char* name;
    nb::object T::*member;
    int (*check)(PyObject*);
    const char* expected;
};
template <typename T>
void def_typed_object_attrs(nb::handle cls, std::initializer_list<TypedObjectAttr<T>> attrs) {
    for (const TypedObjectAttr<T>& a : attrs) def_typed_object_attr<T>(cls, a.name, a.member, a.check, a.expected);
}

// Number attributes: any convertible value; deletion raises NotImplementedError("__del__").

template <typename T>
void def_int32_attr(nb::handle cls, const char* name, int32_t T::*member) {
    def_attr<T>(
        cls, name, [member](T& self) -> nb::object { return nb::int_(self.*member); },
        [member](T& self, nb::handle v) { self.*member = as_int32(v); },
        [](T&) { raise_del(); });
}

template <typename T>
void def_double_attr(nb::handle cls, const char* name, double T::*member) {
    def_attr<T>(
        cls, name, [member](T& self) -> nb::object { return nb::float_(self.*member); },
        [member](T& self, nb::handle v) { self.*member = as_double(v); },
        [](T&) { raise_del(); });
}

// A scope whose __name__ is the documented module path, so that a class bound
// into it reports that path as its __module__ (and in its type name).
nb::module_ named_scope(const char* module_path);

// Type checks as plain functions (the C API ones are macros).
inline int PyUnicode_Check_fn(PyObject* o) { return PyUnicode_Check(o); }
inline int PyDict_Check_fn(PyObject* o) { return PyDict_Check(o); }
inline int PyList_Check_fn(PyObject* o) { return PyList_Check(o); }
inline int PyTuple_Check_fn(PyObject* o) { return PyTuple_Check(o); }
// Adds a plain C method descriptor to a bound class: the host's fastest call
// path, used for the per-step operations. `def` must have static lifetime.
void add_fast_method(nb::handle cls, PyMethodDef* def);

// The C++ object of a bound instance, or a TypeError when the instance was
// never initialised (e.g. made with __new__ alone).
template <typename T>
T* ready_ptr(PyObject* self) {
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "the object was not initialised (its __init__ never ran)");
    return nb::inst_ptr<T>(self);
}

// Gives a bound method a documentation string that is exactly `doc`
// (nanobind always puts the signature first). The method stays the same
// callable: a thin C function forwards every call to it. `def` must have
// static lifetime; set its ml_name to the method's name and ml_doc to the text.
void set_exact_doc(nb::handle cls, PyMethodDef* def);
}  // namespace qm::py
