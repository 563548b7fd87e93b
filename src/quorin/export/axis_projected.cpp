#include "quorin/export/axis_projected.hpp"

#include <limits>
#include <optional>
#include <utility>

#include "quorin/error.hpp"
#include "quorin/export/chunks.hpp"
#include "quorin/export/faces.hpp"
#include "quorin/parallel.hpp"

namespace quorin::axis_projected {

namespace {

CellStatus status_at(std::span<const CellStatus> status, std::uint64_t cell) {
    if (cell >= status.size()) index_out_of_bounds(cell, status.size());
    return status[cell];
}

// True when the face between `owner` and `neighbour` is classified: either
// cell is intersected, the owner tested first.
bool touches_surface(std::span<const CellStatus> status, std::uint64_t owner, std::uint64_t neighbour) {
    return status_at(status, owner) == STATUS_INTERSECTED || status_at(status, neighbour) == STATUS_INTERSECTED;
}

// The face (owner, neighbour, axis) when either cell is intersected, the
// owner tested first; none otherwise or when a ray misses. The rays go
// straight to the surface's hierarchy (single records); the whole-mesh
// passes cast them through a caster's grids, with the same answers.
std::optional<ImmersedFace> classify(const Forest& forest, const Domain& domain,
                                     const IbmMesh& mesh, std::span<const CellStatus> status,
                                     const RigidPose& pose, std::uint64_t owner,
                                     std::uint64_t neighbour, std::uint8_t axis) {
    if (touches_surface(status, owner, neighbour))
        return apibm::immersed_face(forest, domain, mesh, owner, neighbour, axis, pose);
    return std::nullopt;
}

// The geometry of the owners of a run of faces: faces listed cell by cell
// come in runs of one owner, whose geometry is computed once per run.
class OwnerGeometry {
public:
    // The geometry of leaf `cell`, which must be a leaf of `forest`.
    const CellGeometry& of(const Forest& forest, const Domain& domain, std::uint64_t cell) {
        if (cell != cell_) {
            geometry_ = domain.cell_geometry(forest.leaves[cell].decode());
            cell_ = cell;
        }
        return geometry_;
    }

private:
    std::uint64_t cell_ = std::numeric_limits<std::uint64_t>::max();
    CellGeometry geometry_{};
};

// The face's record through `rays` when it is classified (as classify does),
// the owner's geometry taken from `owners`.
std::optional<ImmersedFace> listed_face(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                        std::span<const CellStatus> status, const AxisRayCaster& rays,
                                        OwnerGeometry& owners, std::uint64_t owner, std::uint64_t neighbour,
                                        std::uint8_t axis) {
    if (!touches_surface(status, owner, neighbour)) return std::nullopt;
    // An owner that is no leaf stops inside immersed_face, as it always did.
    if (owner >= forest.leaves.size())
        return apibm::immersed_face(forest, domain, mesh, rays, owner, neighbour, axis);
    return apibm::immersed_face(forest, domain, mesh, rays, owner, owners.of(forest, domain, owner), neighbour,
                                axis);
}

// An empty buffer whose storage, once sized, lies on shared pages.
template <class T>
void on_shared_pages(Buffer<T>& v) {
    v = Buffer<T>(Buffer<T>::allocator_type::shared_pages());
}

// A payload and a record to be filled, their arrays allocated on `pages`.
ApIbmFaceData empty_payload(RecordPages pages) {
    ApIbmFaceData ap;
    if (pages != RecordPages::Shared) return ap;
    on_shared_pages(ap.is_immersed_face);
    on_shared_pages(ap.dist_owner_to_bnd);
    on_shared_pages(ap.dist_neighbour_to_bnd);
    on_shared_pages(ap.owner_near_boundary);
    on_shared_pages(ap.neighbour_near_boundary);
    on_shared_pages(ap.owner_bnd_anchor_id);
    on_shared_pages(ap.owner_bnd_patch_id);
    on_shared_pages(ap.neighbour_bnd_anchor_id);
    on_shared_pages(ap.neighbour_bnd_patch_id);
    return ap;
}

CfdAxisProjectedMesh empty_record(RecordPages pages) {
    CfdAxisProjectedMesh r;
    if (pages != RecordPages::Shared) return r;
    on_shared_pages(r.cell_centers);
    on_shared_pages(r.cell_sizes);
    on_shared_pages(r.internal_faces_owner);
    on_shared_pages(r.internal_faces_neighbour);
    on_shared_pages(r.internal_faces_axis);
    on_shared_pages(r.domain_bnd_faces_owner);
    on_shared_pages(r.domain_bnd_faces_dir);
    r.ap = empty_payload(pages);
    return r;
}

// The ray caster of one whole-mesh pass that casts about `rays` rays.
AxisRayCaster face_rays(const Domain& domain, const IbmMesh& mesh, const RigidPose& pose, std::size_t rays) {
    return AxisRayCaster(mesh.trimesh, pose, apibm::face_ray_reach(domain, pose), rays);
}

// The rays a pass over these statuses casts, about: two per face of each
// cut cell.
std::size_t rays_for(std::span<const CellStatus> status) {
    return 12 * parallel::count_if(status.size(), [&](std::size_t i) { return status[i] == STATUS_INTERSECTED; },
                                   1 << 16);
}

// Appends one immersed face's eight values to the payload vectors of `sink`
// (an ApIbmFaceData or an AxisProjectedMeshCell: the fields share names).
template <class Sink>
void append_payload(Sink& sink, const ImmersedFace& f) {
    sink.dist_owner_to_bnd.push_back(f.dist_owner_to_bnd);
    sink.dist_neighbour_to_bnd.push_back(f.dist_neighbour_to_bnd);
    sink.owner_near_boundary.push_back(f.owner_near_boundary ? 1 : 0);
    sink.neighbour_near_boundary.push_back(f.neighbour_near_boundary ? 1 : 0);
    sink.owner_bnd_anchor_id.push_back(f.owner_bnd_anchor_id);
    sink.owner_bnd_patch_id.push_back(f.owner_bnd_patch_id);
    sink.neighbour_bnd_anchor_id.push_back(f.neighbour_bnd_anchor_id);
    sink.neighbour_bnd_patch_id.push_back(f.neighbour_bnd_patch_id);
}

// Appends the faces that `cell` lists, and the payload of its internal
// faces, to `sink`.
void append_cell(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                 std::span<const CellStatus> status, const RigidPose& pose, std::uint64_t cell,
                 AxisProjectedMeshCell& sink) {
    cell_faces::enumerate(
        forest, cell,
        [&](std::uint64_t j, std::uint8_t axis) {
            cell_faces::push_internal(sink, cell, j, axis);
            const std::optional<ImmersedFace> f =
                classify(forest, domain, mesh, status, pose, cell, j, axis);
            sink.is_immersed_face.push_back(f ? 1 : 0);
            if (f) append_payload(sink, *f);
        },
        [&](FaceDir dir) { cell_faces::push_boundary(sink, cell, dir); });
}

// The eight per-immersed-face vectors of `ap` from the immersed faces of
// every chunk, in chunk order: sized from the chunk counts and written by
// the pool at each chunk's offset. Each chunk's list is freed by the thread
// that copied it, at once: the lists grew on the pool's threads, and freeing
// them gives those threads' heaps back to the system (2-3 ms each on 8
// threads, measured), which one thread would do one heap after another.
void scatter_payload(ApIbmFaceData& ap, std::vector<std::vector<ImmersedFace>>& parts) {
    std::vector<std::size_t> offset(parts.size());
    for (std::size_t c = 0; c < parts.size(); ++c) offset[c] = parts[c].size();
    const std::size_t total = parallel::exclusive_scan(offset);
    ap.dist_owner_to_bnd.resize(total);
    ap.dist_neighbour_to_bnd.resize(total);
    ap.owner_near_boundary.resize(total);
    ap.neighbour_near_boundary.resize(total);
    ap.owner_bnd_anchor_id.resize(total);
    ap.owner_bnd_patch_id.resize(total);
    ap.neighbour_bnd_anchor_id.resize(total);
    ap.neighbour_bnd_patch_id.resize(total);
    parallel::for_chunks(parts.size(), 16, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c != e; ++c) {
            std::size_t k = offset[c];
            for (const ImmersedFace& f : parts[c]) {
                ap.dist_owner_to_bnd[k] = f.dist_owner_to_bnd;
                ap.dist_neighbour_to_bnd[k] = f.dist_neighbour_to_bnd;
                ap.owner_near_boundary[k] = f.owner_near_boundary ? 1 : 0;
                ap.neighbour_near_boundary[k] = f.neighbour_near_boundary ? 1 : 0;
                ap.owner_bnd_anchor_id[k] = f.owner_bnd_anchor_id;
                ap.owner_bnd_patch_id[k] = f.owner_bnd_patch_id;
                ap.neighbour_bnd_anchor_id[k] = f.neighbour_bnd_anchor_id;
                ap.neighbour_bnd_patch_id[k] = f.neighbour_bnd_patch_id;
                ++k;
            }
            std::vector<ImmersedFace>().swap(parts[c]);
        }
    });
}

}  // namespace

