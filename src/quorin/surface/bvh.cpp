// The triangle hierarchy: a binned-SAH bounding-volume hierarchy over the
// triangles' boxes, stored as a flat depth-first node array, and the three
// queries that run on it with iterative, allocation-free traversals.
#include "quorin/surface/bvh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "quorin/error.hpp"
#include "quorin/parallel.hpp"

namespace quorin {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NAN_D = std::numeric_limits<double>::quiet_NaN();
constexpr double UNIT_ROUNDOFF = 0x1p-53;

// Relative safety margin of the traversals' node tests. Every triangle test
// works in rounded arithmetic on coordinates of magnitude up to (query
// magnitude + surface magnitude); node boxes are widened by this fraction of
// that magnitude (some 8000 roundings) so that a node is never skipped while
// one of its triangles would still pass its own test. It only costs work.
constexpr double NODE_MARGIN = 0x1p-40;

// Beyond this magnitude the SAH areas and the exact predicates could overflow;
// such surfaces are split by medians and decided in floating point alone.
constexpr double HUGE_COORD = 1e100;

constexpr int BINS = 16;
constexpr std::uint32_t MAX_LEAF = 8;
// Ranges at most this long are built as independent jobs on the pool.
constexpr std::size_t JOB_SIZE = 4096;
// Ranges at least this long are binned in parallel chunks.
constexpr std::size_t PARALLEL_BINNING = std::size_t{1} << 16;
constexpr std::size_t BINNING_GRAIN = std::size_t{1} << 14;
// From this depth on nodes are split at the median, which bounds the depth
// by MEDIAN_DEPTH + 32 whatever the input.
constexpr int MEDIAN_DEPTH = 48;
constexpr int STACK_SIZE = 128;

inline bool finite3(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

inline double max_abs3(const Vec3& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}

inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline Vec3 add_scaled(const Vec3& a, const Vec3& d, double s) {
    return {a[0] + d[0] * s, a[1] + d[1] * s, a[2] + d[2] * s};
}

// ---------------------------------------------------------------------------
// Exact sign of a short sum of products of doubles (error-free transforms and
// a growing expansion). Used only when the rounded evaluation is too close to
// zero to decide.

inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bv = s - a;
    const double av = s - bv;
    e = (a - av) + (b - bv);
}

inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double big = c - a;
    hi = c - big;
    lo = a - hi;
}

inline void two_product(double a, double b, double& p, double& e) {
    p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    const double e1 = p - ah * bh;
    const double e2 = e1 - al * bh;
    const double e3 = e2 - ah * bl;
    e = al * bl - e3;
}

// A nonoverlapping expansion, components in increasing magnitude.
struct Expansion {
    double c[32];
    int n = 0;

    void add(double b) {
        double q = b;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            double s, h;
            two_sum(q, c[i], s, h);
            q = s;
            if (h != 0) c[m++] = h;
        }
        c[m++] = q;
        n = m;
    }
    void add_product(double a, double b) {
        double p, e;
        two_product(a, b, p, e);
        add(e);
        add(p);
    }
    int sign() const {
        for (int i = n - 1; i >= 0; --i) {
            if (c[i] > 0) return 1;
            if (c[i] < 0) return -1;
        }
        return 0;
    }
};

// Exact sign of axis·(v − centre) + s·Σ|axis_j|·half_j, s = ±1.
int exact_projection_sign(const Vec3& axis, const Vec3& v, const Vec3& centre, const Vec3& half,
                          double s) {
    Expansion x;
    for (int j = 0; j < 3; ++j) {
        x.add_product(axis[j], v[j]);
        x.add_product(-axis[j], centre[j]);
        x.add_product(s * std::fabs(axis[j]), half[j]);
    }
    return x.sign();
}

// Exact sign of (v − c) + s·h.
int exact_face_sign(double v, double c, double h, double s) {
    Expansion x;
    x.add(v);
    x.add(-c);
    x.add(s * h);
    return x.sign();
}

// Exactly collinear corners (a zero-area triangle): every component of
// (b − a) × (c − a) vanishes in exact arithmetic.
bool exactly_collinear(const Vec3& a, const Vec3& b, const Vec3& c) {
    const Vec3 ab = sub(b, a);
    const Vec3 ac = sub(c, a);
    const bool exact_ok = max_abs3(a) < HUGE_COORD && max_abs3(b) < HUGE_COORD && max_abs3(c) < HUGE_COORD;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        const double n = ab[j] * ac[k] - ab[k] * ac[j];
        const double bound = 8 * UNIT_ROUNDOFF * (std::fabs(ab[j] * ac[k]) + std::fabs(ab[k] * ac[j]));
        if (std::fabs(n) > bound) return false;
        if (!exact_ok) {
            if (n != 0) return false;
            continue;
        }
        // (b_j − a_j)(c_k − a_k) − (b_k − a_k)(c_j − a_j), expanded.
        Expansion x;
        x.add_product(b[j], c[k]);
        x.add_product(-b[j], a[k]);
        x.add_product(-a[j], c[k]);
        x.add_product(b[k], -c[j]);
        x.add_product(b[k], a[j]);
        x.add_product(a[k], c[j]);
        if (x.sign() != 0) return false;
    }
    return true;
}

