#include "bindings/entry.hpp"

#include "bindings/manager/manager.hpp"
#include "bindings/support/common.hpp"
#include "bindings/support/gc_slots.hpp"

namespace qm::py {

void QuillMere::run() {
    if (!PyObject_TypeCheck(manager.ptr(), (PyTypeObject*)manager_type().ptr()))
        raise(PyExc_TypeError, std::string("QuillMere.manager 应为 Manager，实际为 ") + host_type_name(manager));
    nb::object keep = manager;
    nb::inst_ptr<Manager>(keep)->run_simulation();
}

void bind_entry(nb::module_& m) {
    nb::module_ top = named_scope("quillmere");
    auto entry = nb::class_<QuillMere, PyQuillMere>(
        top, "QuillMere", nb::type_slots(gc_slots<QuillMere>()),
        "Entry object: QuillMere(file_path).run() runs the project file through the run manager.");
    entry.def(
        "__init__",
        [](nb::pointer_and_handle<QuillMere> v, nb::handle file_path) {
            // The manager first: a failing Manager(...) leaves no half-made entry object.
            nb::object mgr = nb::borrow(manager_type())(file_path);
            QuillMere* q = nb::inst_python_derived(v.h) ? new ((void*)v.p) PyQuillMere() : new (v.p) QuillMere();
            q->manager = mgr;
        },
        nb::arg("file_path").none() = "",
        nb::sig("def __init__(self, file_path: str | os.PathLike[str] | dict[str, typing.Any] = '') -> None"),
        "Creates the run manager Manager(file_path) for the project at file_path (or a project dict).");
    entry.def("run", [](QuillMere& q) { q.QuillMere::run(); },
              "Runs the project through the manager's run_simulation; returns None.");
    m.attr("QuillMere") = entry;
}

}  // namespace qm::py