AxisProjectedMeshCell cell_record(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                  std::span<const CellStatus> status, const RigidPose& pose,
                                  std::uint64_t cell) {
    if (cell >= forest.leaves.size()) index_out_of_bounds(cell, forest.leaves.size());
    const CellGeometry g = domain.cell_geometry(forest.leaves[cell].decode());
    AxisProjectedMeshCell rec;
    append_cell(forest, domain, mesh, status, pose, cell, rec);
    rec.cell_center = g.centre;
    rec.cell_size = g.size;
    return rec;
}

CfdAxisProjectedMesh build_axis_projected_mesh(const Forest& forest, const Domain& domain,
                                               const IbmMesh& mesh,
                                               std::span<const CellStatus> status,
                                               const RigidPose& pose, RecordPages pages, FaceRuns* runs) {
    const std::size_t n = forest.leaves.size();
    // Statuses of another forest: stop before any work.
    if (status.size() < n) index_out_of_bounds(status.size(), status.size());

    CfdAxisProjectedMesh out = empty_record(pages);
    // The ray grids are built on one thread while the others count faces.
    export_chunks::FaceLayout layout;
    std::optional<AxisRayCaster> rays;
    parallel::invoke([&] { layout = export_chunks::count_faces(forest); },
                     [&] { rays.emplace(face_rays(domain, mesh, pose, rays_for(status))); });
    out.ap.is_immersed_face.resize(layout.n_internal);
    std::uint8_t* immersed = out.ap.is_immersed_face.data();
    // The flags go straight to their slots; the payload of each chunk's
    // immersed faces (few: those next to the surface) to the chunk's list.
    std::vector<std::vector<ImmersedFace>> parts(layout.internal.size());
    Buffer<std::uint8_t> counts(runs != nullptr ? n : 0);
    export_chunks::fill_cells(
        forest, domain, layout, out,
        [&](std::size_t c, std::size_t k, std::uint64_t cell, std::uint64_t j, std::uint8_t axis,
            const CellGeometry& g, const DecodedKey& d) {
            std::optional<ImmersedFace> f;
            if (touches_surface(status, cell, j))
                f = apibm::immersed_listed_face(forest, domain, mesh, *rays, cell, d, g, j, axis);
            immersed[k] = f ? 1 : 0;
            if (f) parts[c].push_back(*f);
        },
        runs != nullptr ? counts.data() : nullptr);
    out.patch_names = mesh.patch_names;
    scatter_payload(out.ap, parts);
    if (runs != nullptr) {
        *runs = FaceRuns{};
        // A count of 255 may stand for more faces: then the runs are not known.
        if (!parallel::any_of(n, [&](std::size_t i) { return counts[i] == 255; }))
            *runs = FaceRuns{std::move(counts), std::move(layout.internal)};
    }

    out.n_cells = n;
    out.coordinate_type = 0;
    return out;
}

