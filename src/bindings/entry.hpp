// The entry object QuillMere: holds one run manager and runs it.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/trampoline.h>

namespace qm::py {
namespace nb = nanobind;

// The entry object: one internal manager, one overridable operation.
class QuillMere {
public:
    virtual ~QuillMere() = default;
    nb::object manager = nb::none();
    virtual void run();

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(manager.ptr());
        return 0;
    }
    void clear() { manager = nb::none(); }
};

class PyQuillMere final : public QuillMere {
public:
    NB_TRAMPOLINE(QuillMere, 1);
    void run() override { NB_OVERRIDE(run); }
};

void bind_entry(nb::module_& m);

}  // namespace qm::py
