#include "bindings/support/host_io.hpp"

#include "bindings/support/errors.hpp"

namespace qm::py {

namespace {
MessageGate* g_gate = nullptr;
}  // namespace

void set_message_gate(MessageGate* gate) { g_gate = gate; }
MessageGate* message_gate() { return g_gate; }

void print_objects_array(const nb::object* objs, size_t n) {
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

}  // namespace qm::py