// Sign of (v − c) + s·h: rounded evaluation, exact when too close to call.
inline int face_sign(double v, double c, double h, double s, bool exact_ok) {
    const double d = v - c;
    const double value = d + s * h;
    const double bound = 4 * UNIT_ROUNDOFF * (std::fabs(d) + h);
    if (value > bound) return 1;
    if (value < -bound) return -1;
    if (!exact_ok) return value > 0 ? 1 : (value < 0 ? -1 : 0);
    return exact_face_sign(v, c, h, s);
}

// Does `axis` separate the closed triangle (its vertices v, offsets d = v − centre,
// dmax = largest |offset component|) from the closed box?
bool separates(const Vec3& axis, const Vec3 (&v)[3], const Vec3 (&d)[3], double dmax,
               const Vec3& centre, const Vec3& half, bool exact_ok) {
    const double ax = std::fabs(axis[0]), ay = std::fabs(axis[1]), az = std::fabs(axis[2]);
    const double r = (ax * half[0] + ay * half[1]) + az * half[2];
    const double p0 = dot(axis, d[0]);
    const double p1 = dot(axis, d[1]);
    const double p2 = dot(axis, d[2]);
    const double pmin = std::min({p0, p1, p2});
    const double pmax = std::max({p0, p1, p2});
    // Rounding of the offsets, the projections, the radius and the final
    // difference stays below 8.1 roundings of (|axis|₁·dmax + r).
    const double bound = 16 * UNIT_ROUNDOFF * (((ax + ay) + az) * dmax + r);
    const double low = pmin - r;    // > 0: every vertex beyond +r
    const double high = pmax + r;   // < 0: every vertex beyond −r
    if (low > bound || high < -bound) return true;
    if (low < -bound && high > bound) return false;
    if (!exact_ok) return low > 0 || high < 0;
    const double p[3] = {p0, p1, p2};
    if (!(low < -bound)) {
        bool all = true;
        for (int k = 0; k < 3 && all; ++k) {
            if (p[k] - r > bound) continue;
            all = exact_projection_sign(axis, v[k], centre, half, -1.0) > 0;
        }
        if (all) return true;
    }
    if (!(high > bound)) {
        bool all = true;
        for (int k = 0; k < 3 && all; ++k) {
            if (p[k] + r < -bound) continue;
            all = exact_projection_sign(axis, v[k], centre, half, 1.0) < 0;
        }
        if (all) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Ray set-up for the watertight triangle test: the ray is sheared so that it
// runs along +z' from the origin; the dominant axis of the direction is z'.

struct RayFrame {
    Vec3 origin;
    Vec3 dir;
    int kx, ky, kz;
    double sx, sy, sz;
};

inline RayFrame make_ray_frame(const Vec3& origin, const Vec3& dir) {
    RayFrame r;
    r.origin = origin;
    r.dir = dir;
    int kz = 0;
    if (std::fabs(dir[1]) > std::fabs(dir[kz])) kz = 1;
    if (std::fabs(dir[2]) > std::fabs(dir[kz])) kz = 2;
    int kx = (kz + 1) % 3;
    int ky = (kx + 1) % 3;
    // Keeps the sheared frame right-handed, so the sign of the determinant
    // tells the sides apart.
    if (dir[kz] < 0) std::swap(kx, ky);
    r.kx = kx;
    r.ky = ky;
    r.kz = kz;
    r.sx = dir[kx] / dir[kz];
    r.sy = dir[ky] / dir[kz];
    r.sz = 1.0 / dir[kz];
    return r;
}

// Hit of the ray with the closed triangle at 0 <= t <= tmax: the edge
// functions of a shared edge are computed from the same operands in both
// triangles (with opposite signs), so no ray slips between them.
inline bool ray_triangle_frame(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c,
                               double tmax, double& t, bool& back) {
    const Vec3 A = sub(a, r.origin);
    const Vec3 B = sub(b, r.origin);
    const Vec3 C = sub(c, r.origin);
    const double Ax = A[r.kx] - r.sx * A[r.kz];
    const double Ay = A[r.ky] - r.sy * A[r.kz];
    const double Bx = B[r.kx] - r.sx * B[r.kz];
    const double By = B[r.ky] - r.sy * B[r.kz];
    const double Cx = C[r.kx] - r.sx * C[r.kz];
    const double Cy = C[r.ky] - r.sy * C[r.kz];
    const double U = Cx * By - Cy * Bx;
    const double V = Ax * Cy - Ay * Cx;
    const double W = Bx * Ay - By * Ax;
    if ((U < 0 || V < 0 || W < 0) && (U > 0 || V > 0 || W > 0)) return false;
    const double det = U + V + W;
    if (!(det > 0 || det < 0)) return false;  // ray in the plane, or NaN
    const double Az = r.sz * A[r.kz];
    const double Bz = r.sz * B[r.kz];
    const double Cz = r.sz * C[r.kz];
    const double T = (U * Az + V * Bz) + W * Cz;
    const double tt = T / det;
    if (!(tt >= 0 && tt <= tmax) || !std::isfinite(tt)) return false;
    t = tt;
    back = det < 0;
    return true;
}

// ---------------------------------------------------------------------------
// Closest points.

Vec3 closest_on_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
    const Vec3 ab = sub(b, a);
    const double len2 = dot(ab, ab);
    if (!(len2 > 0)) return a;
    double s = dot(sub(p, a), ab) / len2;
    if (!(s > 0)) return a;
    if (s >= 1) return b;
    return add_scaled(a, ab, s);
}

inline double dist2(const Vec3& a, const Vec3& b) {
    const Vec3 d = sub(a, b);
    return dot(d, d);
}

Vec3 closest_on_edges(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    Vec3 best = closest_on_segment(p, a, b);
    double bd = dist2(best, p);
    const Vec3 q1 = closest_on_segment(p, b, c);
    const double d1 = dist2(q1, p);
    if (d1 < bd) {
        best = q1;
        bd = d1;
    }
    const Vec3 q2 = closest_on_segment(p, c, a);
    if (dist2(q2, p) < bd) best = q2;
    return best;
}

// ---------------------------------------------------------------------------
// Hierarchy build.

struct Aabb {
    Vec3 lo{INF, INF, INF};
    Vec3 hi{-INF, -INF, -INF};

    void grow(const Aabb& o) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], o.lo[a]);
            hi[a] = std::max(hi[a], o.hi[a]);
        }
    }
    void grow(const Vec3& p) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
    // Half the surface area (0 for an empty box).
    double half_area() const {
        const double dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
        if (!(dx >= 0 && dy >= 0 && dz >= 0)) return 0;
        return (dx * dy + dy * dz) + dz * dx;
    }
};

