// Host exceptions with the host's exact texts, and the one wrapper that turns
// C++ exceptions into a set host exception at plain C entry points.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <new>
#include <stdexcept>
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

// NotImplementedError("__del__"): deleting a number attribute.
[[noreturn]] void raise_del();

// Throws the pending host exception (after a failed C API call).
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

// Steals a new reference from a C API call, throwing when it failed.
inline nb::object check(PyObject* o) {
    if (!o) throw_pending();
    return nb::steal(o);
}

// Host-exception test helpers.
inline bool pending_is(PyObject* exc_type) { return PyErr_ExceptionMatches(exc_type) != 0; }

// Text of an exception as str(exc) gives it.
std::string exception_text(const nb::python_error& e);

// Runs `body` at a plain C entry point and turns any exception into a set
// host exception: host errors as they are, MemoryError for bad_alloc,
// RuntimeError for other C++ exceptions. Returns `fail` in those cases.
template <typename R, typename F>
R guarded(R fail, F&& body) {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return fail;
}

}  // namespace qm::py
