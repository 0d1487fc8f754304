// Link: copies one unit's output value into another unit's input.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/trampoline.h>

#include "bindings/support/common.hpp"

namespace qm::py {
namespace nb = nanobind;

class Link {
public:
    virtual ~Link() = default;
    nb::object source_module = nb::none();  // SimUnit or None
    nb::object target_module = nb::none();  // SimUnit or None
    nb::object source_variable = nb::none();  // str or None
    nb::object target_variable = nb::none();  // str or None

    // source.outputs[sv]["value"] -> target.inputs[tv]["value"]; the value
    // object is shared, not copied. Missing names are reported, not raised.
    virtual void update_link();

    // Where the two records were last found (see RecordCache).
    RecordCache source_record, target_record;

    int traverse(visitproc visit, void* arg) {
        for (nb::object* o : {&source_module, &target_module, &source_variable, &target_variable}) Py_VISIT(o->ptr());
        if (int rc = source_record.traverse(visit, arg)) return rc;
        return target_record.traverse(visit, arg);
    }
    void clear() {
        source_module = target_module = source_variable = target_variable = nb::none();
        source_record.clear();
        target_record.clear();
    }
};

class PyLink final : public Link {
public:
    NB_TRAMPOLINE(Link);
    void update_link() override { NB_OVERRIDE(update_link); }
};

void bind_link(nb::module_& m);

}  // namespace qm::py