// Outward rounding to single precision.
inline float round_down(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}
inline float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// A triangle's box, rounded outwards to single precision.
struct Prim {
    std::array<float, 3> lo;
    std::array<float, 3> hi;
    std::uint32_t tri;

    double centroid(int a) const { return 0.5 * static_cast<double>(lo[a]) + 0.5 * static_cast<double>(hi[a]); }
    Vec3 centroid() const { return {centroid(0), centroid(1), centroid(2)}; }
    Vec3 dlo() const { return {lo[0], lo[1], lo[2]}; }
    Vec3 dhi() const { return {hi[0], hi[1], hi[2]}; }
};

// Bounds of a range and of its centroids.
struct RangeBounds {
    Aabb box;
    Aabb cbox;

    void grow(const Prim& p) {
        box.grow(Aabb{p.dlo(), p.dhi()});
        cbox.grow(p.centroid());
    }
    void grow(const RangeBounds& o) {
        box.grow(o.box);
        cbox.grow(o.cbox);
    }
};

struct Bin {
    RangeBounds bounds;
    std::uint32_t count = 0;
};

struct Bins {
    Bin bin[3][BINS];

    void merge(const Bins& o) {
        for (int a = 0; a < 3; ++a)
            for (int k = 0; k < BINS; ++k) {
                bin[a][k].bounds.grow(o.bin[a][k].bounds);
                bin[a][k].count += o.bin[a][k].count;
            }
    }
};

// The bin of a centroid coordinate; identical in binning and partitioning.
inline int bin_of(double c, double cmin, double scale) {
    const double x = (c - cmin) * scale;
    int k = static_cast<int>(x);
    return k > BINS - 1 ? BINS - 1 : k;
}

