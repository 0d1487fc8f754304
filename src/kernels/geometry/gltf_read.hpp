// glTF 2.0 reader (JSON .gltf and binary .glb): the triangles of the default
// scene's nodes, placed by their node transforms, into named surfaces.
//
// Rules:
// * Scene: `scene`, else scene 0, else every node that is no node's child.
//   Node transforms: `matrix` (column-major) or translation * rotation
//   (unit quaternion x, y, z, w) * scale, composed from the root down. A
//   transform that mirrors (negative determinant) reverses each triangle's
//   vertex order, so facet normals keep pointing outwards.
// * Surface names: the node's `name`, else its mesh's `name`, else
//   "node<index>". Nodes of the same name are one surface.
// * Primitives: mode 4 (triangles, the default), 5 (strip) and 6 (fan);
//   points and lines (modes 0-3) are skipped. POSITION of type VEC3, of any
//   component type (float, or integers, normalised or not, as
//   KHR_mesh_quantization allows); indices of type SCALAR, unsigned byte,
//   short or int; without indices the vertices are taken in order.
// * Buffers: the GLB binary chunk (buffer 0 without `uri`), base64 `data:`
//   URIs, or files relative to `base_dir` (percent-escapes decoded); other URI
//   schemes are refused.
// * Not read: sparse accessors, mesh compression (KHR_draco_mesh_compression,
//   EXT_meshopt_compression), morph targets, skins; an unknown extension in
//   `extensionsRequired` other than KHR_mesh_quantization and the
//   material and texture ones is refused (unsupported).
// Errors: JSON syntax and GLB framing with the byte offset; everything else
// with the JSON path of the culprit (`meshes[0].primitives[1].indices`).
#pragma once
#include <string>
#include <string_view>

#include "kernels/geometry/mesh_read.hpp"

namespace qm::geom {

// `data`: the whole file; `base_dir`: the folder external buffers are
// relative to ("" refuses them).
bool read_gltf(std::string_view data, const std::string& base_dir, MeshModel& out, ReadProblem& err);

}  // namespace qm::geom
