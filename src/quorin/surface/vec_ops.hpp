// Small vector helpers and constants shared by the surface predicates, the
// hierarchy build and its queries. Internal to the surface code.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "quorin/forest/domain.hpp"

namespace quorin::geom {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NAN_D = std::numeric_limits<double>::quiet_NaN();
constexpr double UNIT_ROUNDOFF = 0x1p-53;

// Beyond this magnitude the SAH areas and the exact predicates could overflow;
// such surfaces are split by medians and their box tests decided in floating
// point alone.
constexpr double HUGE_COORD = 1e100;

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
inline double dist2(const Vec3& a, const Vec3& b) {
    const Vec3 d = sub(a, b);
    return dot(d, d);
}
inline Vec3 add_scaled(const Vec3& a, const Vec3& d, double s) {
    return {a[0] + d[0] * s, a[1] + d[1] * s, a[2] + d[2] * s};
}

// v rounded down (up) to single precision, for boxes kept in floats: the
// largest float not above v (smallest not below), infinite beyond the float
// range on the far side, the largest finite float on the near one, and
// infinite (outwards) for NaN.
inline float float_below(double v) {
    if (!(v >= -std::numeric_limits<float>::max())) return -std::numeric_limits<float>::infinity();
    if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::max();
    const float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}
inline float float_above(double v) { return -float_below(-v); }

}  // namespace quorin::geom