// Bounds are minima and maxima, exact in any order: the parallel passes give
// the same values as a sequential one.
RangeBounds bounds_of(const Prim* p, std::size_t n) {
    if (n < PARALLEL_BINNING) {
        RangeBounds r;
        for (std::size_t i = 0; i < n; ++i) r.grow(p[i]);
        return r;
    }
    std::vector<RangeBounds> parts(parallel::detail::chunk_count(n, BINNING_GRAIN));
    parallel::for_chunks(n, BINNING_GRAIN, [&](std::size_t b, std::size_t e) {
        RangeBounds& r = parts[b / BINNING_GRAIN];
        for (std::size_t i = b; i < e; ++i) r.grow(p[i]);
    });
    RangeBounds r;
    for (const auto& part : parts) r.grow(part);
    return r;
}

struct BinSetup {
    bool active[3];
    double cmin[3];
    double scale[3];
};

void bin_chunk(const Prim* p, std::size_t b, std::size_t e, const BinSetup& s, Bins& out) {
    for (std::size_t i = b; i < e; ++i) {
        const Prim& q = p[i];
        const Vec3 c = q.centroid();
        for (int a = 0; a < 3; ++a) {
            if (!s.active[a]) continue;
            Bin& bin = out.bin[a][bin_of(c[a], s.cmin[a], s.scale[a])];
            bin.bounds.box.grow(Aabb{q.dlo(), q.dhi()});
            bin.bounds.cbox.grow(c);
            ++bin.count;
        }
    }
}

void bin_range(const Prim* p, std::size_t n, const BinSetup& s, Bins& out) {
    if (n < PARALLEL_BINNING) {
        bin_chunk(p, 0, n, s, out);
        return;
    }
    std::vector<Bins> parts(parallel::detail::chunk_count(n, BINNING_GRAIN));
    parallel::for_chunks(n, BINNING_GRAIN, [&](std::size_t b, std::size_t e) {
        bin_chunk(p, b, e, s, parts[b / BINNING_GRAIN]);
    });
    for (const auto& part : parts) out.merge(part);
}

enum class SplitKind { Leaf, Sah, Median };

struct Split {
    SplitKind kind = SplitKind::Leaf;
    int axis = 0;
    int bin = 0;  // Sah: left holds bins below this one
    BinSetup setup{};
    RangeBounds left, right;
};

// The split of one node; a pure function of the range's contents and depth,
// so the tree does not depend on which thread builds which part.
Split choose_split(const Prim* p, std::size_t n, const RangeBounds& r, int depth, bool huge) {
    Split s;
    if (n <= 1) return s;
    BinSetup& setup = s.setup;
    bool any = false;
    int widest = 0;
    double widest_extent = -1;
    for (int a = 0; a < 3; ++a) {
        const double extent = r.cbox.hi[a] - r.cbox.lo[a];
        const double scale = BINS / extent;
        setup.active[a] = extent > 0 && std::isfinite(extent) && std::isfinite(scale);
        setup.cmin[a] = r.cbox.lo[a];
        setup.scale[a] = scale;
        any = any || setup.active[a];
        if (extent > widest_extent) {
            widest_extent = extent;
            widest = a;
        }
    }
    if (!any) {
        // Every centroid coincides: only splitting the list itself helps.
        if (n <= MAX_LEAF) return s;
        s.kind = SplitKind::Median;
        s.axis = 0;
        return s;
    }
    if (depth >= MEDIAN_DEPTH || huge) {
        s.kind = SplitKind::Median;
        s.axis = widest;
        return s;
    }
    Bins bins;
    bin_range(p, n, setup, bins);
    const double area = r.box.half_area();
    double best = INF;
    for (int a = 0; a < 3; ++a) {
        if (!setup.active[a]) continue;
        // Right-to-left sweep for the right sides, then left-to-right.
        double right_cost[BINS];
        RangeBounds acc;
        std::uint32_t cnt = 0;
        for (int k = BINS - 1; k >= 1; --k) {
            acc.grow(bins.bin[a][k].bounds);
            cnt += bins.bin[a][k].count;
            right_cost[k] = cnt == 0 ? -1 : acc.box.half_area() * cnt;
        }
        RangeBounds lacc;
        std::uint32_t lcnt = 0;
        for (int k = 1; k < BINS; ++k) {
            lacc.grow(bins.bin[a][k - 1].bounds);
            lcnt += bins.bin[a][k - 1].count;
            if (lcnt == 0 || right_cost[k] < 0) continue;
            const double cost = lacc.box.half_area() * lcnt + right_cost[k];
            if (cost < best) {
                best = cost;
                s.axis = a;
                s.bin = k;
            }
        }
    }
    if (!(best < INF)) {
        s.kind = SplitKind::Median;
        s.axis = widest;
        return s;
    }
    // Leaf cost n·area against one traversal step plus both children.
    if (n <= MAX_LEAF && area + best >= area * static_cast<double>(n)) return s;
    s.kind = SplitKind::Sah;
    for (int k = 0; k < BINS; ++k) (k < s.bin ? s.left : s.right).grow(bins.bin[s.axis][k].bounds);
    return s;
}

