// _quaternion_from_axis_angle: the unit quaternion [w, x, y, z] of a rotation
// by `angle` radians about `axis`.
#include <cmath>

#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "classes.hpp"

namespace quorin::python {

namespace {

using py::Ref;

constexpr py::Params<2> PARAMS{"_quaternion_from_axis_angle()", {"axis", "angle"}, 2};

Ref quaternion_from_axis_angle(const py::Args<2>& args) {
    const Vec3 axis = args.get(0, py::to_float3);
    const double angle = args.get(1, py::to_float);
    const double squared = (axis[0] * axis[0] + axis[1] * axis[1]) + axis[2] * axis[2];
    const double inv = 1.0 / std::sqrt(squared);
    // A zero, NaN, overflowing or underflowing axis has no direction.
    if (!(std::isfinite(inv) && inv > 0.0)) {
        const double identity[4] = {1.0, 0.0, 0.0, 0.0};
        return py::float_list(identity, 4);
    }
    double s = 0.0;
    double c = 0.0;
    ::sincos(angle * 0.5, &s, &c);
    const double q[4] = {c, (axis[0] * inv) * s, (axis[1] * inv) * s, (axis[2] * inv) * s};
    return py::float_list(q, 4);
}

}  // namespace

PyMethodDef quaternion_function = py::function_entry<PARAMS, quaternion_from_axis_angle>(
    "_quaternion_from_axis_angle",
    QUORIN_DOC("_quaternion_from_axis_angle(axis, angle)",
               "Builds a unit quaternion `[w, x, y, z]` from an axis-angle rotation.\n\n"
               "`axis` is a 3-vector (normalized internally). `angle` is in radians."));

}  // namespace quorin::python
