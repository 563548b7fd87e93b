#include "quorin/ibm/apibm.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "quorin/error.hpp"

namespace quorin::apibm {

namespace {

constexpr Vec3 AXIS_UNIT[3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};

// A bound as the clamp's message shows it: "NaN", "inf", "-inf", or the
// shortest round-trip digits with ".0" added to whole numbers.
std::string bound_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".eE") == std::string::npos) s += ".0";
    return s;
}

// v limited to [lo, hi]; bounds that are not ordered numbers are a violated
// invariant (a NaN bound comes only from non-finite cell centres).
double clamp_checked(double v, double lo, double hi) {
    if (!(lo <= hi))
        internal_error("min > max, or either was NaN. min = " + bound_text(lo) +
                       ", max = " + bound_text(hi));
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// Largest of the operands that are numbers; NaN only when all of them are.
// std::fmax without the library call; the operands here are never -0.
inline double max_number(double a, double b) { return std::isnan(a) ? b : (b > a ? b : a); }

// Back-off of a ray origin: relative to the centre distance and to the
// magnitude of the centre, so that the origin moves by a few ulps wherever
// the cell lies.
inline double back_off(double centre_distance, const Vec3& c) {
    return APIBM_EPS_FACTOR *
           max_number(max_number(max_number(std::fabs(centre_distance), std::fabs(c[0])),
                                 std::fabs(c[1])),
                      std::fabs(c[2]));
}

struct SideHit {
    double toi;
    std::uint64_t triangle;
    std::uint64_t patch;
};

// First crossing of the posed surface along origin + t·dir, t up to max_toi,
// with the face id brought back to its triangle and the triangle's patch.
// `cast` is the posed nearest-hit cast (origin, dir, limit).
template <class Cast>
std::optional<SideHit> cast_side(const IbmMesh& mesh, const Vec3& origin, const Vec3& dir,
                                 double max_toi, const Cast& cast) {
    // No time of impact lies above a NaN limit, so such a ray is unbounded.
    const double limit = std::isnan(max_toi) ? std::numeric_limits<double>::infinity() : max_toi;
    const std::optional<RayHit> hit = cast(origin, dir, limit);
    if (!hit) return std::nullopt;
    const std::uint64_t n_tri = mesh.trimesh.triangles().size();
    // A back-side hit is reported as triangle + triangle count.
    std::uint64_t id = std::uint64_t{hit->triangle} + (hit->back_side ? n_tri : 0);
    if (id >= n_tri) id %= n_tri;
    const auto& patches = mesh.triangle_patch_ids;
    if (id >= patches.size()) index_out_of_bounds(id, patches.size());
    return SideHit{hit->toi, id, patches[id]};
}

// The rule d / Δx ≤ Δx / L, evaluated as Δx / L ≥ d / Δx; false on NaN.
inline bool near_boundary(double h, double extent, double dist) {
    const double dx = std::fabs(h);
    return dx / extent >= dist / dx;
}

// The geometry of leaf `cell`, decoded from its key.
inline CellGeometry leaf_geometry(const Forest& forest, const Domain& domain, std::uint64_t cell) {
    return domain.cell_geometry(forest.leaves[cell].decode());
}

// The face's two casts through `cast`, the two cells' geometries given
// (those of their leaves, once `owner` and `neighbour` are checked) so that
// callers which hold them, or can derive them, do not decode the keys again.
template <class OwnerGeometryFn, class NeighbourGeometryFn, class Cast>
std::optional<ImmersedFace> face_with(const Forest& forest, const Domain& domain,
                                      const IbmMesh& mesh, std::uint64_t owner,
                                      const OwnerGeometryFn& owner_geometry,
                                      std::uint64_t neighbour,
                                      const NeighbourGeometryFn& neighbour_geometry, std::uint8_t axis,
                                      const Cast& cast) {
    const std::uint64_t cells = forest.leaves.size();
    if (owner >= cells) index_out_of_bounds(owner, cells);
    if (neighbour >= cells) index_out_of_bounds(neighbour, cells);
    const CellGeometry go = owner_geometry();
    const CellGeometry gn = neighbour_geometry();
    if (axis > 2) index_out_of_bounds(axis, 3);
    const Vec3& co = go.centre;
    const Vec3& cn = gn.centre;
    const Vec3& e = AXIS_UNIT[axis];

    const double d = cn[axis] - co[axis];
    const double abs_d = std::fabs(d);

    // Owner side: from just behind the owner's centre towards the neighbour.
    const double eps_o = back_off(d, co);
    const Vec3 origin_o{co[0] - eps_o * e[0], co[1] - eps_o * e[1], co[2] - eps_o * e[2]};
    const auto hit_o = cast_side(mesh, origin_o, e, (eps_o + eps_o) + abs_d, cast);
    if (!hit_o) return std::nullopt;

    ImmersedFace f;
    f.owner_bnd_anchor_id = hit_o->triangle;
    f.owner_bnd_patch_id = hit_o->patch;
    f.dist_owner_to_bnd = clamp_checked(hit_o->toi - eps_o, 0.0, abs_d);

    // One reference length for every axis: the largest extent of the domain.
    double extent = 0.0;
    for (int a = 0; a < 3; ++a) extent = max_number(extent, domain.max[a] - domain.min[a]);

    f.owner_near_boundary = near_boundary(go.size[axis], extent, f.dist_owner_to_bnd);

    // Neighbour side, the mirror image: from just behind the neighbour's
    // centre towards the owner.
    const double eps_n = back_off(co[axis] - cn[axis], cn);
    const Vec3 origin_n{cn[0] + eps_n * e[0], cn[1] + eps_n * e[1], cn[2] + eps_n * e[2]};
    const Vec3 back{-e[0], -e[1], -e[2]};
    const auto hit_n = cast_side(mesh, origin_n, back, (eps_n + eps_n) + abs_d, cast);
    if (!hit_n) return std::nullopt;

    f.neighbour_bnd_anchor_id = hit_n->triangle;
    f.neighbour_bnd_patch_id = hit_n->patch;
    f.dist_neighbour_to_bnd = clamp_checked(hit_n->toi - eps_n, 0.0, abs_d);
    f.neighbour_near_boundary = near_boundary(gn.size[axis], extent, f.dist_neighbour_to_bnd);
    return f;
}

}  // namespace

