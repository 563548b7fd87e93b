// Loading a Wavefront OBJ surface into an IbmMesh with one patch per
// combination of object and group.
#pragma once

#include <string>

#include "quorin/error.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace quorin::mesh {

// Reads the file at `path` once, as UTF-8 text, and parses it in line-aligned
// blocks on the worker pool; the surface and the messages are those of a
// reading line by line, for any number of threads.
//
// Model: every "o" statement starts an object (the lines before the first one
// form an unnamed object); each object owns the vertices listed in it. Vertex
// indices are 1-based and count across the whole file, and a corner may only
// name a vertex of its own object listed before it. An "f" or "l" statement
// with one corner is a point, with two a line, and with corners c1 ... cn,
// n >= 3, the fan (cn, c1, c2), (cn, c2, c3), ..., (cn, cn-2, cn-1) of n - 2
// triangles; "p" gives one point per corner. Only triangles become surface.
//
// Patches: each point, line or triangle takes the patch named by its object
// and its first group ("_default" without one): "{object}_{group}", or the
// group alone for an unnamed object. Ids are given in order of first
// appearance, points and lines included.
//
// Messages: "Failed to read OBJ file: {}" (the system's text, or "stream did
// not contain valid UTF-8"), "Failed to parse OBJ file: parse error (L{}): {}"
// with the line and the parser's text, e.g. "Expected index in the range
// [1, 4), but got 4.". A file without triangles stops with "Failed to build
// TriMesh: EmptyIndices".
Expected<IbmMesh> load_obj(const std::string& path);

}  // namespace quorin::mesh
