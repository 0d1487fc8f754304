#include "bindings/support/dicts.hpp"

namespace qm::py {

namespace {
[[noreturn]] void raise_key_error(nb::handle key) {
    nb::object exc = check(PyObject_CallOneArg(PyExc_KeyError, key.ptr()));
    PyErr_SetObject(PyExc_KeyError, exc.ptr());
    throw nb::python_error();
}
}  // namespace

nb::object get_item(nb::handle container, nb::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject* v = PyDict_GetItemWithError(container.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw_pending();
        raise_key_error(key);
    }
    return check(PyObject_GetItem(container.ptr(), key.ptr()));
}

nb::object get_item(nb::handle container, const char* key) {
    nb::object k = check(PyUnicode_InternFromString(key));
    return get_item(container, k);
}

void set_item(nb::handle container, nb::handle key, nb::handle value) {
    int rc = PyDict_CheckExact(container.ptr()) ? PyDict_SetItem(container.ptr(), key.ptr(), value.ptr())
                                                : PyObject_SetItem(container.ptr(), key.ptr(), value.ptr());
    if (rc < 0) throw_pending();
}

void set_item(nb::handle container, const char* key, nb::handle value) {
    nb::object k = check(PyUnicode_InternFromString(key));
    set_item(container, k, value);
}

nb::handle key_value() {
    static PyObject* k = PyUnicode_InternFromString("value");
    return k;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object it = check(PyObject_GetIter(value.ptr()));
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* x = PyIter_Next(it.ptr());
        if (!x) {
            if (PyErr_Occurred()) throw_pending();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_pending();
        }
        items[i] = nb::steal(x);
    }
    if (PyObject* extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw_pending();
    return {items[0], items[1]};
}

bool contains(nb::handle container, nb::handle key) {
    int rc = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                                : PySequence_Contains(container.ptr(), key.ptr());
    if (rc < 0) throw_pending();
    return rc == 1;
}

namespace {
#if PY_VERSION_HEX < 0x030E0000
#define QM_HAVE_DICT_VERSION 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline uint64_t dict_version(PyObject* d) { return ((PyDictObject*)d)->ma_version_tag; }
#pragma GCC diagnostic pop
#endif
}  // namespace

PyObject* RecordCache::peek(PyObject* dict, PyObject* key) const noexcept {
#ifdef QM_HAVE_DICT_VERSION
    if (dict == dict_.ptr() && key == key_.ptr() && dict_version(dict) == version_) return record_.ptr();
#else
    (void)dict;
    (void)key;
#endif
    return nullptr;
}

PyObject* RecordCache::lookup(PyObject* dict, PyObject* key) {
#ifdef QM_HAVE_DICT_VERSION
    if (dict == dict_.ptr() && key == key_.ptr() && dict_version(dict) == version_) return record_.ptr();
#endif
    nb::object record = get_item(dict, key);
#ifdef QM_HAVE_DICT_VERSION
    if (PyDict_CheckExact(dict)) {
        dict_ = nb::borrow(dict);
        key_ = nb::borrow(key);
        record_ = record;
        version_ = dict_version(dict);
        return record_.ptr();
    }
#endif
    record_ = record;  // keeps the record alive for the caller
    dict_ = key_ = nb::object();
    return record_.ptr();
}
}  // namespace qm::py
