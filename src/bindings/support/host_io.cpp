#include "bindings/support/host_io.hpp"

#include <cstring>

#include "bindings/support/attributes.hpp"
#include "bindings/support/errors.hpp"
#include "kernels/io/atomic_write.hpp"

#include "bindings/support/errors.hpp"

namespace qm::py {

namespace {
MessageGate* g_gate = nullptr;
}  // namespace

void set_message_gate(MessageGate* gate) { g_gate = gate; }
MessageGate* message_gate() { return g_gate; }

namespace {
size_t g_lines_asked = 0;
}  // namespace

size_t native_lines_asked() { return g_lines_asked; }

void print_objects_array(const nb::object* objs, size_t n) {
    ++g_lines_asked;
    if (MessageGate* gate = g_gate) {
        std::string line;
        for (size_t i = 0; i < n; ++i) line += (i ? " " : "") + to_text(objs[i]);
        if (gate->quiet && line.rfind("错误", 0) != 0) return;
        auto [it, fresh] = gate->index.emplace(line, gate->lines.size());
        if (!fresh) {
            ++gate->lines[it->second].second;
            return;
        }
        gate->lines.emplace_back(line, 1);
    }
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

nb::object read_host_file(nb::handle path, const char* mode) {
    static PyObject* builtins = PyImport_ImportModule("builtins");  // lives as long as the host
    if (!builtins) throw_pending();
    nb::object f = check(PyObject_GetAttrString(builtins, "open"))(path, mode);
    nb::object data;
    try {
        data = f.attr("read")();
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return data;
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
    const char* step_text = std::strcmp(step, "not_regular") == 0 ? "已存在且不是普通文件（设备、管道或套接字），不会被替换"
                            : std::strcmp(step, "create") == 0   ? "不能在其文件夹中创建文件"
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
