// The axis-projected CFD mesh: the cells and faces of the ghost-cell mesh
// (same order, same face enumeration) plus, for every internal face next to
// an intersected cell, the distances from both centres to the posed surface
// along the face axis, the near-boundary flags and the triangles and patches
// hit. Also the refresh of that payload after the surface has moved.
//
// Booleans are one byte each (0 or 1), never a packed bit vector, so that
// every vector can be handed on as a plain array buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/apibm.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

// The immersed-boundary face payload. is_immersed_face has one entry per
// internal face; entry k of the other eight vectors belongs to the k-th
// immersed face (the k-th 1 of is_immersed_face), so they are in face order.
struct ApIbmFaceData {
    Buffer<std::uint8_t> is_immersed_face;
    Buffer<double> dist_owner_to_bnd;
    Buffer<double> dist_neighbour_to_bnd;
    Buffer<std::uint8_t> owner_near_boundary;
    Buffer<std::uint8_t> neighbour_near_boundary;
    Buffer<std::uint64_t> owner_bnd_anchor_id;
    Buffer<std::uint64_t> owner_bnd_patch_id;
    Buffer<std::uint64_t> neighbour_bnd_anchor_id;
    Buffer<std::uint64_t> neighbour_bnd_patch_id;
};

// The axis-projected mesh, fields in the order the Python class presents them.
struct CfdAxisProjectedMesh {
    std::uint64_t n_cells = 0;
    std::uint8_t coordinate_type = 0;  // always 0
    std::vector<std::string> patch_names;  // position = patch id
    Buffer<Vec3> cell_centers;        // n_cells
    Buffer<Vec3> cell_sizes;          // n_cells
    Buffer<std::uint64_t> internal_faces_owner;      // low-side cell
    Buffer<std::uint64_t> internal_faces_neighbour;  // high-side cell
    Buffer<std::uint8_t> internal_faces_axis;        // 0, 1, 2
    Buffer<std::uint64_t> domain_bnd_faces_owner;
    Buffer<std::uint8_t> domain_bnd_faces_dir;  // outward FaceDir 0..5
    ApIbmFaceData ap;
};

// What one cell contributes: the faces it lists, the payload of its internal
// faces (is_immersed_face one entry per internal face, the other eight one
// entry per immersed face among them) and its geometry. No fluid flag.
struct AxisProjectedMeshCell {
    std::vector<std::uint64_t> internal_faces_owner;
    std::vector<std::uint64_t> internal_faces_neighbour;
    std::vector<std::uint8_t> internal_faces_axis;
    std::vector<std::uint64_t> domain_bnd_faces_owner;
    std::vector<std::uint8_t> domain_bnd_faces_dir;
    std::vector<std::uint8_t> is_immersed_face;
    std::vector<double> dist_owner_to_bnd;
    std::vector<double> dist_neighbour_to_bnd;
    std::vector<std::uint8_t> owner_near_boundary;
    std::vector<std::uint8_t> neighbour_near_boundary;
    std::vector<std::uint64_t> owner_bnd_anchor_id;
    std::vector<std::uint64_t> owner_bnd_patch_id;
    std::vector<std::uint64_t> neighbour_bnd_anchor_id;
    std::vector<std::uint64_t> neighbour_bnd_patch_id;
    Vec3 cell_center;
    Vec3 cell_size;
};

namespace axis_projected {

// The record of cell `cell`. A face is computed only when its owner, or else
// its neighbour, has STATUS_INTERSECTED; statuses 0 and 1 count alike. A
// cell id beyond the forest or a status vector without an entry for a cell
// read stops with an index-out-of-bounds internal error.
AxisProjectedMeshCell cell_record(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                  std::span<const CellStatus> status, const RigidPose& pose,
                                  std::uint64_t cell);

// Where each cell's internal faces lie in a record's face vectors: cell c
// lists count[c] faces one after another, and the cells of chunk k
// (export_chunks::GRAIN cells each) start at face offset[k]. With it the
// refresh walks the faces cell by cell and never reads the owners (a third
// of what it would read). Empty when not known.
struct FaceRuns {
    Buffer<std::uint8_t> count;
    std::vector<std::size_t> offset;
};

// The whole mesh for the surface at `pose`, built on the worker pool and
// laid out in cell order. `status` must be this forest's intersection
// statuses under this pose (flood::initial_cell_status); fewer entries than
// cells stop with an index-out-of-bounds internal error before anything is
// built. Identical for any thread count.
//
// `pages` says where the record's large arrays go: ordinary memory, or
// shared pages for a record that is kept and handed out as copies. With
// `runs`, where each cell's faces lie goes there too (left empty where a
// cell lists more faces than a count holds).
enum class RecordPages : std::uint8_t { Ordinary, Shared };

CfdAxisProjectedMesh build_axis_projected_mesh(const Forest& forest, const Domain& domain,
                                               const IbmMesh& mesh,
                                               std::span<const CellStatus> status,
                                               const RigidPose& pose,
                                               RecordPages pages = RecordPages::Ordinary,
                                               FaceRuns* runs = nullptr);

// The payload of internal face `face` of the three face vectors: the face
// computed when its owner, or else its neighbour, is intersected; none
// otherwise or when a ray misses. Indices beyond a vector stop with an
// index-out-of-bounds internal error.
std::optional<ImmersedFace> face_record(const Forest& forest, const Domain& domain,
                                        const IbmMesh& mesh, std::span<const CellStatus> status,
                                        std::span<const std::uint64_t> owner,
                                        std::span<const std::uint64_t> neighbour,
                                        std::span<const std::uint8_t> axis, const RigidPose& pose,
                                        std::uint64_t face);

// The payload of the given internal faces (owner, neighbour, axis of equal
// length), in face order, on the worker pool. Identical for any thread count.
ApIbmFaceData build_face_data(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                              std::span<const CellStatus> status,
                              std::span<const std::uint64_t> owner,
                              std::span<const std::uint64_t> neighbour,
                              std::span<const std::uint8_t> axis, const RigidPose& pose,
                              RecordPages pages = RecordPages::Ordinary);

// After a pose change: marks the cells that the surface at `pose` intersects
// (a fresh vector of 1s, intersected cells 2), recomputes `record.ap` for the
// stored internal faces and copies the patch names again; cells and faces
// are left as they are. `record` must have been built for this forest and
// surface. Returns the new statuses, one per cell. A face that names a cell
// beyond the forest stops with an index-out-of-bounds internal error, and
// then `record` is unchanged. With `previous`, the payload `record` held
// goes there instead of being released here. With `runs`, which
// build_axis_projected_mesh gave along with `record`, the faces are walked
// cell by cell; the result is the same.
Buffer<CellStatus> refresh_immersed_faces(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, CfdAxisProjectedMesh& record,
                                          const RigidPose& pose,
                                          RecordPages pages = RecordPages::Ordinary,
                                          ApIbmFaceData* previous = nullptr,
                                          const FaceRuns* runs = nullptr);

}  // namespace axis_projected
}  // namespace quorin
