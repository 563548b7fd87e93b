#include "quorin/ibm/gcibm.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/inside.hpp"
#include "quorin/parallel.hpp"

namespace quorin::gcibm {

namespace {

// Inside tests cast 13 rays each and ghost cells project and locate eight
// probes: small chunks keep the workers balanced where such cells cluster.
constexpr std::size_t WALL_GRAIN = 256;
// Cells per chunk of the flag passes: a byte or two per cell.
constexpr std::size_t FLAG_GRAIN = 16384;
constexpr std::size_t GHOST_GRAIN = 64;
// Cells per chunk of the ghost test: a few face lookups per non-fluid cell.
constexpr std::size_t GHOST_SCAN_GRAIN = 2048;

using Mat4 = std::array<std::array<double, 4>, 4>;

// Least-squares matrices whose determinant is at most this fraction of the
// product of their row lengths (the largest value a determinant of those rows
// can have) count as singular. Members that lie in one plane, which happens
// whenever the image point sits near a cell edge, give a matrix that is
// singular in exact arithmetic but whose rounded determinant is of the order
// of 1e-16 of that bound; its inverse is rounding noise and would give
// weights of either sign far above 1. A healthy stencil stays many orders of
// magnitude above the limit.
constexpr double SINGULAR_DET_RATIO = 1e-10;

// First row of the inverse of m, or false when m is singular: a determinant
// of exactly zero, or one below the relative limit above. A NaN determinant
// is not refused; its NaNs reach the weight sum, which the caller rejects.
// The row is the adjugate's first row (the cofactors of m's first column)
// over the determinant expanded along that column.
bool inverse_first_row(const Mat4& m, std::array<double, 4>& row) {
    // 2x2 minors of the last two columns, rows (r, s).
    const double s01 = m[0][2] * m[1][3] - m[0][3] * m[1][2];
    const double s02 = m[0][2] * m[2][3] - m[0][3] * m[2][2];
    const double s03 = m[0][2] * m[3][3] - m[0][3] * m[3][2];
    const double s12 = m[1][2] * m[2][3] - m[1][3] * m[2][2];
    const double s13 = m[1][2] * m[3][3] - m[1][3] * m[3][2];
    const double s23 = m[2][2] * m[3][3] - m[2][3] * m[3][2];
    // Cofactors C(k, 0): minors of m without row k and column 0, signed.
    const double c0 = m[1][1] * s23 - m[2][1] * s13 + m[3][1] * s12;
    const double c1 = -(m[0][1] * s23 - m[2][1] * s03 + m[3][1] * s02);
    const double c2 = m[0][1] * s13 - m[1][1] * s03 + m[3][1] * s01;
    const double c3 = -(m[0][1] * s12 - m[1][1] * s02 + m[2][1] * s01);
    const double det = m[0][0] * c0 + m[1][0] * c1 + m[2][0] * c2 + m[3][0] * c3;
    if (det == 0.0) return false;
    double bound = 1.0;
    for (const auto& r : m)
        bound *= std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
    if (std::abs(det) <= SINGULAR_DET_RATIO * bound) return false;
    // (m⁻¹)(0, k) = C(k, 0) / det.
    row = {c0 / det, c1 / det, c2 / det, c3 / det};
    return true;
}

// The one-member stencil of the ghost cell itself.
void self_stencil(GhostCell& g, std::uint64_t cell) {
    g.stencil_indices.fill(0);
    g.stencil_weights.fill(0.0);
    g.stencil_indices[0] = cell;
    g.stencil_weights[0] = 1.0;
}

// Ghost test of a cell with a flag: non-fluid with a fluid neighbour across
// some face. `lookup` carries guesses from the cells tested before.
bool is_ghost_cell(const Forest& forest, std::span<const std::uint8_t> is_fluid, std::uint64_t cell,
                   neighbour::GuessedLookup& lookup) {
    if (is_fluid[cell] != 0) return false;
    for (FaceDir dir = 0; dir < FACE_DIR_COUNT; ++dir) {
        for (const std::uint64_t m : lookup.ids(forest, cell, dir)) {
            if (m >= is_fluid.size()) index_out_of_bounds(m, is_fluid.size());
            if (is_fluid[m] != 0) return true;
        }
    }
    return false;
}

// Whether the centre of each listed cell lies inside the surface (1) or not,
// as is_point_inside answers at the identity pose: the same rays in the same
// order, stopping at a majority. The rays are cast one direction at a time
// over every cell still undecided, so that the triangles binned along that
// direction are binned once and read from cache. Each direction's binning
// runs alongside other work, the first with the centres, each next one with
// the casts along the one before.
Buffer<std::uint8_t> centres_inside(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                    std::span<const std::uint64_t> cells) {
    const std::size_t count = cells.size();
    const RigidPose identity = RigidPose::identity();
    // Columns only for a direction that enough rays are cast along; the
    // others traverse the hierarchy.
    const auto columns_along = [&](std::size_t d, std::size_t rays) -> std::unique_ptr<RayColumns> {
        if (!RayColumns::pays_for(rays, mesh.trimesh)) return nullptr;
        return std::make_unique<RayColumns>(mesh.trimesh, identity.inverse_rotate(INSIDE_TEST_DIRECTIONS[d]));
    };
    // Each centre is cast from up to thirteen times: computed once.
    Buffer<Vec3> centres;
    std::unique_ptr<RayColumns> columns;
    parallel::invoke(
        [&] {
            centres = parallel::map_buffer(count, [&](std::size_t k) {
                return domain.cell_geometry(forest.leaves[cells[k]].decode()).centre;
            });
        },
        [&] {
            if (count > 0) columns = columns_along(0, count);
        });
    Buffer<InsideVote> votes = parallel::filled(count, InsideVote{});
    for (std::size_t d = 0; d < INSIDE_TEST_DIRECTIONS.size(); ++d) {
        // Every undecided cell casts along this direction; no more than
        // these along the next one.
        const std::size_t undecided =
            d == 0 ? count : parallel::count_if(count, [&](std::size_t k) { return !votes[k].decided(); });
        if (undecided == 0) break;
        std::unique_ptr<RayColumns> next;
        const Vec3& dir = INSIDE_TEST_DIRECTIONS[d];
        parallel::invoke(
            [&] {
                parallel::for_each_index(
                    count,
                    [&](std::size_t k) {
                        if (votes[k].decided()) return;
                        votes[k].add(ray_crossings(centres[k], dir, mesh, identity, columns.get()));
                    },
                    WALL_GRAIN);
            },
            [&] {
                if (d + 1 < INSIDE_TEST_DIRECTIONS.size()) next = columns_along(d + 1, undecided);
            });
        columns = std::move(next);
    }
    return parallel::map_buffer(count, [&](std::size_t k) -> std::uint8_t { return votes[k].inside() ? 1 : 0; });
}

// The record of a cell that passed the ghost test.
GhostCell ghost_record(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                       std::span<const std::uint8_t> is_fluid, std::uint64_t cell);

}  // namespace

void mark_fluid_cells(std::span<std::uint8_t> is_fluid, std::span<const CellStatus> status) {
    const std::size_t m = std::min(is_fluid.size(), status.size());
    std::uint8_t* out = is_fluid.data();
    const CellStatus* in = status.data();
    parallel::for_each_index(m, [&](std::size_t i) {
        if (in[i] == STATUS_FLUID) out[i] = 1;
    });
}

void reclassify_wall_cell(std::uint8_t& is_fluid, SfcKey key, CellStatus status,
                          const Domain& domain, const IbmMesh& mesh, const RigidPose& pose,
                          bool seed_inside) {
    if (status != STATUS_INTERSECTED) return;
    const Vec3 centre = domain.cell_geometry(key.decode()).centre;
    is_fluid = is_point_inside(centre, mesh, pose) == seed_inside ? 1 : 0;
}

std::optional<GhostCell> ghost_cell_for_leaf(const Forest& forest, const Domain& domain,
                                             const IbmMesh& mesh,
                                             std::span<const std::uint8_t> is_fluid,
                                             std::uint64_t cell) {
    const std::size_t n = forest.leaves.size();
    if (cell >= n) index_out_of_bounds(cell, n);
    if (cell >= is_fluid.size()) index_out_of_bounds(cell, is_fluid.size());
    neighbour::GuessedLookup lookup;
    if (!is_ghost_cell(forest, is_fluid, cell, lookup)) return std::nullopt;
    return ghost_record(forest, domain, mesh, is_fluid, cell);
}

namespace {

GhostCell ghost_record(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                       std::span<const std::uint8_t> is_fluid, std::uint64_t cell) {
    const CellGeometry geo = domain.cell_geometry(forest.leaves[cell].decode());
    const Vec3& c = geo.centre;
    const Vec3& s = geo.size;

    GhostCell g;
    g.cell_id = cell;

    // Boundary intercept and its triangle. A ghost cell is mostly a cut
    // cell, whose box the surface meets within half its diagonal of the
    // centre: the search starts there.
    const double reach2 = 1.0001 * 0.25 * ((s[0] * s[0] + s[1] * s[1]) + s[2] * s[2]);
    const PointProjection proj = mesh.trimesh.project_point(c, reach2);
    const std::uint64_t tri = proj.triangle;
    if (tri >= mesh.triangle_patch_ids.size())
        index_out_of_bounds(tri, mesh.triangle_patch_ids.size());
    g.anchor_id = tri;
    g.patch_id = mesh.triangle_patch_ids[tri];
    g.intercept = proj.point;

    // Image point: the centre mirrored through the intercept.
    const Vec3& p = proj.point;
    const Vec3 img = {p[0] + p[0] - c[0], p[1] + p[1] - c[1], p[2] + p[2] - c[2]};
    g.image_point = img;

    // Stencil: distinct fluid cells holding the probes around the image
    // point, in probe order (x sign fastest, minus before plus).
    const Vec3 a = {STENCIL_PROBE_FRACTION * s[0], STENCIL_PROBE_FRACTION * s[1],
                    STENCIL_PROBE_FRACTION * s[2]};
    // The probes are the corners img ± a: img[i] + (-a[i]) rounds as
    // img[i] - a[i].
    static_assert(STENCIL_SIZE == 8);
    const std::array<std::uint64_t, 8> hits = forest.locate_corners_near(domain, img, a, cell);
    std::array<std::uint64_t, STENCIL_SIZE> members{};
    std::size_t count = 0;
    for (const std::uint64_t id : hits) {
        if (id == Forest::NO_CELL) continue;
        if (id >= is_fluid.size()) index_out_of_bounds(id, is_fluid.size());
        if (is_fluid[id] == 0) continue;
        if (std::find(members.begin(), members.begin() + count, id) != members.begin() + count)
            continue;
        members[count++] = id;
    }

    if (count == 0) {
        self_stencil(g, cell);
        return g;
    }

    // Member offsets from the image point, normalised by the x size alone,
    // and their inverse-distance weights.
    const double h = s[0] > STENCIL_MIN_LENGTH ? s[0] : STENCIL_MIN_LENGTH;
    std::array<std::array<double, 4>, STENCIL_SIZE> pv;
    std::array<double, STENCIL_SIZE> w;
    for (std::size_t j = 0; j < count; ++j) {
        const Vec3 cj = domain.cell_geometry(forest.leaves[members[j]].decode()).centre;
        const double dx = (cj[0] - img[0]) / h;
        const double dy = (cj[1] - img[1]) / h;
        const double dz = (cj[2] - img[2]) / h;
        pv[j] = {1.0, dx, dy, dz};
        const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
        w[j] = r < STENCIL_NEAR_DISTANCE ? STENCIL_NEAR_WEIGHT : 1.0 / r;
    }

    g.stencil_indices.fill(0);
    g.stencil_weights.fill(0.0);
    for (std::size_t j = 0; j < count; ++j) g.stencil_indices[j] = members[j];

    // Weighted linear least squares: the weights that give the fitted value
    // at the image point. Needs at least as many members as unknowns.
    if (count >= 4) {
        Mat4 m{};
        for (std::size_t j = 0; j < count; ++j) {
            for (int r = 0; r < 4; ++r) {
                const double wp = w[j] * pv[j][r];
                for (int col = 0; col < 4; ++col) m[r][col] += wp * pv[j][col];
            }
        }
        std::array<double, 4> row;
        if (inverse_first_row(m, row)) {
            std::array<double, STENCIL_SIZE> q;
            double sum = 0.0;
            for (std::size_t j = 0; j < count; ++j) {
                const double fit =
                    row[0] * pv[j][0] + row[1] * pv[j][1] + row[2] * pv[j][2] + row[3] * pv[j][3];
                q[j] = w[j] * fit;
                sum += q[j];
            }
            if (std::abs(sum) > STENCIL_WEIGHT_SUM_MIN) {
                for (std::size_t j = 0; j < count; ++j) g.stencil_weights[j] = q[j] / sum;
                return g;
            }
        }
    }

    // Normalised inverse-distance weights.
    double total = 0.0;
    for (std::size_t j = 0; j < count; ++j) total += w[j];
    if (total > 0.0) {
        for (std::size_t j = 0; j < count; ++j) g.stencil_weights[j] = w[j] / total;
        return g;
    }

    // Only reached through a non-finite distance.
    self_stencil(g, cell);
    return g;
}

}  // namespace

Buffer<std::uint8_t> fluid_flags(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                 std::span<const CellStatus> status, const Vec3& fluid_seed_point) {
    const std::size_t n = forest.leaves.size();
    const std::size_t m = std::min(n, status.size());
    const RigidPose identity = RigidPose::identity();
    const bool seed_inside = is_point_inside(fluid_seed_point, mesh, identity);

    // Fluid cells in one pass that writes every byte, then intersected cells
    // by the side their centre lies on.
    Buffer<std::uint8_t> is_fluid(n);
    std::uint8_t* flags = is_fluid.data();
    const CellStatus* st = status.data();
    parallel::for_each_index(
        n, [&](std::size_t i) { flags[i] = i < m && st[i] == STATUS_FLUID ? 1 : 0; }, FLAG_GRAIN);
    const Buffer<std::uint64_t> cut = parallel::collect<std::uint64_t, Buffer<std::uint64_t>>(
        m,
        [&](std::size_t i, std::vector<std::uint64_t>& sink) {
            if (st[i] == STATUS_INTERSECTED) sink.push_back(i);
        },
        FLAG_GRAIN);
    const Buffer<std::uint8_t> inside = centres_inside(forest, domain, mesh, cut);
    parallel::for_each_index(cut.size(), [&](std::size_t k) {
        flags[cut[k]] = (inside[k] != 0) == seed_inside ? 1 : 0;
    });
    return is_fluid;
}

void add_ghost_records(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                       GhostCellData& data, Buffer<std::uint64_t> ids) {
    // Each record is written at its own index of buffers of exact size: the
    // costly projections spread evenly over the pool.
    const std::span<const std::uint8_t> flags(data.is_fluid);
    const std::size_t count = ids.size();
    data.anchor_ids.resize(count);
    data.patch_ids.resize(count);
    data.intercepts.resize(count);
    data.image_points.resize(count);
    data.stencil_indices.resize(count);
    data.stencil_weights.resize(count);
    parallel::for_each_index(
        count,
        [&](std::size_t k) {
            const GhostCell g = ghost_record(forest, domain, mesh, flags, ids[k]);
            data.anchor_ids[k] = g.anchor_id;
            data.patch_ids[k] = g.patch_id;
            data.intercepts[k] = g.intercept;
            data.image_points[k] = g.image_point;
            data.stencil_indices[k] = g.stencil_indices;
            data.stencil_weights[k] = g.stencil_weights;
        },
        GHOST_GRAIN);
    data.cell_ids = std::move(ids);
}

GhostCellData compute_ghost_cell_data(const Forest& forest, const Domain& domain,
                                      const IbmMesh& mesh, std::span<const CellStatus> status,
                                      const Vec3& fluid_seed_point) {
    const std::size_t n = forest.leaves.size();
    GhostCellData data;
    data.is_fluid = fluid_flags(forest, domain, mesh, status, fluid_seed_point);

    // The ghost cells in ascending order (few: the layer along the wall).
    const std::span<const std::uint8_t> flags(data.is_fluid);
    std::vector<std::vector<std::uint64_t>> parts((n + GHOST_SCAN_GRAIN - 1) / GHOST_SCAN_GRAIN);
    parallel::for_chunks(n, GHOST_SCAN_GRAIN, [&](std::size_t b, std::size_t e) {
        std::vector<std::uint64_t>& sink = parts[b / GHOST_SCAN_GRAIN];
        neighbour::GuessedLookup lookup;
        for (std::size_t i = b; i != e; ++i) {
            if (is_ghost_cell(forest, flags, i, lookup)) sink.push_back(i);
        }
    });
    add_ghost_records(forest, domain, mesh, data, parallel::concat<Buffer<std::uint64_t>>(parts));
    return data;
}

}  // namespace quorin::gcibm
