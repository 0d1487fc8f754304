// Host functions of quillmere.shadow_calc.occlusion_scan, callable from other
// bindings with exactly the host-level behaviour (messages printed through
// the host's print, the host's exceptions).
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "kernels/geometry/model.hpp"

namespace qm::py {
namespace nb = nanobind;

// Per analysed surface, the area-weighted mean of the per-triangle sun
// cosine factors (0 where a triangle faces away or is shadowed), and the flat
// list of those factors. Returns (solid_results dict, all_surface_cos_values list).
// The parsed model and its tree are reused while the file is unchanged.
// calculate_shadow with facets whose normal in the file is (0, 0, 0) given the
// normal of their vertex order (the shading module's normals = "from-vertices").
nb::object calculate_shadow_from_vertices(nb::handle stl_file_path, nb::handle surface_analyze, nb::handle sun_altitude,
                                          nb::handle sun_azimuth);
nb::object calculate_shadow(nb::handle stl_file_path, nb::handle surface_analyze, nb::handle sun_altitude,
                            nb::handle sun_azimuth);
// Either of the two, for a CityJSON model read at `lod` ("" the highest).
nb::object model_shadow(nb::handle path, nb::handle surfaces, nb::handle altitude, nb::handle azimuth,
                        bool from_vertices, const std::string& lod);

// Per solid name: {"area": total area, "normal": unit mean facet normal 3-tuple};
// `lod`: a CityJSON model's level of detail ("" the highest).
nb::object stl_statistics(nb::handle file_path, const std::string& lod);

// Per solid name: (face_vertices, face_normals) lists of float64 arrays.
nb::object read_stl_with_solids(nb::handle stl_file_path);

nb::object calculate_triangle_area(nb::handle vertices);

nb::object occlusion_scan(nb::handle current_solid_vertices, nb::handle current_solid_normals,
                          nb::handle all_solid_vertices, nb::handle sun_direction);

// The parsed model of an STL file with its tree, from the cache while the
// file is unchanged (as calculate_shadow uses it). Reader failures print and
// raise as in calculate_shadow.
// `lod`: a CityJSON model's level of detail ("" the highest; a LoD the model
// lacks, or a LoD of another format, raises ValueError).
std::shared_ptr<const geom::Model> cached_model(nb::handle stl_file_path, const std::string& lod = {});

// "" when every facet of the model (read and cached as cached_model does)
// lies within ±geom::kMaxTracedCoordinate; else one line naming the file, each
// solid beyond and its count (cached_model raises it as ValueError).
std::string model_extent_problem(nb::handle model_path, const std::string& lod = {});

// Drops every cached model (tests; memory).
void clear_model_cache();

void bind_geometry(nb::module_& m);

}  // namespace qm::py
