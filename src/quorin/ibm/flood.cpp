#include "quorin/ibm/flood.hpp"

#include <algorithm>
#include <bit>

#include "quorin/forest/neighbour.hpp"
#include "quorin/parallel.hpp"

namespace quorin::flood {

namespace {

// Box tests cost a bounding-volume descent each; small chunks keep the
// workers balanced when the cut cells cluster in a few chunks.
constexpr std::size_t MARK_GRAIN = 256;

// Queued cells whose face neighbours are looked up ahead at a time, and the
// chunk length of that lookup.
constexpr std::size_t FILL_BATCH = 65536;
constexpr std::size_t FILL_GRAIN = 128;

}  // namespace

void flag_intersect_cell(const Domain& domain, const RigidPose& pose, const IbmMesh& mesh,
                         SfcKey key, CellStatus& status) {
    // Closed boxes whose shared faces coincide bit for bit: a surface point on
    // a face between two cells cuts both, so the layer of cut cells has no
    // gap for the flood fill to leak through.
    if (mesh.trimesh.intersects_box(domain.closed_cell_box(key), pose)) status = STATUS_INTERSECTED;
}

void mark_intersected_cells(const Forest& forest, const Domain& domain, const RigidPose& pose,
                            const IbmMesh& mesh, std::span<CellStatus> status) {
    const std::size_t n = std::min<std::size_t>(status.size(), forest.leaves.size());
    const SfcKey* keys = forest.leaves.data();
    CellStatus* out = status.data();
    parallel::for_chunks(n, MARK_GRAIN, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i)
            flag_intersect_cell(domain, pose, mesh, keys[i], out[i]);
    });
}

std::vector<CellStatus> initial_cell_status(const Forest& forest, const Domain& domain,
                                            const IbmMesh& mesh, const RigidPose& pose) {
    std::vector<CellStatus> status(forest.leaves.size(), STATUS_DEFAULT);
    mark_intersected_cells(forest, domain, pose, mesh, status);
    return status;
}

std::optional<std::string> flood_fill(const Forest& forest, const Domain& domain,
                                      std::span<CellStatus> status, const Vec3& fluid_seed_point) {
    const std::size_t cells = forest.leaves.size();
    const std::size_t n = std::min(status.size(), cells);
    const auto at = [&](std::uint64_t i) -> CellStatus& {
        if (i >= status.size()) index_out_of_bounds(i, status.size());
        return status[i];
    };

    const auto seed = forest.locate_point(domain, fluid_seed_point);
    if (!seed) return std::string(SEED_OUTSIDE_MESSAGE);
    if (at(*seed) == STATUS_INTERSECTED) return std::string(SEED_ON_WALL_MESSAGE);

    // Intersected cells are marked visited up front: barriers never entered.
    std::vector<std::uint8_t> visited(cells, 0);
    for (std::size_t i = 0; i < n; ++i) visited[i] = status[i] == STATUS_INTERSECTED ? 1 : 0;

    // Every cell is enqueued at most once, so a vector read from a moving
    // head serves as the first-in-first-out queue.
    std::vector<std::uint64_t> queue;
    std::size_t head = 0;
    queue.push_back(*seed);
    visited[*seed] = 1;
    at(*seed) = STATUS_FLUID;

    // The neighbour lookups depend on the forest alone, so those of the cells
    // already queued are made ahead, in parallel, one batch at a time; a
    // neighbour visited before the batch would be skipped anyway and is left
    // out. The candidates then go through the visited test in exactly the
    // order of the one-cell-at-a-time loop: queue order, face order, and the
    // order the lookup returns.
    while (head < queue.size()) {
        const std::size_t batch = std::min(queue.size() - head, FILL_BATCH);
        const std::uint64_t* front = queue.data() + head;
        const std::vector<std::uint64_t> candidates = parallel::collect<std::uint64_t>(
            batch,
            [&](std::size_t k, std::vector<std::uint64_t>& sink) {
                for (FaceDir dir = 0; dir < FACE_DIR_COUNT; ++dir) {
                    for (const std::uint64_t m :
                         neighbour::face_neighbour_ids(forest, front[k], dir)) {
                        if (visited[m] == 0) sink.push_back(m);
                    }
                }
            },
            FILL_GRAIN);
        head += batch;
        for (const std::uint64_t m : candidates) {
            if (visited[m] != 0) continue;
            visited[m] = 1;
            at(m) = STATUS_FLUID;
            queue.push_back(m);
        }
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (visited[i] == 0 && status[i] != STATUS_INTERSECTED) status[i] = STATUS_DEFAULT;
    }
    return std::nullopt;
}

}  // namespace quorin::flood