// Applies a split to the range; returns the length of the left part.
std::size_t apply_split(Prim* p, std::size_t n, Split& s) {
    if (s.kind == SplitKind::Sah) {
        const int a = s.axis;
        const double cmin = s.setup.cmin[a], scale = s.setup.scale[a];
        const int k = s.bin;
        Prim* mid = std::partition(p, p + n, [&](const Prim& q) { return bin_of(q.centroid(a), cmin, scale) < k; });
        return static_cast<std::size_t>(mid - p);
    }
    const int a = s.axis;
    const std::size_t half = n / 2;
    std::nth_element(p, p + half, p + n, [a](const Prim& x, const Prim& y) {
        const double cx = x.centroid(a), cy = y.centroid(a);
        return cx < cy || (cx == cy && x.tri < y.tri);
    });
    s.left = bounds_of(p, half);
    s.right = bounds_of(p + half, n - half);
    return half;
}

using Node = TriMesh::Node;

Node make_node(const RangeBounds& r) {
    Node node;
    for (int a = 0; a < 3; ++a) {
        node.lo[a] = round_down(r.box.lo[a]);
        node.hi[a] = round_up(r.box.hi[a]);
    }
    node.index = 0;
    node.count = 0;
    return node;
}

// Depth-first build of one range into `out` (node indices local to `out`,
// leaf offsets global).
void build_range(Prim* base, std::size_t b, std::size_t e, const RangeBounds& r, int depth, bool huge,
                 std::vector<Node>& out, std::size_t& max_depth) {
    const std::size_t id = out.size();
    out.push_back(make_node(r));
    Split s = choose_split(base + b, e - b, r, depth, huge);
    if (s.kind == SplitKind::Leaf) {
        out[id].index = static_cast<std::uint32_t>(b);
        out[id].count = static_cast<std::uint32_t>(e - b);
        max_depth = std::max(max_depth, static_cast<std::size_t>(depth) + 1);
        return;
    }
    const std::size_t m = b + apply_split(base + b, e - b, s);
    build_range(base, b, m, s.left, depth + 1, huge, out, max_depth);
    out[id].index = static_cast<std::uint32_t>(out.size());
    build_range(base, m, e, s.right, depth + 1, huge, out, max_depth);
}

// The upper part of the tree, split on the calling thread; its ranges of at
// most JOB_SIZE triangles are built afterwards as independent jobs.
struct TopNode {
    RangeBounds bounds;
    std::size_t b, e;
    int depth;
    int job = -1;  // index into the job list, or -1 for an inner node
    std::size_t left = 0, right = 0;
};

std::size_t build_top(Prim* base, std::size_t b, std::size_t e, const RangeBounds& r, int depth, bool huge,
                      std::vector<TopNode>& tops, std::vector<std::size_t>& jobs) {
    const std::size_t id = tops.size();
    tops.push_back(TopNode{r, b, e, depth});
    if (e - b <= JOB_SIZE) {
        tops[id].job = static_cast<int>(jobs.size());
        jobs.push_back(id);
        return id;
    }
    Split s = choose_split(base + b, e - b, r, depth, huge);
    // A range longer than MAX_LEAF is never a leaf.
    const std::size_t m = b + apply_split(base + b, e - b, s);
    const std::size_t left = build_top(base, b, m, s.left, depth + 1, huge, tops, jobs);
    const std::size_t right = build_top(base, m, e, s.right, depth + 1, huge, tops, jobs);
    tops[id].left = left;
    tops[id].right = right;
    return id;
}

void assemble(const std::vector<TopNode>& tops, const std::vector<std::vector<Node>>& job_nodes, std::size_t id,
              std::vector<Node>& out) {
    const TopNode& t = tops[id];
    if (t.job >= 0) {
        const auto base = static_cast<std::uint32_t>(out.size());
        for (Node n : job_nodes[static_cast<std::size_t>(t.job)]) {
            if (n.count == 0) n.index += base;
            out.push_back(n);
        }
        return;
    }
    const std::size_t me = out.size();
    out.push_back(make_node(t.bounds));
    assemble(tops, job_nodes, t.left, out);
    out[me].index = static_cast<std::uint32_t>(out.size());
    assemble(tops, job_nodes, t.right, out);
}

// ---------------------------------------------------------------------------
// Node tests.

inline bool node_overlaps(const Node& n, const Vec3& lo, const Vec3& hi) {
    return n.lo[0] <= hi[0] && n.hi[0] >= lo[0] && n.lo[1] <= hi[1] && n.hi[1] >= lo[1] && n.lo[2] <= hi[2] &&
           n.hi[2] >= lo[2];
}

