// The classes and the function of the module _quorin, each defined in its
// own file, and the contents records other files need.
#pragma once

#include <Python.h>

#include "binding/class.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"

namespace quorin::python {

struct BoundingBoxContents {
    Vec3 min;
    Vec3 max;
};

extern py::ClassDef bounding_box_class;
using BoundingBoxClass = py::ClassBinding<BoundingBoxContents, bounding_box_class>;

extern py::ClassDef forest_class;

extern PyMethodDef quaternion_function;

}  // namespace quorin::python
