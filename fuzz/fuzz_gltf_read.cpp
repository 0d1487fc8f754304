// libFuzzer target: the glTF reader (JSON and GLB) on arbitrary bytes,
// external buffers refused; every facet it yields has three vertices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kernels/geometry/gltf_read.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::geom::MeshModel m;
    qm::geom::ReadProblem err;
    const bool ok = qm::geom::read_gltf(std::string_view(reinterpret_cast<const char*>(data), size), "", m, err);
    if (ok == err.failed()) std::abort();
    for (const auto& s : m.solids.solids)
        if (s.values.size() != 12 * s.shapes.size()) std::abort();
    return 0;
}
