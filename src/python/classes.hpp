// The classes and the function of the module _quorin, each defined in its
// own file, and the contents records other files need.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/class.hpp"
#include "binding/params.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/key.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"

namespace quorin::python {

struct BoundingBoxContents {
    Vec3 min;
    Vec3 max;
};

extern py::ClassDef bounding_box_class;
using BoundingBoxClass = py::ClassBinding<BoundingBoxContents, bounding_box_class>;

extern py::ClassDef forest_class;

extern PyMethodDef quaternion_function;

// QuorinManager holds only its build settings (domain box, base grid and
// leaf-refinement count), checked once by its constructor.
struct QuorinManagerContents {
    BuildSettings settings;
};

extern py::ClassDef quorin_manager_class;
using QuorinManagerClass = py::ClassBinding<QuorinManagerContents, quorin_manager_class>;

extern py::ClassDef apibm_session_class;

// The body of QuorinManager.create_axis_projected_session(mesh_path,
// target_level, refinement_regions=None): converts its arguments, builds the
// session's background mesh and mesh record, and returns a new ApibmSession.
py::Ref create_axis_projected_session(const BuildSettings& settings, const py::Args<3>& args);

// Issues the one UserWarning of the module when `enabled` and some cell with
// status STATUS_INTERSECTED is coarser than `target_level`; at most once per
// call. A failure of the warnings machinery (filters set to "error") is
// thrown as py::Error.
void warn_coarse_boundary_cells(bool enabled, std::span<const SfcKey> leaves,
                                std::span<const CellStatus> status, std::uint8_t target_level);

}  // namespace quorin::python
