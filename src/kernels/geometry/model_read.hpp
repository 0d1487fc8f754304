// A building model file of any format other than ASCII STL, read into the
// STL reader's model structure (the STL path keeps its own readers, with the
// host's text rules). The format is chosen by the file's extension
// (mesh_read.hpp: format_of_path).
#pragma once
#include <string>
#include <vector>

#include "kernels/geometry/mesh_read.hpp"
#include "kernels/io/file_read.hpp"

namespace qm::geom {

// True for the extensions read here (.obj, .gltf, .glb, .json, .jsonl).
bool is_mesh_file(const std::string& path) noexcept;

// Reads `path` (the external buffers of a .gltf relative to its folder);
// `lod`: a CityJSON model's level of detail ("" the highest of each object;
// other formats ignore it: the caller refuses a LoD for them).
// Returns io::ReadStatus::ok and fills `out` or `err` (err.failed() when the
// contents are malformed); any other status: the file itself could not be
// read (`error` holds errno where there is one).
io::ReadStatus read_mesh_file(const std::string& path, MeshModel& out, ReadProblem& err, io::FileStamp& stamp,
                              int& error, uint64_t* content_hash = nullptr, const std::string& lod = {});

// Per surface, in dictionary order: total facet area and the normalised mean
// of the facet normals, as the STL statistics reader gives them
// (has_triangles false for a surface without facets).
std::vector<stl::SolidStats> surface_statistics(const stl::Solids& solids);

}  // namespace qm::geom
