// Dict and container access with the host's semantics and exceptions, and
// the record cache of the per-step paths.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "bindings/support/errors.hpp"

namespace qm::py {
namespace nb = nanobind;

// Equivalent of "obj[key]" with a fast path for exact dicts; throws the
// host's exception (KeyError, TypeError for None, ...).
nb::object get_item(nb::handle container, nb::handle key);
nb::object get_item(nb::handle container, const char* key);
void set_item(nb::handle container, nb::handle key, nb::handle value);
void set_item(nb::handle container, const char* key, nb::handle value);

// Interned key strings used on hot paths.
nb::handle key_value();  // "value"


// `a, b = value`: exactly two items, with the host's unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// "key in container" with the host's semantics (TypeError for None).
bool contains(nb::handle container, nb::handle key);

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
