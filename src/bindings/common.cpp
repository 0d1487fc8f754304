#include "bindings/common.hpp"

#include "kernels/io/atomic_write.hpp"

#include <cstring>

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

void print_objects_array(const nb::object* objs, size_t n) {
    static PyObject* builtins = PyImport_ImportModule("builtins");  // lives as long as the host
    if (!builtins) throw_pending();
    nb::object print_fn = check(PyObject_GetAttrString(builtins, "print"));
    nb::object args = check(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(args.ptr(), i, objs[i].inc_ref().ptr());
    check(PyObject_Call(print_fn.ptr(), args.ptr(), nullptr));
}

std::string to_text(nb::handle o) {
    nb::object s = check(PyObject_Str(o.ptr()));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw_pending();
    return std::string(data, static_cast<size_t>(size));
}

void host_exit(int code) {
    nb::module_::import_("sys").attr("exit")(code);
    // sys.exit always raises; reaching here means it was replaced by the host.
    raise(PyExc_SystemExit, std::to_string(code));
}

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

std::string exception_text(const nb::python_error& e) {
    return to_text(e.value());
}

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

}  // namespace qm::py

namespace qm::py {
void add_fast_method(nb::handle cls, PyMethodDef* def) {
    nb::object descr = check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) < 0) throw_pending();
}
}  // namespace qm::py

namespace qm::py {
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

namespace qm::py {
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
void raise_not_ready(const char* arg, nb::handle obj, const char* base) {
    // The native class the object derives from names the constructor when
    // the caller does not.
    // Native types carry their module path in their name ("quillmere.core.sim_unit.SimUnit"),
    // host subclasses only their own name.
    std::string base_name = base ? base : "";
    for (PyTypeObject* t = Py_TYPE(obj.ptr()); t && base_name.empty(); t = t->tp_base)
        if (std::strncmp(t->tp_name, "quillmere.", 10) == 0) base_name = t->tp_name;
    if (const size_t dot = base_name.rfind('.'); dot != std::string::npos) base_name = base_name.substr(dot + 1);
    const std::string type = Py_TYPE(obj.ptr())->tp_name;
    raise(PyExc_TypeError, std::string("Argument '") + arg + "': the " + type +
                               " object is not initialised: its base constructor " + base_name +
                               ".__init__ was not called (the object was made with __new__ alone, or a "
                               "subclass's __init__ does not call super().__init__(...))");
}

std::string fs_path(nb::handle path, const char* arg) {
    if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr()) && !PyObject_HasAttrString(path.ptr(), "__fspath__"))
        raise_arg_type(arg, "str", path);
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes)) throw_pending();
    nb::object owned = nb::steal(bytes);
    std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    if (out.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return out;
}

namespace {
// OSError "<what> <path> 无法写入（<step>）: <strerror>", errno kept in the
// message only: a folder that refuses files is not a missing file.
[[noreturn]] void raise_write_error(nb::handle path, const char* what, const io::AtomicFile& f) {
    const char* step = f.failed_step();
    const char* step_text = std::strcmp(step, "create") == 0   ? "不能在其文件夹中创建文件"
                            : std::strcmp(step, "write") == 0  ? "写入失败"
                            : std::strcmp(step, "flush") == 0  ? "写入磁盘失败"
                                                               : "不能替换原文件";
    raise(PyExc_OSError, std::string(what) + " " + to_text(path) + " 无法写入（" + step_text + "）: " +
                             std::strerror(f.error()));
}
}  // namespace

void write_file_atomic(nb::handle path, std::string_view data, const char* what) {
    const std::string p = fs_path(path, "path");
    io::AtomicFile f;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = f.create(p) && f.write(data) && f.commit();
    }
    if (!ok) raise_write_error(path, what, f);
}

AtomicTarget::AtomicTarget(nb::handle path, const char* what)
    : file_(std::make_unique<io::AtomicFile>()), path_(nb::borrow(path)), what_(what) {
    if (!file_->create(fs_path(path, "path"))) raise_write_error(path_, what_.c_str(), *file_);
}

AtomicTarget::~AtomicTarget() = default;

nb::object AtomicTarget::temp_path() const {
    const std::string& t = file_->temp_path();
    return check(PyUnicode_DecodeFSDefaultAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
}

void AtomicTarget::commit() {
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = file_->commit();
    }
    if (!ok) raise_write_error(path_, what_.c_str(), *file_);
}

}  // namespace qm::py
