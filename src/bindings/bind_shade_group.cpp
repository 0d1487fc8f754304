// Bindings of this part are added by the work that builds it.
#include <nanobind/nanobind.h>

namespace qm::py {
void bind_shade_group(nanobind::module_&) {}
}  // namespace qm::py