std::optional<ImmersedFace> face_record(const Forest& forest, const Domain& domain,
                                        const IbmMesh& mesh, std::span<const CellStatus> status,
                                        std::span<const std::uint64_t> owner,
                                        std::span<const std::uint64_t> neighbour,
                                        std::span<const std::uint8_t> axis, const RigidPose& pose,
                                        std::uint64_t face) {
    if (face >= owner.size()) index_out_of_bounds(face, owner.size());
    if (face >= neighbour.size()) index_out_of_bounds(face, neighbour.size());
    if (face >= axis.size()) index_out_of_bounds(face, axis.size());
    return classify(forest, domain, mesh, status, pose, owner[face], neighbour[face], axis[face]);
}

namespace {

// An empty payload on `pages` with room for the flags of `faces` faces,
// left unwritten.
ApIbmFaceData payload_for(std::size_t faces, RecordPages pages) {
    ApIbmFaceData ap = empty_payload(pages);
    ap.is_immersed_face.resize(faces);
    return ap;
}

// build_face_data with the ray grids already built.
ApIbmFaceData face_data(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                        std::span<const CellStatus> status, std::span<const std::uint64_t> owner,
                        std::span<const std::uint64_t> neighbour, std::span<const std::uint8_t> axis,
                        const AxisRayCaster& rays, RecordPages pages) {
    const std::size_t faces = owner.size();
    // Face vectors of unequal length: stop before any work, as the first
    // face without a neighbour or an axis would.
    if (neighbour.size() < faces) index_out_of_bounds(neighbour.size(), neighbour.size());
    if (axis.size() < faces) index_out_of_bounds(axis.size(), axis.size());

    ApIbmFaceData ap = payload_for(faces, pages);
    std::uint8_t* immersed = ap.is_immersed_face.data();

    // The flags go straight to their slots; the payload of each chunk of
    // faces to the chunk's list.
    const std::size_t grain = 4 * export_chunks::GRAIN;
    std::vector<std::vector<ImmersedFace>> parts((faces + grain - 1) / grain);
    parallel::for_chunks(faces, grain, [&](std::size_t b, std::size_t e) {
        std::vector<ImmersedFace>& sink = parts[b / grain];
        OwnerGeometry owners;
        for (std::size_t f = b; f != e; ++f) {
            const std::optional<ImmersedFace> r =
                listed_face(forest, domain, mesh, status, rays, owners, owner[f], neighbour[f], axis[f]);
            immersed[f] = r ? 1 : 0;
            if (r) sink.push_back(*r);
        }
    });
    scatter_payload(ap, parts);
    return ap;
}

// face_data for the record's own faces, walked cell by cell as `runs` lays
// them out: the owner of each face is the cell walked, so the owners are not
// read. The same faces in the same order, with the same answers.
ApIbmFaceData face_data_by_cell(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                std::span<const CellStatus> status, const FaceRuns& runs,
                                std::span<const std::uint64_t> neighbour, std::span<const std::uint8_t> axis,
                                const AxisRayCaster& rays, RecordPages pages) {
    const std::size_t n = forest.leaves.size();
    const std::size_t faces = neighbour.size();
    if (status.size() < n) index_out_of_bounds(status.size(), status.size());
    if (axis.size() < faces) index_out_of_bounds(axis.size(), axis.size());

    ApIbmFaceData ap = payload_for(faces, pages);
    std::uint8_t* immersed = ap.is_immersed_face.data();
    const std::uint8_t* count = runs.count.data();
    const std::size_t grain = export_chunks::GRAIN;
    std::vector<std::vector<ImmersedFace>> parts(runs.offset.size());
    parallel::for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        std::vector<ImmersedFace>& sink = parts[b / grain];
        OwnerGeometry owners;
        std::size_t f = runs.offset[b / grain];
        for (std::size_t cell = b; cell != e; ++cell) {
            const std::size_t end = f + count[cell];
            const bool cut = status[cell] == STATUS_INTERSECTED;
            for (; f != end; ++f) {
                const std::uint64_t j = neighbour[f];
                if (!cut && status_at(status, j) != STATUS_INTERSECTED) {
                    immersed[f] = 0;
                    continue;
                }
                const std::optional<ImmersedFace> r = apibm::immersed_face(
                    forest, domain, mesh, rays, cell, owners.of(forest, domain, cell), j, axis[f]);
                immersed[f] = r ? 1 : 0;
                if (r) sink.push_back(*r);
            }
        }
    });
    scatter_payload(ap, parts);
    return ap;
}