struct RaySlab {
    Vec3 origin;
    Vec3 inv;
    bool parallel[3];
    double margin;
};

// Entry time of the ray into the node box widened by the margin, clipped to
// [0, tmax]; false when the clipped interval is empty.
inline bool slab_enter(const RaySlab& r, const Node& n, double tmax, double& tenter) {
    double t0 = 0, t1 = tmax;
    for (int a = 0; a < 3; ++a) {
        const double lo = n.lo[a] - r.margin;
        const double hi = n.hi[a] + r.margin;
        if (r.parallel[a]) {
            if (r.origin[a] < lo || r.origin[a] > hi) return false;
            continue;
        }
        double ta = (lo - r.origin[a]) * r.inv[a];
        double tb = (hi - r.origin[a]) * r.inv[a];
        if (ta > tb) std::swap(ta, tb);
        t0 = ta > t0 ? ta : t0;
        t1 = tb < t1 ? tb : t1;
        if (t0 > t1) return false;
    }
    tenter = t0;
    return true;
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

}  // namespace

// ---------------------------------------------------------------------------
// Per-triangle primitives.

namespace trimesh {

bool triangle_meets_box(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& centre, const Vec3& half) {
    const Vec3 v[3] = {a, b, c};
    const bool exact_ok = max_abs3(a) < HUGE_COORD && max_abs3(b) < HUGE_COORD && max_abs3(c) < HUGE_COORD &&
                          max_abs3(centre) < HUGE_COORD && max_abs3(half) < HUGE_COORD;
    // The box's own axes: the triangle's extent against the box's.
    for (int i = 0; i < 3; ++i) {
        const double lo = std::min({a[i], b[i], c[i]});
        const double hi = std::max({a[i], b[i], c[i]});
        if (face_sign(lo, centre[i], half[i], -1.0, exact_ok) > 0) return false;
        if (face_sign(hi, centre[i], half[i], 1.0, exact_ok) < 0) return false;
    }
    const Vec3 d[3] = {sub(a, centre), sub(b, centre), sub(c, centre)};
    const double dmax = std::max({max_abs3(d[0]), max_abs3(d[1]), max_abs3(d[2])});
    const Vec3 f[3] = {sub(b, a), sub(c, b), sub(a, c)};
    // The triangle's plane.
    const Vec3 normal = cross(f[0], {-f[2][0], -f[2][1], -f[2][2]});
    if (separates(normal, v, d, dmax, centre, half, exact_ok)) return false;
    // Box axis × triangle edge.
    for (int k = 0; k < 3; ++k) {
        const Vec3& e = f[k];
        const Vec3 axes[3] = {{0.0, -e[2], e[1]}, {e[2], 0.0, -e[0]}, {-e[1], e[0], 0.0}};
        for (const Vec3& axis : axes) {
            if (separates(axis, v, d, dmax, centre, half, exact_ok)) return false;
        }
    }
    return true;
}

std::optional<RayHit> ray_triangle(const Vec3& origin, const Vec3& dir, double max_toi, const Vec3& a,
                                   const Vec3& b, const Vec3& c) {
    if (!finite3(origin) || !finite3(dir) || std::isnan(max_toi)) return std::nullopt;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return std::nullopt;
    if (exactly_collinear(a, b, c)) return std::nullopt;
    const RayFrame r = make_ray_frame(origin, dir);
    double t;
    bool back;
    if (!ray_triangle_frame(r, a, b, c, max_toi, t, back)) return std::nullopt;
    return RayHit{t, 0, back};
}

Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    // The foot of p on the triangle's plane when it lies inside the triangle,
    // else the nearest point of the three edges. The inside test uses the
    // edge functions of p itself against the computed normal, so for a sliver
    // (whose normal is mostly rounding) it only says inside when p's foot
    // lies within the sliver, and the foot is then as near as the sliver.
    const Vec3 ab = sub(b, a);
    const Vec3 ac = sub(c, a);
    const Vec3 n = cross(ab, ac);
    if (dot(n, n) > 0) {
        const double wc = dot(cross(ab, sub(p, a)), n);
        const double wa = dot(cross(sub(c, b), sub(p, b)), n);
        const double wb = dot(cross(sub(a, c), sub(p, c)), n);
        const double sum = (wa + wb) + wc;
        if (wa >= 0 && wb >= 0 && wc >= 0 && sum > 0 && std::isfinite(sum)) {
            const double u = wb / sum;
            const double v = wc / sum;
            return {(a[0] + ab[0] * u) + ac[0] * v, (a[1] + ab[1] * u) + ac[1] * v,
                    (a[2] + ab[2] * u) + ac[2] * v};
        }
    }
    return closest_on_edges(p, a, b, c);
}

}  // namespace trimesh

