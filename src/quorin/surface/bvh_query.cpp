// The triangle hierarchy's queries: box intersection, nearest ray hit and
// closest point, each an iterative, allocation-free traversal of the node
// array with the predicates of predicates.hpp at the leaves.
#include <algorithm>
#include <cstddef>
#include <cmath>
#include <limits>
#include <utility>

#include "quorin/error.hpp"
#include "quorin/parallel.hpp"
#include "quorin/surface/bvh.hpp"
#include "quorin/surface/predicates.hpp"

namespace quorin {

using namespace geom;

namespace {

constexpr int STACK_SIZE = 128;

// Triangles per chunk of the box-test preparation: about 0.25 us each, and
// it runs once per refinement pass, so a surface of a few thousand
// triangles is spread over the whole pool.
constexpr std::size_t BOX_TEST_GRAIN = 256;

using Node = TriMesh::Node;
constexpr double NODE_MARGIN = TriMesh::NODE_MARGIN;


// The node's box widened by m overlaps [lo, hi].
inline bool node_overlaps(const Node& n, const Vec3& lo, const Vec3& hi, double m) {
    return n.lo[0] - m <= hi[0] && n.hi[0] + m >= lo[0] && n.lo[1] - m <= hi[1] && n.hi[1] + m >= lo[1] &&
           n.lo[2] - m <= hi[2] && n.hi[2] + m >= lo[2];
}

struct RaySlab {
    Vec3 origin;
    Vec3 inv;
    bool parallel[3];
    double margin;
    // Per axis, the node bound met first (0 for lo, 3 for hi, as an offset
    // into the node's six floats) and the other one, with the margin and the
    // origin folded into one offset each.
    int near[3], far[3];
    double near_off[3], far_off[3];
};

static_assert(offsetof(Node, lo) == 0 && offsetof(Node, hi) == 3 * sizeof(float));

RaySlab make_slab(const Vec3& origin, const Vec3& dir, double extra) {
    RaySlab r;
    r.origin = origin;
    r.margin = NODE_MARGIN * max_abs3(origin) + extra;
    for (int a = 0; a < 3; ++a) {
        r.parallel[a] = dir[a] == 0;
        r.inv[a] = r.parallel[a] ? 0.0 : 1.0 / dir[a];
        const bool neg = dir[a] < 0;
        r.near[a] = neg ? 3 + a : a;
        r.far[a] = neg ? a : 3 + a;
        r.near_off[a] = (neg ? r.margin : -r.margin) - origin[a];
        r.far_off[a] = (neg ? -r.margin : r.margin) - origin[a];
    }
    return r;
}

// Entry time of the ray into the node box widened by the ray's margin,
// clipped to [0, tmax]; false when the clipped interval is empty.
inline bool slab_enter(const RaySlab& r, const Node& n, double tmax, double& tenter) {
    const float* b = reinterpret_cast<const float*>(&n);  // lo then hi
    double t0 = 0, t1 = tmax;
    for (int a = 0; a < 3; ++a) {
        if (r.parallel[a]) {
            // The same for every node of this ray, so well predicted.
            if (r.origin[a] < n.lo[a] - r.margin || r.origin[a] > n.hi[a] + r.margin) return false;
            continue;
        }
        const double ta = (static_cast<double>(b[r.near[a]]) + r.near_off[a]) * r.inv[a];
        const double tb = (static_cast<double>(b[r.far[a]]) + r.far_off[a]) * r.inv[a];
        t0 = ta > t0 ? ta : t0;
        t1 = tb < t1 ? tb : t1;
    }
    tenter = t0;
    return t0 <= t1;
}

inline double box_dist2(const Node& n, const Vec3& p, double margin) {
    double d2 = 0;
    for (int a = 0; a < 3; ++a) {
        const double lo = n.lo[a] - margin;
        const double hi = n.hi[a] + margin;
        double g = 0;
        if (p[a] < lo) g = lo - p[a];
        else if (p[a] > hi) g = p[a] - hi;
        d2 += g * g;
    }
    return d2;
}

// box_dist2 of two nodes at once, on pairs of doubles and without branches
// on which side of each box p lies: the gap on an axis (lo - p below the box,
// p - hi above it, 0 within) is the largest of the three, as lo <= hi and p
// is finite, and it is squared and summed in the same order, so both values
// are box_dist2's.
using DoublePair = double __attribute__((vector_size(16)));

inline void box_dist2_pair(const Node& a, const Node& b, const Vec3& p, double margin, double& da,
                           double& db) {
    DoublePair d2 = {0.0, 0.0};
    for (int k = 0; k < 3; ++k) {
        const DoublePair lo = DoublePair{a.lo[k], b.lo[k]} - margin;
        const DoublePair hi = DoublePair{a.hi[k], b.hi[k]} + margin;
        const DoublePair below = lo - p[k];
        const DoublePair above = p[k] - hi;
        DoublePair g = below > above ? below : above;
        g = g > 0.0 ? g : DoublePair{0.0, 0.0};
        d2 += g * g;
    }
    da = d2[0];
    db = d2[1];
}

}  // namespace

bool TriMesh::intersects_box(const Vec3& centre, const Vec3& half, const RigidPose& pose) const {
    if (!finite3(centre) || !finite3(half)) return false;
    if (!(half[0] >= 0 && half[1] >= 0 && half[2] >= 0)) return false;
    const CellBox box{{centre[0] - half[0], centre[1] - half[1], centre[2] - half[2]},
                      {centre[0] + half[0], centre[1] + half[1], centre[2] + half[2]}};
    return intersects_box(box, pose);
}

bool TriMesh::intersects_box(const CellBox& box, const RigidPose& pose) const {
    return intersects_box_placed(box, pose, nullptr);
}

bool TriMesh::intersects_box(const CellBox& box, const RigidPose& pose, const Buffer<Corners>& placed) const {
    if (placed.size() != corners_.size()) assert_eq_failed("One placed triangle per triangle", corners_.size(), placed.size());
    return intersects_box_placed(box, pose, placed.data());
}

Buffer<TriMesh::Corners> TriMesh::placed_corners(const RigidPose& pose) const {
    return parallel::map_buffer(corners_.size(), [&](std::size_t k) -> Corners {
        const Corners& c = corners_[k];
        return {pose.transform_point(c[0]), pose.transform_point(c[1]), pose.transform_point(c[2])};
    });
}

// Calls visit(k) for the leaf position k of every triangle in a leaf of the
// hierarchy whose widened box overlaps the closed box (domain frame) brought
// into the surface's frame, until a call returns true; returns whether one
// did. Nothing is visited for a box with a non-finite bound or min above max,
// or a pose that is not finite.
template <class Visit>
bool TriMesh::visit_box_leaves(const CellBox& box, const RigidPose& pose, Visit&& visit) const {
    if (nodes_.empty()) return false;
    const Vec3& lo = box.min;
    const Vec3& hi = box.max;
    if (!finite3(lo) || !finite3(hi) || !finite3(pose.translation)) return false;
    if (!(lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2])) return false;
    for (double q : pose.rotation)
        if (!std::isfinite(q)) return false;

