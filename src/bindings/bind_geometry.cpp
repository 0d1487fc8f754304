// Bindings of this part are added by the work that builds it.
#include <nanobind/nanobind.h>

namespace qm::py {
void bind_geometry(nanobind::module_&) {}
}  // namespace qm::py
