// Typed attributes and arguments with the host's messages and deletion
// rules, number conversions, documented module scopes and plain C methods.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstddef>
#include <initializer_list>
#include <string>

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
[[noreturn]] void raise_not_ready(const char* arg, nb::handle obj, const char* base);
inline void require_ready(nb::handle obj, const char* arg, const char* base);

template <typename T>
T* typed_arg(nb::handle v, nb::handle type, const char* arg) {
    if (v.is_none()) return nullptr;
    if (!PyObject_TypeCheck(v.ptr(), (PyTypeObject*)type.ptr()))
        raise_arg_type(arg, ((PyTypeObject*)type.ptr())->tp_name, v);
    require_ready(v, arg, nullptr);
    return nb::inst_ptr<T>(v);
}

// Conversions with the host's rules and exceptions.
double as_double(nb::handle o);   // float(): real numbers and __float__/__index__
int32_t as_int32(nb::handle o);   // integers (__index__), OverflowError outside 32 bits
int64_t as_int64(nb::handle o);

// Signatures. Bindings convert their arguments themselves (with the host's
// messages and rules), so they take them as handles; these wrappers accept
// any object as a handle does but show the real type in signatures and in
// the stubs: `arg_as<"str">` with nb::arg(...).none() shows "str | None",
// `result_as<"pandas.DataFrame">` is a result shown as that type.
template <size_t N>
struct type_text {
    char chars[N]{};
    constexpr type_text(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
};
template <type_text Text>
struct shown_type {};
template <type_text Text>
using arg_as = nb::typed<nb::handle, shown_type<Text>>;
template <type_text Text>
using result_as = nb::typed<nb::object, shown_type<Text>>;

// The type of an attribute as signatures show it ("str | None", "float"):
// one for both directions, or what reading gives and what assigning takes.
struct AttrTypes {
    const char* get;
    const char* set;
    AttrTypes(const char* both) : get(both), set(both) {}
    AttrTypes(const char* read, const char* assign) : get(read), set(assign) {}
};

// Defines a read/write attribute with a deleter, of the given types; `doc`
// documents it. Getter: (T&) -> value, setter: (T&, handle) (any object
// reaches it, None included, so that it gives the host's message), deleter: (T&).
template <typename T, typename Get, typename Set, typename Del>
void def_attr(nb::handle cls, const char* name, AttrTypes type, const char* doc, Get&& get, Set&& set, Del&& del) {
    const std::string get_sig = std::string("def (self) -> ") + type.get;
    const std::string set_sig = std::string("def (self, value: ") + type.set + ", /) -> None";
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object fget = nb::cpp_function([get](T& self) { return get(self); }, nb::is_method(), nb::is_getter(),
                                       nb::sig(get_sig.c_str()), doc);
    nb::object fset = nb::cpp_function([set](T& self, nb::handle v) { set(self, v); }, nb::is_method(),
                                       nb::sig(set_sig.c_str()), nb::arg("value").none());
    nb::object fdel = nb::cpp_function([del](T& self) { del(self); }, nb::is_method());
    nb::setattr(cls, name, property(fget, fset, fdel, doc));
}

// A read-only attribute of the given type.
template <typename T, typename Get>
void def_readonly_attr(nb::handle cls, const char* name, const char* type, const char* doc, Get&& get) {
    const std::string get_sig = std::string("def (self) -> ") + type;
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object fget = nb::cpp_function([get](T& self) { return get(self); }, nb::is_method(), nb::is_getter(),
                                       nb::sig(get_sig.c_str()), doc);
    nb::setattr(cls, name, property(fget, nb::none(), nb::none(), doc));
}

// Object attribute restricted to one host type (or None); deletion sets None.
// `check` is PyUnicode_Check, PyDict_Check, ... and `expected` its type name;
// `type` is the attribute's type as signatures show it.
template <typename T>
struct TypedObjectAttr {
    const char* name;
    nb::object T::*member;
    int (*check)(PyObject*);
    const char* expected;
    const char* type;
    const char* doc;
};
template <typename T>
void def_typed_object_attr(nb::handle cls, const TypedObjectAttr<T>& a) {
    def_attr<T>(
        cls, a.name, a.type, a.doc, [member = a.member](T& self) -> nb::object { return self.*member; },
        [member = a.member, check = a.check, expected = a.expected](T& self, nb::handle v) {
            if (!v.is_none() && !check(v.ptr())) raise_expected(expected, v);
            self.*member = nb::borrow(v);
        },
        [member = a.member](T& self) { self.*member = nb::none(); });
}
template <typename T>
void def_typed_object_attrs(nb::handle cls, std::initializer_list<TypedObjectAttr<T>> attrs) {
    for (const TypedObjectAttr<T>& a : attrs) def_typed_object_attr<T>(cls, a);
}

// Number attributes: any convertible value; deletion raises NotImplementedError("__del__").

template <typename T>
void def_int32_attr(nb::handle cls, const char* name, int32_t T::*member, const char* doc) {
    def_attr<T>(
        cls, name, "int", doc, [member](T& self) { return self.*member; },
        [member](T& self, nb::handle v) { self.*member = as_int32(v); }, [](T&) { raise_del(); });
}

template <typename T>
void def_double_attr(nb::handle cls, const char* name, double T::*member, const char* doc) {
    def_attr<T>(
        cls, name, "float", doc, [member](T& self) { return self.*member; },
        [member](T& self, nb::handle v) { self.*member = as_double(v); }, [](T&) { raise_del(); });
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
// path, used for the per-step operations. `def` must have static lifetime; its
// ml_doc begins with the signature line ("name($self, arg)\n--\n\n") that
// inspect reads (stub_patterns.txt gives the stubs its types).
void add_fast_method(nb::handle cls, PyMethodDef* def);

// An instance whose C++ object was never made (created with __new__ alone,
// or a subclass whose __init__ does not call super().__init__) holds no
// object at all: every native entry that takes a unit, link or clock checks
// it first. TypeError naming the argument and the base constructor:
// "Argument 'time': the SimClock object is not initialised: its base
// constructor SimClock.__init__ was not called (...)".
[[noreturn]] void raise_not_ready(const char* arg, nb::handle obj, const char* base);
inline void require_ready(nb::handle obj, const char* arg, const char* base) {
    if (!nb::inst_ready(obj)) raise_not_ready(arg, obj, base);
}

// The C++ object of a bound instance (the `self` of a plain C method), or
// the TypeError above when it was never initialised.
template <typename T>
T* ready_ptr(PyObject* self, const char* base = nullptr) {
    if (!nb::inst_ready(self)) raise_not_ready("self", self, base);
    return nb::inst_ptr<T>(self);
}

// Gives a bound method a documentation string that is exactly `doc`
// (nanobind always puts the signature first). The method stays the same
// callable: a thin C function forwards every call to it. `def` must have
// static lifetime; set its ml_name to the method's name and ml_doc to the text,
// led by the method's signature line ("name(self, arg)\n--\n\n") for inspect.
void set_exact_doc(nb::handle cls, PyMethodDef* def);
}  // namespace qm::py

namespace nanobind::detail {
// A shown type has only a name: it appears in signatures, never converts.
template <qm::py::type_text Text>
struct type_caster<qm::py::shown_type<Text>> {
    static constexpr auto Name = const_name(Text.chars);
};
}  // namespace nanobind::detail