// True when `runs` lays out the `faces` faces of a record of this forest.
bool runs_fit(const FaceRuns& runs, const Forest& forest, std::size_t faces) {
    const std::size_t n = forest.leaves.size();
    const std::size_t chunks = (n + export_chunks::GRAIN - 1) / export_chunks::GRAIN;
    if (runs.count.size() != n || runs.offset.size() != chunks) return false;
    // Each chunk's counts reach the next chunk's first face, the last one
    // the end: checked once per chunk, on the pool.
    return !parallel::any_of(chunks, [&](std::size_t c) {
        std::size_t f = runs.offset[c];
        const std::size_t e = std::min(n, (c + 1) * export_chunks::GRAIN);
        for (std::size_t i = c * export_chunks::GRAIN; i != e; ++i) f += runs.count[i];
        return f != (c + 1 < chunks ? runs.offset[c + 1] : faces);
    }, 64);
}

}  // namespace

ApIbmFaceData build_face_data(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                              std::span<const CellStatus> status,
                              std::span<const std::uint64_t> owner,
                              std::span<const std::uint64_t> neighbour,
                              std::span<const std::uint8_t> axis, const RigidPose& pose,
                              RecordPages pages) {
    return face_data(forest, domain, mesh, status, owner, neighbour, axis,
                     face_rays(domain, mesh, pose, rays_for(status)), pages);
}

