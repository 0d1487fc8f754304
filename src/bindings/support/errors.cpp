#include "bindings/support/errors.hpp"

#include "bindings/support/host_io.hpp"

namespace qm::py {

void raise_expected(const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, host_type_name(got));
    throw nb::python_error();
}

void raise_arg_type(const char* arg, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg, expected, host_type_name(got));
    throw nb::python_error();
}

void raise(PyObject* exc_type, const std::string& message) {
    PyErr_SetString(exc_type, message.c_str());
    throw nb::python_error();
}

void raise_del() { raise(PyExc_NotImplementedError, "__del__"); }

std::string exception_text(const nb::python_error& e) {
    return to_text(e.value());
}

}  // namespace qm::py
