// libFuzzer target: the OBJ reader on arbitrary bytes; every facet it yields
// has a normal and three vertices of three numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kernels/geometry/obj_read.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::geom::MeshModel m;
    qm::geom::ReadProblem err;
    const bool ok = qm::geom::read_obj(std::string_view(reinterpret_cast<const char*>(data), size), m, err);
    if (ok == err.failed()) std::abort();
    for (const auto& s : m.solids.solids)
        if (s.values.size() != 12 * s.shapes.size() || !s.regular) std::abort();
    return 0;
}