Buffer<CellStatus> refresh_immersed_faces(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, CfdAxisProjectedMesh& record,
                                          const RigidPose& pose, RecordPages pages,
                                          ApIbmFaceData* previous, const FaceRuns* runs) {
    // The ray grids are built on one thread while the others mark the cells;
    // the faces immersed before the move tell how many rays there will be.
    Buffer<CellStatus> status;
    std::optional<AxisRayCaster> rays;
    const std::size_t expected_rays = 2 * record.ap.dist_owner_to_bnd.size();
    parallel::invoke([&] { status = flood::initial_cell_status(forest, domain, mesh, pose); },
                     [&] { rays.emplace(face_rays(domain, mesh, pose, expected_rays)); });
    const std::size_t faces = record.internal_faces_owner.size();
    ApIbmFaceData ap =
        runs != nullptr && record.internal_faces_neighbour.size() == faces && runs_fit(*runs, forest, faces)
            ? face_data_by_cell(forest, domain, mesh, status, *runs, record.internal_faces_neighbour,
                                record.internal_faces_axis, *rays, pages)
            : face_data(forest, domain, mesh, status, record.internal_faces_owner,
                        record.internal_faces_neighbour, record.internal_faces_axis, *rays, pages);
    // Everything that can fail is done: only moves touch the record now.
    std::vector<std::string> names = mesh.patch_names;
    if (previous != nullptr) {
        *previous = std::exchange(record.ap, std::move(ap));
    } else {
        record.ap = std::move(ap);
    }
    record.patch_names = std::move(names);
    return status;
}

}  // namespace quorin::axis_projected
