// The cut-cell pass: which leaves' closed boxes meet the posed surface.
//
// The leaves are tested top down through the octree they form: a cell box
// that meets no triangle holds no leaf box that does (a leaf's closed box
// lies inside its ancestors' closed boxes, their faces being computed from
// the same grid positions), so a whole subtree is settled by one test and
// only the leaves around the surface are tested one by one. Each node tests
// only the triangles that meet its parent's box. The answers are exactly
// those of testing every leaf.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"

namespace quorin::flood {

namespace {

// Leaf ranges at least this long split their children over the pool.
constexpr std::size_t PARALLEL_RANGE = 4096;
// Trees per chunk of the top-level loop.
constexpr std::size_t TREE_GRAIN = 4;

// The triangles that may meet a child's box are those that meet its
// parent's box, so each node's children filter the node's list instead of
// searching the hierarchy again; the eight children are tested against each
// triangle together. The lists of a branch of the recursion are stacked in
// one vector: a node's list is scratch[off, off + len), the children's masks
// and lists follow it.
struct MarkPass {
    const Domain& domain;
    const PlacedSurface& surface;
    const SfcKey* keys;
    CellStatus* out;

    // Marks the leaves keys[b, e), all of them strictly inside `node`, given
    // a non-empty list of every triangle that meets the node's closed box.
    void children(SfcKey node, const CellBox& box, std::size_t b, std::size_t e,
                  std::vector<std::uint32_t>& scratch, std::size_t off, std::size_t len) const {
        // Digit bit a picks the upper half on axis a; child 0's far corner is
        // where the children meet, and each child's closed box is made of
        // the same face coordinates closed_cell_box gives it.
        const Vec3 mid = domain.closed_cell_box(node.child(0)).max;
        // The children's leaves follow each other in digit order.
        std::size_t bounds[9];
        bounds[0] = b;
        unsigned wanted = 0, leaf = 0;
        for (unsigned d = 0; d < 8; ++d) {
            const SfcKey child = node.child(d);
            bounds[d + 1] = static_cast<std::size_t>(
                std::partition_point(keys + bounds[d], keys + e, [&](SfcKey k) { return child.contains(k); }) -
                keys);
            if (bounds[d + 1] == bounds[d]) continue;
            wanted |= 1u << d;
            if (bounds[d + 1] - bounds[d] == 1 && keys[bounds[d]] == child) leaf |= 1u << d;
        }
        // Per triangle, the children it meets; a leaf child is settled by
        // the first triangle that meets it.
        const std::size_t masks = scratch.size();
        scratch.resize(masks + len);
        unsigned cut = 0;
        for (std::size_t j = 0; j != len && wanted != 0; ++j) {
            const unsigned m = surface.meets_children(scratch[off + j], box.min, mid, box.max, wanted);
            scratch[masks + j] = m;
            cut |= m;
            wanted &= ~(m & leaf);
        }
        for (unsigned d = 0; d < 8; ++d)
            if ((cut & leaf) >> d & 1u) out[bounds[d]] = STATUS_INTERSECTED;
        const unsigned inner = cut & ~leaf;
        if (inner == 0) {
            scratch.resize(masks);
            return;
        }
        // The inner children with their lists: triangles after the loop ended
        // early have no mask, but it only ends once no inner child is left.
        const auto child_list = [&](unsigned d, std::vector<std::uint32_t>& dst) {
            for (std::size_t j = 0; j != len; ++j)
                if ((scratch[masks + j] >> d) & 1u) dst.push_back(scratch[off + j]);
        };
        if (e - b >= PARALLEL_RANGE) {
            parallel::for_each_index(
                8,
                [&](std::size_t d) {
                    const auto digit = static_cast<unsigned>(d);
                    if (!((inner >> digit) & 1u)) return;
                    std::vector<std::uint32_t> own;
                    child_list(digit, own);
                    children(node.child(digit), child_bounds(box.min, mid, box.max, digit), bounds[d],
                             bounds[d + 1], own, 0, own.size());
                },
                1);
        } else {
            for (unsigned d = 0; d < 8; ++d) {
                if (!((inner >> d) & 1u)) continue;
                const std::size_t sub = scratch.size();
                child_list(d, scratch);
                children(node.child(d), child_bounds(box.min, mid, box.max, d), bounds[d], bounds[d + 1], scratch,
                         sub, scratch.size() - sub);
                scratch.resize(sub);
            }
        }
        scratch.resize(masks);
    }
};

}  // namespace

void flag_intersect_cell(const Domain& domain, const RigidPose& pose, const IbmMesh& mesh,
                         SfcKey key, CellStatus& status) {
    // Closed boxes whose shared faces coincide bit for bit: a surface point on
    // a face between two cells cuts both, so the layer of cut cells has no
    // gap for the flood fill to leak through.
    if (mesh.trimesh.intersects_box(domain.closed_cell_box(key), pose)) status = STATUS_INTERSECTED;
}

namespace {

bool prepares(const IbmMesh& mesh, std::size_t bytes_limit) {
    return mesh.trimesh.triangles().size() <= bytes_limit / sizeof(TriangleBoxTest);
}

}  // namespace

PlacedSurface::PlacedSurface(const IbmMesh& m, const RigidPose& p, std::size_t prepared_bytes_limit)
    : mesh(m), pose(p) {
    if (prepares(mesh, prepared_bytes_limit)) {
        tests = mesh.trimesh.box_tests(pose);
    } else if (!pose.is_identity()) {
        corners = mesh.trimesh.placed_corners(pose);
    }
}

bool PlacedSurface::cuts(const CellBox& box) const {
    if (!tests.empty()) return mesh.trimesh.intersects_box(box, pose, tests);
    if (pose.is_identity()) return mesh.trimesh.intersects_box(box, pose);
    return mesh.trimesh.intersects_box(box, pose, corners);
}

void PlacedSurface::candidates(const CellBox& box, std::vector<std::uint32_t>& out) const {
    mesh.trimesh.box_candidates(box, pose, out);
}

bool PlacedSurface::meets(std::uint32_t k, const CellBox& box) const {
    if (!tests.empty()) return prepared_meets_bounds(tests[k], box.min, box.max);
    return mesh.trimesh.leaf_meets_box(k, box, pose, corners.empty() ? nullptr : corners.data());
}

unsigned PlacedSurface::meets_children(std::uint32_t k, const Vec3& lo, const Vec3& mid, const Vec3& hi,
                                       unsigned wanted) const {
    if (!tests.empty()) return prepared_meets_children(tests[k], lo, mid, hi, wanted);
    unsigned out = 0;
    for (unsigned d = 0; d < 8; ++d)
        if (((wanted >> d) & 1u) != 0 && meets(k, child_bounds(lo, mid, hi, d))) out |= 1u << d;
    return out;
}

void flag_intersect_cell(const Domain& domain, const PlacedSurface& surface, SfcKey key, CellStatus& status) {
    if (surface.cuts(domain.closed_cell_box(key))) status = STATUS_INTERSECTED;
}

void mark_leaves_in(const Domain& domain, const PlacedSurface& surface, SfcKey node, const SfcKey* keys,
                    std::size_t n, CellStatus* out, std::vector<std::uint32_t>& scratch) {
    if (n == 0) return;
    scratch.clear();
    const CellBox box = domain.closed_cell_box(node);
    surface.candidates(box, scratch);
    // The node's own list: the candidates that meet its box.
    std::size_t len = 0;
    for (const std::uint32_t k : scratch) {
        if (!surface.meets(k, box)) continue;
        if (n == 1 && keys[0] == node) {
            out[0] = STATUS_INTERSECTED;
            return;
        }
        scratch[len++] = k;
    }
    scratch.resize(len);
    if (len == 0 || (n == 1 && keys[0] == node)) return;
    const MarkPass pass{domain, surface, keys, out};
    pass.children(node, box, 0, n, scratch, 0, len);
}

namespace {

// mark_intersected_cells; with `reset`, each tree's statuses are set to
// STATUS_DEFAULT by the worker that marks the tree, just before.
void mark_trees(const Forest& forest, const Domain& domain, const RigidPose& pose, const IbmMesh& mesh,
                std::span<CellStatus> status, bool reset) {
    const std::size_t n = std::min<std::size_t>(status.size(), forest.leaves.size());
    if (n == 0) return;
    const SfcKey* keys = forest.leaves.data();
    const PlacedSurface surface(mesh, pose);
    // Trees hold consecutive leaves; only leaves below n are marked.
    const std::uint32_t first = keys[0].tree();
    const std::uint32_t last = keys[n - 1].tree();
    parallel::for_chunks(std::size_t{last} - first + 1, TREE_GRAIN, [&](std::size_t tb, std::size_t te) {
        std::vector<std::uint32_t> scratch;
        for (std::size_t t = tb; t != te; ++t) {
            const auto tree = static_cast<std::uint32_t>(first + t);
            const SfcKey* b = std::partition_point(keys, keys + n, [&](SfcKey k) { return k.tree() < tree; });
            const SfcKey* e = std::partition_point(b, keys + n, [&](SfcKey k) { return k.tree() <= tree; });
            CellStatus* out = status.data() + (b - keys);
            if (reset) std::fill(out, out + (e - b), STATUS_DEFAULT);
            mark_leaves_in(domain, surface, SfcKey::root(tree), b, static_cast<std::size_t>(e - b), out, scratch);
        }
    });
}

}  // namespace

void mark_intersected_cells(const Forest& forest, const Domain& domain, const RigidPose& pose,
                            const IbmMesh& mesh, std::span<CellStatus> status) {
    mark_trees(forest, domain, pose, mesh, status, false);
}

Buffer<CellStatus> initial_cell_status(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                       const RigidPose& pose) {
    // Every leaf lies in one tree, so the trees' resets write every status;
    // each page is first touched by a worker marking a tree.
    Buffer<CellStatus> status(forest.leaves.size());
    mark_trees(forest, domain, pose, mesh, status, true);
    return status;
}

}  // namespace quorin::flood