// ---------------------------------------------------------------------------

TriMesh::TriMesh(std::vector<Vec3> vertices, std::vector<Triangle> triangles)
    : vertices_(std::move(vertices)), triangles_(std::move(triangles)) {
    const std::size_t nv = vertices_.size();
    const std::size_t nt = triangles_.size();
    for (std::size_t i = 0; i < nt; ++i)
        for (std::uint32_t k : triangles_[i])
            if (k >= nv) index_out_of_bounds(k, nv);

    // Per-triangle boxes, in triangle order; triangles with a non-finite
    // coordinate are left out of the hierarchy.
    constexpr std::uint32_t LEFT_OUT = std::numeric_limits<std::uint32_t>::max();
    std::vector<Prim> prims = parallel::map(nt, [&](std::size_t i) {
        const Triangle& t = triangles_[i];
        const Vec3& a = vertices_[t[0]];
        const Vec3& b = vertices_[t[1]];
        const Vec3& c = vertices_[t[2]];
        Prim p;
        p.tri = LEFT_OUT;
        if (!finite3(a) || !finite3(b) || !finite3(c)) return p;
        for (int k = 0; k < 3; ++k) {
            p.lo[k] = round_down(std::min({a[k], b[k], c[k]}));
            p.hi[k] = round_up(std::max({a[k], b[k], c[k]}));
        }
        p.tri = static_cast<std::uint32_t>(i);
        return p;
    });
    std::erase_if(prims, [](const Prim& p) { return p.tri == LEFT_OUT; });
    if (prims.empty()) return;

    const RangeBounds root = bounds_of(prims.data(), prims.size());
    scale_ = std::max(max_abs3(root.box.lo), max_abs3(root.box.hi));
    const bool huge = !(scale_ < HUGE_COORD);

    std::vector<TopNode> tops;
    std::vector<std::size_t> jobs;
    build_top(prims.data(), 0, prims.size(), root, 0, huge, tops, jobs);

    std::vector<std::vector<Node>> job_nodes(jobs.size());
    std::vector<std::size_t> job_depth(jobs.size(), 0);
    parallel::for_chunks(jobs.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) {
            const TopNode& t = tops[jobs[j]];
            job_nodes[j].reserve(2 * (t.e - t.b));
            build_range(prims.data(), t.b, t.e, t.bounds, t.depth, huge, job_nodes[j], job_depth[j]);
        }
    });
    std::size_t total = tops.size();
    for (const auto& v : job_nodes) total += v.size();
    reserve_huge(nodes_, total);
    assemble(tops, job_nodes, 0, nodes_);
    depth_ = *std::max_element(job_depth.begin(), job_depth.end());

    reserve_huge(order_, prims.size());
    order_.resize(prims.size());
    for (std::size_t i = 0; i < prims.size(); ++i) order_[i] = prims[i].tri;
    flat_ = parallel::map(order_.size(), [&](std::size_t k) -> std::uint8_t {
        const Triangle& t = triangles_[order_[k]];
        return exactly_collinear(vertices_[t[0]], vertices_[t[1]], vertices_[t[2]]) ? 1 : 0;
    });
}

bool TriMesh::intersects_box(const Vec3& centre, const Vec3& half, const RigidPose& pose) const {
    if (nodes_.empty()) return false;
    if (!finite3(centre) || !finite3(half) || !finite3(pose.translation)) return false;
    if (!(half[0] >= 0 && half[1] >= 0 && half[2] >= 0)) return false;
    for (double q : pose.rotation)
        if (!std::isfinite(q)) return false;
    const bool identity = pose.is_identity();

    // The box's bounds in the surface's frame, widened by the margin.
    Vec3 qlo, qhi;
    if (identity) {
        for (int a = 0; a < 3; ++a) {
            const double m = NODE_MARGIN * (scale_ + std::fabs(centre[a]) + half[a]);
            qlo[a] = (centre[a] - half[a]) - m;
            qhi[a] = (centre[a] + half[a]) + m;
        }
    } else {
        const Vec3 c = pose.inverse_transform_point(centre);
        const Vec3 cols[3] = {pose.inverse_rotate({1, 0, 0}), pose.inverse_rotate({0, 1, 0}),
                              pose.inverse_rotate({0, 0, 1})};
        const double mag = scale_ + max_abs3(centre) + max_abs3(pose.translation) + max_abs3(c) +
                           ((half[0] + half[1]) + half[2]);
        for (int a = 0; a < 3; ++a) {
            const double h = (std::fabs(cols[0][a]) * half[0] + std::fabs(cols[1][a]) * half[1]) +
                             std::fabs(cols[2][a]) * half[2];
            const double m = NODE_MARGIN * mag;
            qlo[a] = (c[a] - h) - m;
            qhi[a] = (c[a] + h) + m;
        }
    }

    std::uint32_t stack[STACK_SIZE];
    int top = 0;
    if (!node_overlaps(nodes_[0], qlo, qhi)) return false;
    stack[top++] = 0;
    while (top > 0) {
        const Node& n = nodes_[stack[--top]];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
                const Triangle& t = triangles_[order_[k]];
                const Vec3& a = vertices_[t[0]];
                const Vec3& b = vertices_[t[1]];
                const Vec3& c = vertices_[t[2]];
                if (identity) {
                    if (trimesh::triangle_meets_box(a, b, c, centre, half)) return true;
                } else {
                    const Vec3 pa = pose.transform_point(a);
                    const Vec3 pb = pose.transform_point(b);
                    const Vec3 pc = pose.transform_point(c);
                    if (!finite3(pa) || !finite3(pb) || !finite3(pc)) continue;
                    if (trimesh::triangle_meets_box(pa, pb, pc, centre, half)) return true;
                }
            }
            continue;
        }
        const std::uint32_t left = static_cast<std::uint32_t>(&n - nodes_.data()) + 1;
        const std::uint32_t right = n.index;
        if (node_overlaps(nodes_[right], qlo, qhi)) stack[top++] = right;
        if (node_overlaps(nodes_[left], qlo, qhi)) stack[top++] = left;
    }
    return false;
}