    // The box's bounds in the surface's frame; node boxes are widened by the
    // margin of the query's and their own magnitude.
    Vec3 qlo, qhi;
    double base = NODE_MARGIN * std::max(max_abs3(lo), max_abs3(hi));
    if (pose.is_identity()) {
        for (int a = 0; a < 3; ++a) {
            qlo[a] = lo[a];
            qhi[a] = hi[a];
        }
    } else {
        const Vec3 centre{0.5 * lo[0] + 0.5 * hi[0], 0.5 * lo[1] + 0.5 * hi[1], 0.5 * lo[2] + 0.5 * hi[2]};
        const Vec3 half{0.5 * hi[0] - 0.5 * lo[0], 0.5 * hi[1] - 0.5 * lo[1], 0.5 * hi[2] - 0.5 * lo[2]};
        const Vec3 c = pose.inverse_transform_point(centre);
        const Vec3 cols[3] = {pose.inverse_rotate({1, 0, 0}), pose.inverse_rotate({0, 1, 0}),
                              pose.inverse_rotate({0, 0, 1})};
        const double mag = max_abs3(lo) + max_abs3(hi) + max_abs3(pose.translation) + max_abs3(c) +
                           ((half[0] + half[1]) + half[2]);
        for (int a = 0; a < 3; ++a) {
            const double h = (std::fabs(cols[0][a]) * half[0] + std::fabs(cols[1][a]) * half[1]) +
                             std::fabs(cols[2][a]) * half[2];
            qlo[a] = c[a] - h;
            qhi[a] = c[a] + h;
        }
        base = NODE_MARGIN * mag;
    }

