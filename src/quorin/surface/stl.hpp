// Loading an STL surface file, ASCII or binary, into an IbmMesh with the
// single patch "_default".
#pragma once

#include <string>

#include "quorin/error.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace quorin::mesh {

// Reads the file at `path` once. The encoding is decided by the first line
// (up to the first line feed): valid UTF-8 text that begins with "solid "
// (the word and a blank) is ASCII STL; every other file is binary STL (an
// 80-byte header, a little-endian 32-bit triangle count, 50 bytes per
// triangle). Triangles keep the file's order and corner order; coordinates
// are the file's 32-bit floats widened exactly; normals are not read.
// Messages: "Failed to open STL file: {}" with the system's text, "Failed to
// read STL file: {}" with the reader's text ("failed to fill whole buffer"
// when a binary file is shorter than its header or its count says). A file
// without triangles stops with "Failed to build TriMesh: EmptyIndices".
Expected<IbmMesh> load_stl(const std::string& path);

}  // namespace quorin::mesh
