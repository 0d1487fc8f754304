// Building models in OBJ, glTF/GLB and CityJSON (kernels/geometry/model_read):
// the binding side of reading them where a project or a geometry function
// names a model, with the users' wording of reader errors. STL files keep
// their own path in occlusion_scan.cpp.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "kernels/geometry/mesh_read.hpp"
#include "kernels/geometry/model.hpp"

namespace qm::py {
namespace nb = nanobind;

// True when `path` (str or os.PathLike) names a model read by extension
// (.obj, .gltf, .glb, .json, .jsonl); `fs` is then its file-system form.
bool mesh_file_arg(nb::handle path, std::string& fs);

// "模型文件 <path> 无法读取：<what>（<where>，第 N 行，第 B 字节）：<detail>"
std::string model_problem_text(const std::string& path, const geom::ReadProblem& e);

// Reads a model for the geometry functions. A missing or unreadable file
// prints the STL readers' lines ("错误：未找到文件 <path>", or `prefix` and
// the host's OSError text) and returns false; malformed contents raise
// ValueError with model_problem_text.
// `lod`: a CityJSON model's level of detail ("" the highest); a LoD the model
// lacks, or one asked of another format, raises ValueError with lod_problem.
bool read_mesh_solids(nb::handle path, const std::string& fs, const char* prefix, stl::Solids& out,
                      const std::string& lod = {});

// The model of a mesh file for casting, from `cache` while the file is
// unchanged (.gltf files are not cached: their external buffers are not in
// the cache key). Reading failures as read_mesh_solids (an empty model after
// a printed line).
std::shared_ptr<const geom::Model> load_mesh_model(nb::handle path, const std::string& fs, geom::ModelCache& cache,
                                                   const std::string& lod = {});

// "" when `lod` ("" the highest) can be read from the model at `fs`, whose
// levels of detail are `lods` (MeshModel::lods); else one line naming the
// model, the LoD and the levels it has (or that only CityJSON has levels).
std::string lod_problem(const std::string& path_text, const std::string& fs, const std::string& lod,
                        const std::vector<std::string>& lods);

// The statistics reader's result as the host sees it: {name: {"area": float,
// "normal": (x, y, z)}}, integer zeros where a surface has no facet or its
// mean normal has length 0.
nb::object statistics_dict(const std::vector<stl::SolidStats>& records);

}  // namespace qm::py