    std::uint32_t stack[STACK_SIZE];
    int top = 0;
    if (!node_overlaps(nodes_[0], qlo, qhi, base)) return false;
    stack[top++] = 0;
    while (top > 0) {
        const Node& n = nodes_[stack[--top]];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k)
                if (visit(k)) return true;
            continue;
        }
        const std::uint32_t left = static_cast<std::uint32_t>(&n - nodes_.data()) + 1;
        const std::uint32_t right = n.index;
        if (node_overlaps(nodes_[right], qlo, qhi, base)) stack[top++] = right;
        if (node_overlaps(nodes_[left], qlo, qhi, base)) stack[top++] = left;
    }
    return false;
}

bool TriMesh::leaf_meets_box(std::uint32_t k, const CellBox& box, const RigidPose& pose,
                             const Corners* placed) const {
    const Corners& c = corners_[k];
    if (pose.is_identity()) return triangle_meets_bounds(c[0], c[1], c[2], box.min, box.max);
    if (placed != nullptr) {
        const Corners& p = placed[k];
        return finite3(p[0]) && finite3(p[1]) && finite3(p[2]) &&
               triangle_meets_bounds(p[0], p[1], p[2], box.min, box.max);
    }
    const Vec3 pa = pose.transform_point(c[0]);
    const Vec3 pb = pose.transform_point(c[1]);
    const Vec3 pc = pose.transform_point(c[2]);
    return finite3(pa) && finite3(pb) && finite3(pc) && triangle_meets_bounds(pa, pb, pc, box.min, box.max);
}

Buffer<TriangleBoxTest> TriMesh::box_tests(const RigidPose& pose) const {
    Buffer<TriangleBoxTest> out(corners_.size());  // every entry prepared below
    const bool identity = pose.is_identity();
    const auto prepare = [&](std::size_t k) {
        const Corners& c = corners_[k];
        if (identity) {
            prepare_box_test(c[0], c[1], c[2], false, out[k]);
            return;
        }
        const Vec3 pa = pose.transform_point(c[0]);
        const Vec3 pb = pose.transform_point(c[1]);
        const Vec3 pc = pose.transform_point(c[2]);
        prepare_box_test(pa, pb, pc, !(finite3(pa) && finite3(pb) && finite3(pc)), out[k]);
    };
    parallel::for_each_index(corners_.size(), prepare, BOX_TEST_GRAIN);
    return out;
}

bool TriMesh::intersects_box(const CellBox& box, const RigidPose& pose,
                             const Buffer<TriangleBoxTest>& tests) const {
    if (tests.size() != corners_.size()) assert_eq_failed("One box test per triangle", corners_.size(), tests.size());
    return visit_box_leaves(box, pose,
                            [&](std::uint32_t k) { return prepared_meets_bounds(tests[k], box.min, box.max); });
}

