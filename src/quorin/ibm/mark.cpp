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

// The triangles that may meet a node's box are those that meet its parent's
// box, so each node filters its parent's list instead of searching the
// hierarchy again. The lists of a branch of the recursion are stacked in one
// vector: a node's list is scratch[off, off + len), its children's follow it.
struct MarkPass {
    const Domain& domain;
    const PlacedSurface& surface;
    const SfcKey* keys;
    CellStatus* out;

    // Marks the leaves keys[b, e), all of them inside `node`, given a list
    // that holds every triangle meeting the node's box.
    void subtree(SfcKey node, const CellBox& box, std::size_t b, std::size_t e, std::vector<std::uint32_t>& scratch,
                 std::size_t off, std::size_t len) const {
        if (b == e) return;
        if (e - b == 1 && keys[b] == node) {
            for (std::size_t j = off; j != off + len; ++j) {
                if (surface.meets(scratch[j], box)) {
                    out[b] = STATUS_INTERSECTED;
                    return;
                }
            }
            return;
        }
        const std::size_t sub = scratch.size();
        for (std::size_t j = off; j != off + len; ++j) {
            const std::uint32_t k = scratch[j];
            if (surface.meets(k, box)) scratch.push_back(k);
        }
        const std::size_t sub_len = scratch.size() - sub;
        if (sub_len != 0) children(node, box, b, e, scratch, sub, sub_len);
        scratch.resize(sub);
    }

    // The closed box of child d of a node with closed box `box`, whose
    // children meet at `mid`: each face is the one closed_cell_box gives the
    // child, as it computes the same grid position's coordinate.
    static CellBox child_box(const CellBox& box, const Vec3& mid, unsigned d) {
        CellBox c;
        for (int a = 0; a < 3; ++a) {
            const bool upper = ((d >> a) & 1u) != 0;
            c.min[a] = upper ? mid[a] : box.min[a];
            c.max[a] = upper ? box.max[a] : mid[a];
        }
        return c;
    }

    // The children of a node whose box the surface meets.
    void children(SfcKey node, const CellBox& box, std::size_t b, std::size_t e,
                  std::vector<std::uint32_t>& scratch, std::size_t off, std::size_t len) const {
        // Digit bit a picks the upper half on axis a; child 0's far corner is
        // where the children meet.
        const Vec3 mid = domain.closed_cell_box(node.child(0)).max;
        // The children's leaves follow each other in digit order.
        std::size_t bounds[9];
        bounds[0] = b;
        for (unsigned d = 0; d < 8; ++d) {
            const SfcKey child = node.child(d);
            bounds[d + 1] = static_cast<std::size_t>(
                std::partition_point(keys + bounds[d], keys + e, [&](SfcKey k) { return child.contains(k); }) -
                keys);
        }
        if (e - b >= PARALLEL_RANGE) {
            parallel::for_each_index(
                8,
                [&](std::size_t d) {
                    std::vector<std::uint32_t> own(scratch.begin() + static_cast<std::ptrdiff_t>(off),
                                                   scratch.begin() + static_cast<std::ptrdiff_t>(off + len));
                    const auto digit = static_cast<unsigned>(d);
                    subtree(node.child(digit), child_box(box, mid, digit), bounds[d], bounds[d + 1], own, 0, len);
                },
                1);
        } else {
            for (unsigned d = 0; d < 8; ++d)
                subtree(node.child(d), child_box(box, mid, d), bounds[d], bounds[d + 1], scratch, off, len);
        }
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

PlacedSurface::PlacedSurface(const IbmMesh& m, const RigidPose& p)
    : mesh(m), pose(p), tests(mesh.trimesh.box_tests(pose)) {}

bool PlacedSurface::cuts(const CellBox& box) const { return mesh.trimesh.intersects_box(box, pose, tests); }

void PlacedSurface::candidates(const CellBox& box, std::vector<std::uint32_t>& out) const {
    mesh.trimesh.box_candidates(box, pose, out);
}

bool PlacedSurface::meets(std::uint32_t k, const CellBox& box) const {
    return prepared_meets_bounds(tests[k], box.min, box.max);
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
    const MarkPass pass{domain, surface, keys, out};
    pass.subtree(node, box, 0, n, scratch, 0, scratch.size());
}

void mark_intersected_cells(const Forest& forest, const Domain& domain, const RigidPose& pose,
                            const IbmMesh& mesh, std::span<CellStatus> status) {
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
            mark_leaves_in(domain, surface, SfcKey::root(tree), b, static_cast<std::size_t>(e - b),
                           status.data() + (b - keys), scratch);
        }
    });
}

}  // namespace quorin::flood
