// Helpers shared by every binding: exact host error texts, printing through
// the host's print, typed attributes with the host's deletion rules.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>

namespace qm::py {
namespace nb = nanobind;

// The host's own name of an object's type ("int", "NoneType", ...).
inline const char* host_type_name(nb::handle o) { return Py_TYPE(o.ptr())->tp_name; }

// TypeError "Expected <expected>, got <type of got>" (attribute typing).
[[noreturn]] void raise_expected(const char* expected, nb::handle got);

// TypeError "Argument '<arg>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, nb::handle got);

// Raises the given host exception type with a message and throws.
[[noreturn]] void raise(PyObject* exc_type, const std::string& message);

// Throws the pending host exception (after a failed C API call).
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

// Steals a new reference from a C API call, throwing when it failed.
inline nb::object check(PyObject* o) {
    if (!o) throw_pending();
    return nb::steal(o);
}

// Argument checks with the argument-type TypeError.
inline void require_str_or_none(nb::handle v, const char* arg) {
    if (!v.is_none() && !PyUnicode_Check(v.ptr())) raise_arg_type(arg, "str", v);
}
inline void require_dict_or_none(nb::handle v, const char* arg) {
    if (!v.is_none() && !PyDict_Check(v.ptr())) raise_arg_type(arg, "dict", v);
}

// Calls the host's builtins.print with the given objects (looked up at every
// call, so redirected standard output and patched print both see the line).
void print_objects_array(const nb::object* objs, size_t n);
template <typename... Args>
void print(Args&&... args) {
    nb::object objs[] = {nb::cast(std::forward<Args>(args))...};
    print_objects_array(objs, sizeof...(Args));
}

// The host's str() of an object, as UTF-8.
std::string to_text(nb::handle o);

// Calls sys.exit(code): raises SystemExit in the host and throws.
[[noreturn]] void host_exit(int code);

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

// Number attributes: any convertible value; deletion raises NotImplementedError("__del__").
[[noreturn]] void raise_del();

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

// Host-exception test helpers.
inline bool pending_is(PyObject* exc_type) { return PyErr_ExceptionMatches(exc_type) != 0; }

// Text of an exception as str(exc) gives it.
std::string exception_text(const nb::python_error& e);

// Equivalent of "obj[key]" with a fast path for exact dicts; throws the
// host's exception (KeyError, TypeError for None, ...).
nb::object get_item(nb::handle container, nb::handle key);
nb::object get_item(nb::handle container, const char* key);
void set_item(nb::handle container, nb::handle key, nb::handle value);
void set_item(nb::handle container, const char* key, nb::handle value);

// Interned key strings used on hot paths.
nb::handle key_value();  // "value"

}  // namespace qm::py

namespace qm::py {
// Type checks as plain functions (the C API ones are macros).
inline int PyUnicode_Check_fn(PyObject* o) { return PyUnicode_Check(o); }
inline int PyDict_Check_fn(PyObject* o) { return PyDict_Check(o); }
inline int PyList_Check_fn(PyObject* o) { return PyList_Check(o); }
inline int PyTuple_Check_fn(PyObject* o) { return PyTuple_Check(o); }
}  // namespace qm::py

namespace qm::py {
// Adds a plain C method descriptor to a bound class: the host's fastest call
// path, used for the per-step operations. `def` must have static lifetime.
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

// Runs `body` and turns any C++/nanobind exception into a set host
// exception, for plain C entry points. Returns `fail` in that case.
template <typename R, typename F>
R guarded(R fail, F&& body) {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return fail;
}
}  // namespace qm::py

namespace qm::py {
// Remembers dict[key] for an exact dict while the dict is unchanged, using
// the dict's version tag (every mutation of a dict gives it a new, globally
// unique tag). Records are found once instead of once per step; a replaced
// record, a replaced dict or any other change is seen at the next call.
class RecordCache {
public:
    // Borrowed reference to dict[key] (host exception when absent, as a
    // subscription would raise). Valid while the cache holds it.
    PyObject* lookup(PyObject* dict, PyObject* key);
    // The remembered record when dict and key are those of the last lookup
    // and the dict is unchanged since; nullptr otherwise. Runs no host code.
    PyObject* peek(PyObject* dict, PyObject* key) const noexcept;
    void clear() { dict_ = record_ = key_ = nb::object(); }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(dict_.ptr());
        Py_VISIT(key_.ptr());
        Py_VISIT(record_.ptr());
        return 0;
    }

private:
    nb::object dict_, key_, record_;
    uint64_t version_ = 0;
};
}  // namespace qm::py

namespace qm::py {
// Gives a bound method a documentation string that is exactly `doc`
// (nanobind always puts the signature first). The method stays the same
// callable: a thin C function forwards every call to it. `def` must have
// static lifetime; set its ml_name to the method's name and ml_doc to the text.
void set_exact_doc(nb::handle cls, PyMethodDef* def);
}  // namespace qm::py

#include <memory>
#include <string_view>

namespace qm::io {
class AtomicFile;
}

namespace qm::py {
// A host path (str, bytes or os.PathLike) in its file-system form; TypeError
// for anything else (an int would be taken as a descriptor by open()).
std::string fs_path(nb::handle path, const char* arg);

// Writing a user's file so that it is never lost or half written: the new
// contents go to a temporary file in the same folder, renamed over the
// target when complete (kernels/io/atomic_write). Failures raise OSError
// with the path and the cause; `what` names the file in the message.
void write_file_atomic(nb::handle path, std::string_view data, const char* what);

// The same for a writer that wants a path (a host library writing the file
// itself): write to temp_path(), then commit(); a target that is destroyed
// without commit() removes the temporary and leaves the old file.
class AtomicTarget {
public:
    AtomicTarget(nb::handle path, const char* what);
    ~AtomicTarget();
    AtomicTarget(const AtomicTarget&) = delete;
    AtomicTarget& operator=(const AtomicTarget&) = delete;
    nb::object temp_path() const;  // str
    void commit();

private:
    std::unique_ptr<io::AtomicFile> file_;
    nb::object path_;
    std::string what_;
};
}  // namespace qm::py
