// The cyclic garbage collector's two type slots for a bound class whose C++
// object T has `int traverse(visitproc, void*)` (visits every object it holds)
// and `void clear()` (drops them). Pass gc_slots<T>() to nb::type_slots.
#pragma once
#include <nanobind/nanobind.h>

namespace qm::py {
namespace nb = nanobind;

template <typename T>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;  // made with __new__ alone: holds nothing yet
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <typename T>
int gc_clear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    return 0;
}

template <typename T>
PyType_Slot* gc_slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, (void*)&gc_traverse<T>}, {Py_tp_clear, (void*)&gc_clear<T>}, {0, nullptr}};
    return slots;
}

}  // namespace qm::py