bool TriMesh::intersects_box_placed(const CellBox& box, const RigidPose& pose, const Corners* placed) const {
    return visit_box_leaves(box, pose, [&](std::uint32_t k) { return leaf_meets_box(k, box, pose, placed); });
}

void TriMesh::box_candidates(const CellBox& box, const RigidPose& pose, std::vector<std::uint32_t>& out) const {
    visit_box_leaves(box, pose, [&](std::uint32_t k) {
        out.push_back(k);
        return false;
    });
}

std::optional<RayHit> TriMesh::cast_ray(const Vec3& origin, const Vec3& dir, double max_toi) const {
    if (nodes_.empty()) return std::nullopt;
    if (!finite3(origin) || !finite3(dir) || std::isnan(max_toi) || max_toi < 0) return std::nullopt;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return std::nullopt;

    const RayFrame frame = make_ray_frame(origin, dir);
    const RaySlab slab = make_slab(origin, dir, 0.0);

    struct Entry {
        std::uint32_t node;
        double t;
    };
    Entry stack[STACK_SIZE];
    int top = 0;
    double best_t = max_toi;
    std::uint32_t best_tri = 0;
    bool best_back = false;
    bool found = false;

    double t0;
    if (!slab_enter(slab, nodes_[0], best_t, t0)) return std::nullopt;
    stack[top++] = {0, t0};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.t > best_t) continue;
        const Node& n = nodes_[entry.node];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
                if (flat_[k]) continue;
                const std::uint32_t tri = order_[k];
                const Corners& t = corners_[k];
                double th;
                bool back;
                if (!ray_triangle_frame(frame, t[0], t[1], t[2], best_t, th, back))
                    continue;
                if (!found || th < best_t || tri < best_tri) {
                    found = true;
                    best_t = th;
                    best_tri = tri;
                    best_back = back;
                }
            }
            continue;
        }
        const std::uint32_t left = entry.node + 1;
        const std::uint32_t right = n.index;
        double tl = 0, tr = 0;
        const bool hl = slab_enter(slab, nodes_[left], best_t, tl);
        const bool hr = slab_enter(slab, nodes_[right], best_t, tr);
        // Nearer child on top of the stack.
        if (hl && hr) {
            if (tl <= tr) {
                stack[top++] = {right, tr};
                stack[top++] = {left, tl};
            } else {
                stack[top++] = {left, tl};
                stack[top++] = {right, tr};
            }
        } else if (hl) {
            stack[top++] = {left, tl};
        } else if (hr) {
            stack[top++] = {right, tr};
        }
    }
    if (!found) return std::nullopt;
    return RayHit{best_t, best_tri, best_back};
}

bool TriMesh::collect_stable_hits(const Vec3& origin, const Vec3& dir, double max_toi, double shift,
                                  RayHitList& out) const {
    out.count = 0;
    if (nodes_.empty()) return true;
    if (!finite3(origin) || !finite3(dir) || std::isnan(max_toi) || max_toi < 0) return true;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return true;

    const RayFrame frame = make_ray_frame(origin, dir);
    // Nodes within the shift of the ray are visited too: their triangles may
    // be fragile.
    const RaySlab slab = make_slab(origin, dir, 2 * shift);
    const double reach = max_toi + 2 * shift;

    std::uint32_t stack[STACK_SIZE];
    int top = 0;
    double t0;
    if (!slab_enter(slab, nodes_[0], reach, t0)) return true;
    stack[top++] = 0;
    while (top > 0) {
        const std::uint32_t id = stack[--top];
        const Node& n = nodes_[id];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
                if (flat_[k]) continue;
                const Corners& t = corners_[k];
                double th, err;
                switch (ray_triangle_stable(frame, t[0], t[1], t[2], max_toi,
                                            shift, th, err)) {
                    case RayOutcome::Miss:
                        break;
                    case RayOutcome::Fragile:
                        return false;
                    case RayOutcome::Hit:
                        if (out.count == RayHitList::CAPACITY) return false;
                        out.toi[out.count] = th;
                        out.error[out.count] = err;
                        ++out.count;
                        break;
                }
            }
            continue;
        }
        double tl, tr;
        if (slab_enter(slab, nodes_[n.index], reach, tr)) stack[top++] = n.index;
        if (slab_enter(slab, nodes_[id + 1], reach, tl)) stack[top++] = id + 1;
    }
    return true;
}

