// Axis-projected immersed-boundary data of one internal face: the distances
// from the two cell centres to the posed surface along the face axis, the
// triangles and patches hit, and a near-boundary flag per side.
#pragma once

#include <cstdint>
#include <optional>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/surface/axis_rays.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

// The answer for one face whose segment between the two centres the surface
// crosses. Fields in the order of the per-immersed-face arrays of the
// axis-projected face payload.
struct ImmersedFace {
    double dist_owner_to_bnd;      // owner centre to the hit along +axis, in [0, |d|]
    double dist_neighbour_to_bnd;  // neighbour centre to the hit along -axis, in [0, |d|]
    bool owner_near_boundary;
    bool neighbour_near_boundary;
    std::uint64_t owner_bnd_anchor_id;      // triangle hit by the owner-side ray
    std::uint64_t owner_bnd_patch_id;       // its patch id
    std::uint64_t neighbour_bnd_anchor_id;  // triangle hit by the neighbour-side ray
    std::uint64_t neighbour_bnd_patch_id;   // its patch id

    friend bool operator==(const ImmersedFace&, const ImmersedFace&) = default;
};

namespace apibm {

// Relative back-off of each ray origin behind its cell centre: 2^-46.
inline constexpr double APIBM_EPS_FACTOR = 1.4210854715202004e-14;

// The face between `owner` and `neighbour`, the neighbour lying on the
// owner's positive side along `axis` (0, 1, 2). One ray is cast from each
// centre towards the other against the surface placed at `pose`; absent when
// either ray misses, so the face carries no immersed boundary. Adjacency and
// cell statuses are not checked. Pure and thread-safe; allocates nothing.
//
// Internal errors: a cell index at or above the number of leaves, an axis
// above 2, a hit triangle without a patch id (index out of bounds), and a
// centre distance that is NaN (non-finite cell centres), which stops with
// "min > max, or either was NaN. min = ..., max = ...".
std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, std::uint64_t owner,
                                          std::uint64_t neighbour, std::uint8_t axis,
                                          const RigidPose& pose);

// The same with the rays cast through `rays`, a caster built for this mesh
// and pose (reach face_ray_reach(domain, pose) serves every face's rays from
// its grids); the answer is the same.
std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, const AxisRayCaster& rays,
                                          std::uint64_t owner, std::uint64_t neighbour,
                                          std::uint8_t axis);

// The same for an owner whose geometry the caller holds: `owner_geometry`
// must be domain.cell_geometry(forest.leaves[owner].decode()).
std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, const AxisRayCaster& rays,
                                          std::uint64_t owner, const CellGeometry& owner_geometry,
                                          std::uint64_t neighbour, std::uint8_t axis);

// The geometry of leaf `neighbour`, a leaf across the positive face along
// `axis` of the leaf whose decoded key and geometry (cell_geometry of that
// key) are `owner_key` and `owner_geometry`: domain.cell_geometry of the
// neighbour's decoded key, bit for bit. A neighbour of the owner's level is
// the cell one width on, whose geometry follows from the owner's without
// decoding its key. A neighbour index at or above the number of leaves is an
// internal error (index out of bounds).
CellGeometry across_geometry(const Forest& forest, const Domain& domain, const DecodedKey& owner_key,
                             const CellGeometry& owner_geometry, std::uint64_t neighbour, std::uint8_t axis);

// immersed_face (with a caster) for a face that a cell of the forest lists (cell_faces): the
// neighbour a leaf across the owner's positive face along `axis`, the
// owner's decoded key and geometry given; the neighbour's geometry is
// across_geometry's. The answer is that of immersed_face.
std::optional<ImmersedFace> immersed_listed_face(const Forest& forest, const Domain& domain,
                                                 const IbmMesh& mesh, const AxisRayCaster& rays,
                                                 std::uint64_t owner, const DecodedKey& owner_key,
                                                 const CellGeometry& owner_geometry, std::uint64_t neighbour,
                                                 std::uint8_t axis);

// A bound on the surface-frame origin and the length of every face ray of
// `domain` under `pose`, for AxisRayCaster.
double face_ray_reach(const Domain& domain, const RigidPose& pose);

}  // namespace apibm
}  // namespace quorin