std::optional<RayHit> TriMesh::cast_ray(const Vec3& origin, const Vec3& dir, double max_toi) const {
    if (nodes_.empty()) return std::nullopt;
    if (!finite3(origin) || !finite3(dir) || std::isnan(max_toi) || max_toi < 0) return std::nullopt;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return std::nullopt;

    const RayFrame frame = make_ray_frame(origin, dir);
    RaySlab slab;
    slab.origin = origin;
    for (int a = 0; a < 3; ++a) {
        slab.parallel[a] = dir[a] == 0;
        slab.inv[a] = slab.parallel[a] ? 0.0 : 1.0 / dir[a];
    }
    slab.margin = NODE_MARGIN * (scale_ + max_abs3(origin));

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
                const Triangle& t = triangles_[tri];
                double th;
                bool back;
                if (!ray_triangle_frame(frame, vertices_[t[0]], vertices_[t[1]], vertices_[t[2]], best_t, th, back))
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
        double tl, tr;
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

std::optional<RayHit> TriMesh::cast_ray_posed(const Vec3& origin, const Vec3& dir, double max_toi,
                                              const RigidPose& pose) const {
    if (pose.is_identity()) return cast_ray(origin, dir, max_toi);
    return cast_ray(pose.inverse_transform_point(origin), pose.inverse_rotate(dir), max_toi);
}

PointProjection TriMesh::project_point(const Vec3& p) const {
    if (nodes_.empty() || !finite3(p)) return {{NAN_D, NAN_D, NAN_D}, 0};
    const double margin = NODE_MARGIN * (scale_ + max_abs3(p));

    struct Entry {
        std::uint32_t node;
        double d2;
    };
    Entry stack[STACK_SIZE];
    int top = 0;
    double best_d2 = INF;
    std::uint32_t best_tri = 0;
    Vec3 best_point{NAN_D, NAN_D, NAN_D};
    bool found = false;

    stack[top++] = {0, box_dist2(nodes_[0], p, margin)};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.d2 > best_d2) continue;
        const Node& n = nodes_[entry.node];
        if (n.count > 0) {
            for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
                const std::uint32_t tri = order_[k];
                const Triangle& t = triangles_[tri];
                const Vec3 q = trimesh::closest_point_on_triangle(p, vertices_[t[0]], vertices_[t[1]], vertices_[t[2]]);
                const double d2 = dist2(q, p);
                if (!found || d2 < best_d2 || (d2 == best_d2 && tri < best_tri)) {
                    found = true;
                    best_d2 = d2;
                    best_tri = tri;
                    best_point = q;
                }
            }
            continue;
        }
        const std::uint32_t left = entry.node + 1;
        const std::uint32_t right = n.index;
        const double dl = box_dist2(nodes_[left], p, margin);
        const double dr = box_dist2(nodes_[right], p, margin);
        if (dl <= dr) {
            if (dr <= best_d2) stack[top++] = {right, dr};
            if (dl <= best_d2) stack[top++] = {left, dl};
        } else {
            if (dl <= best_d2) stack[top++] = {left, dl};
            if (dr <= best_d2) stack[top++] = {right, dr};
        }
    }
    return {best_point, best_tri};
}

}  // namespace quorin