std::optional<RayHit> TriMesh::cast_ray_posed(const Vec3& origin, const Vec3& dir, double max_toi,
                                              const RigidPose& pose) const {
    if (pose.is_identity()) return cast_ray(origin, dir, max_toi);
    return cast_ray(pose.inverse_transform_point(origin), pose.inverse_rotate(dir), max_toi);
}

PointProjection TriMesh::project_point(const Vec3& p) const {
    PointProjection out{{NAN_D, NAN_D, NAN_D}, 0};
    if (nodes_.empty() || !finite3(p)) return out;
    project_point_within(p, INF, out);
    return out;
}

PointProjection TriMesh::project_point(const Vec3& p, double bound2) const {
    PointProjection out{{NAN_D, NAN_D, NAN_D}, 0};
    if (nodes_.empty() || !finite3(p)) return out;
    if (bound2 < INF && project_point_within(p, bound2, out)) return out;
    project_point_within(p, INF, out);
    return out;
}

// The search prunes every node farther than the best squared distance found
// so far, or than `bound2` before anything is found. Nodes are only pruned
// beyond the final best distance when that distance is within the bound, so
// the answer is exact then; false otherwise (the caller searches again
// without a bound).
bool TriMesh::project_point_within(const Vec3& p, double bound2, PointProjection& out) const {
    const double margin = NODE_MARGIN * max_abs3(p);

    struct Entry {
        std::uint32_t node;
        double d2;
    };
    Entry stack[STACK_SIZE];
    int top = 0;
    double best_d2 = bound2;
    std::uint32_t best_tri = 0;
    Vec3 best_point{NAN_D, NAN_D, NAN_D};
    bool found = false;

    // Depth first, the nearer child first (the left one on a tie): the
    // search goes straight on into it while it lies within the best distance
    // and keeps the farther one on the stack, checked again when taken off.
    if (box_dist2(nodes_[0], p, margin) > best_d2) return false;
    std::uint32_t node = 0;
    for (;;) {
        const Node& n = nodes_[node];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
                const std::uint32_t tri = order_[k];
                const Corners& t = corners_[k];
                const Vec3 q = geom::closest_point_on_triangle(p, t[0], t[1], t[2]);
                const double d2 = dist2(q, p);
                if (!found || d2 < best_d2 || (d2 == best_d2 && tri < best_tri)) {
                    found = true;
                    best_d2 = d2;
                    best_tri = tri;
                    best_point = q;
                }
            }
        } else {
            const std::uint32_t left = node + 1;
            const std::uint32_t right = n.index;
            double dl, dr;
            box_dist2_pair(nodes_[left], nodes_[right], p, margin, dl, dr);
            const bool left_first = dl <= dr;
            const std::uint32_t near = left_first ? left : right;
            const std::uint32_t far = left_first ? right : left;
            const double d_near = left_first ? dl : dr;
            const double d_far = left_first ? dr : dl;
            // Written either way, kept only within the best distance: no
            // branch on the far child's distance.
            stack[top] = {far, d_far};
            top += d_far <= best_d2 ? 1 : 0;
            if (d_near <= best_d2) {
                node = near;
                continue;
            }
        }
        // The next node from the stack that still lies within the best distance.
        while (top > 0 && stack[top - 1].d2 > best_d2) --top;
        if (top == 0) break;
        node = stack[--top].node;
    }
    if (!found || (bound2 < INF && !(best_d2 <= bound2))) return false;
    out = {best_point, best_tri};
    return true;
}

}  // namespace quorin