std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, std::uint64_t owner,
                                          std::uint64_t neighbour, std::uint8_t axis,
                                          const RigidPose& pose) {
    return face_with(
        forest, domain, mesh, owner, [&] { return leaf_geometry(forest, domain, owner); }, neighbour,
        [&] { return leaf_geometry(forest, domain, neighbour); }, axis,
        [&](const Vec3& o, const Vec3& d, double limit) { return mesh.trimesh.cast_ray_posed(o, d, limit, pose); });
}

std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, const AxisRayCaster& rays,
                                          std::uint64_t owner, std::uint64_t neighbour,
                                          std::uint8_t axis) {
    return face_with(
        forest, domain, mesh, owner, [&] { return leaf_geometry(forest, domain, owner); }, neighbour,
        [&] { return leaf_geometry(forest, domain, neighbour); }, axis,
        [&](const Vec3& o, const Vec3& d, double limit) { return rays.cast(o, d, limit); });
}

std::optional<ImmersedFace> immersed_face(const Forest& forest, const Domain& domain,
                                          const IbmMesh& mesh, const AxisRayCaster& rays,
                                          std::uint64_t owner, const CellGeometry& owner_geometry,
                                          std::uint64_t neighbour, std::uint8_t axis) {
    return face_with(
        forest, domain, mesh, owner, [&] { return owner_geometry; }, neighbour,
        [&] { return leaf_geometry(forest, domain, neighbour); }, axis,
        [&](const Vec3& o, const Vec3& d, double limit) { return rays.cast(o, d, limit); });
}

CellGeometry across_geometry(const Forest& forest, const Domain& domain, const DecodedKey& owner_key,
                             const CellGeometry& owner_geometry, std::uint64_t neighbour, std::uint8_t axis) {
    if (neighbour >= forest.leaves.size()) index_out_of_bounds(neighbour, forest.leaves.size());
    // A leaf of the owner's level across its positive face is the cell one
    // width on; any other is decoded.
    if (forest.leaves[neighbour].level() == owner_key.level && owner_key.level <= MAX_LEVEL && axis < 3)
        return domain.next_cell_geometry(owner_key, owner_geometry, axis);
    return leaf_geometry(forest, domain, neighbour);
}

std::optional<ImmersedFace> immersed_listed_face(const Forest& forest, const Domain& domain,
                                                 const IbmMesh& mesh, const AxisRayCaster& rays,
                                                 std::uint64_t owner, const DecodedKey& owner_key,
                                                 const CellGeometry& owner_geometry, std::uint64_t neighbour,
                                                 std::uint8_t axis) {
    return face_with(
        forest, domain, mesh, owner, [&] { return owner_geometry; }, neighbour,
        [&] { return across_geometry(forest, domain, owner_key, owner_geometry, neighbour, axis); }, axis,
        [&](const Vec3& o, const Vec3& d, double limit) { return rays.cast(o, d, limit); });
}

double face_ray_reach(const Domain& domain, const RigidPose& pose) {
    // Centres lie in the domain and rays within it; moving into the surface's
    // frame subtracts the translation and rotates, which grows the largest
    // component by at most √3 (plus rounding).
    const double box = max_number(max_number(std::fabs(domain.min[0]), std::fabs(domain.min[1])),
                                  max_number(std::fabs(domain.min[2]),
                                             max_number(max_number(std::fabs(domain.max[0]),
                                                                   std::fabs(domain.max[1])),
                                                        std::fabs(domain.max[2]))));
    const Vec3& t = pose.translation;
    const double shift = max_number(max_number(std::fabs(t[0]), std::fabs(t[1])), std::fabs(t[2]));
    return 2.0 * (2.0 * box + shift);
}

}  // namespace quorin::apibm
