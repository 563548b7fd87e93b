// Placeholder until the hierarchy lands: construction only.
#include "quorin/surface/bvh.hpp"

namespace quorin {

TriMesh::TriMesh(std::vector<Vec3> vertices, std::vector<Triangle> triangles)
    : vertices_(std::move(vertices)), triangles_(std::move(triangles)) {}

}  // namespace quorin
