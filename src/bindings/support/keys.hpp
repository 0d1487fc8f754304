// Interned key strings of the per-step paths, made once for the life of the
// host: a module keeps its keys as members of one struct of Key, e.g.
//   struct Keys { Key power{"power"}, energy{"energy"}; };
//   const Keys& keys() { static Keys* k = new Keys(); return *k; }  // never freed: lives with the host
#pragma once
#include <nanobind/nanobind.h>

#include "bindings/support/errors.hpp"

namespace qm::py {
namespace nb = nanobind;

class Key {
public:
    explicit Key(const char* text) : object_(check(PyUnicode_InternFromString(text))) {}
    operator nb::handle() const { return object_; }
    PyObject* ptr() const { return object_.ptr(); }
    const nb::object& object() const { return object_; }

private:
    nb::object object_;
};

}  // namespace qm::py
