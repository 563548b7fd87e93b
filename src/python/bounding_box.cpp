// BoundingBox: the two corners of a computational domain, stored as given and
// validated only when a forest or manager is made from it.
#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "classes.hpp"

namespace quorin::python {

namespace {

using py::Ref;

constexpr py::Params<2> NEW{"BoundingBox.__new__()", {"min", "max"}, 2};

Ref construct(const py::Args<2>& args) {
    BoundingBoxContents box;
    box.min = args.get(0, py::to_float3);
    box.max = args.get(1, py::to_float3);
    return BoundingBoxClass::create(box);
}

Ref read_min(const BoundingBoxContents& box) { return py::float_list(box.min.data(), 3); }
Ref read_max(const BoundingBoxContents& box) { return py::float_list(box.max.data(), 3); }

PyGetSetDef attributes[] = {
    BoundingBoxClass::getter_entry<read_min>("min"),
    BoundingBoxClass::getter_entry<read_max>("max"),
    {},
};

}  // namespace

py::ClassDef bounding_box_class = {
    "builtins.BoundingBox",
    QUORIN_DOC("BoundingBox(min, max)", "Physical simulation domain bounds."),
    BoundingBoxClass::basicsize,
    &BoundingBoxClass::constructor<NEW, construct>,
    &BoundingBoxClass::dealloc,
    nullptr,
    attributes,
};

}  // namespace quorin::python
