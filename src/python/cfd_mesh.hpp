// The result classes CfdGhostCellMesh, CfdAxisProjectedMesh and
// ApIbmFaceData, and the conversion of the export records into their
// contents: NumPy arrays (conversion.hpp), the patch-name dictionary and two
// integers. All conversion happens once, when the result object is made;
// attribute reads only hand out the stored objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/class.hpp"
#include "binding/ref.hpp"

namespace quorin {
struct CfdGhostCellMesh;
struct CfdAxisProjectedMesh;
}  // namespace quorin

namespace quorin::python {

// Contents of a CfdGhostCellMesh object, in attribute order.
struct GhostCellMeshContents {
    std::uint64_t n_cells = 0;
    std::uint8_t coordinate_type = 0;
    py::Ref patch_name_to_id;
    py::Ref cell_centers;
    py::Ref cell_sizes;
    py::Ref internal_faces_owner;
    py::Ref internal_faces_neighbour;
    py::Ref internal_faces_axis;
    py::Ref domain_bnd_faces_owner;
    py::Ref domain_bnd_faces_dir;
    py::Ref gc_is_fluid;
    py::Ref gc_cell_ids;
    py::Ref gc_bnd_anchor_ids;
    py::Ref gc_bnd_patch_ids;
    py::Ref gc_bnd_intercepts;
    py::Ref gc_image_points;
    py::Ref gc_interp_stencil_indices;
    py::Ref gc_interp_stencil_weights;
};

// Contents of an ApIbmFaceData object, in attribute order.
struct ApIbmFaceDataContents {
    py::Ref is_immersed_face;
    py::Ref dist_owner_to_bnd;
    py::Ref dist_neighbour_to_bnd;
    py::Ref owner_near_boundary;
    py::Ref neighbour_near_boundary;
    py::Ref owner_bnd_anchor_id;
    py::Ref owner_bnd_patch_id;
    py::Ref neighbour_bnd_anchor_id;
    py::Ref neighbour_bnd_patch_id;
};

// Contents of a CfdAxisProjectedMesh object, in attribute order.
struct AxisProjectedMeshContents {
    std::uint64_t n_cells = 0;
    std::uint8_t coordinate_type = 0;
    py::Ref patch_name_to_id;
    py::Ref cell_centers;
    py::Ref cell_sizes;
    py::Ref internal_faces_owner;
    py::Ref internal_faces_neighbour;
    py::Ref internal_faces_axis;
    py::Ref domain_bnd_faces_owner;
    py::Ref domain_bnd_faces_dir;
    py::Ref ap;  // the ApIbmFaceData object
};

extern py::ClassDef ghost_cell_mesh_class;
extern py::ClassDef ap_ibm_face_data_class;
extern py::ClassDef axis_projected_mesh_class;

using GhostCellMeshClass = py::ClassBinding<GhostCellMeshContents, ghost_cell_mesh_class>;
using ApIbmFaceDataClass = py::ClassBinding<ApIbmFaceDataContents, ap_ibm_face_data_class>;
using AxisProjectedMeshClass = py::ClassBinding<AxisProjectedMeshContents, axis_projected_mesh_class>;

namespace cfd_mesh {

// {name: patch id} in patch-id order; a failed insertion stops with the
// internal error "failed to set patch_name_to_id".
py::Ref patch_name_to_id_dict(const std::vector<std::string>& patch_names);

// Consume a record: its flat vectors become array buffers, its vectors of
// rows are copied once into flat ones. Internal errors (NumPy unavailable, a
// failed allocation) release every array made so far.
GhostCellMeshContents ghost_cell_mesh_to_python(CfdGhostCellMesh record);
AxisProjectedMeshContents axis_projected_mesh_to_python(CfdAxisProjectedMesh record);

// The same for a record that stays with its owner (a session): every vector
// is copied once, on the worker pool, straight into its array's buffer. The
// result equals axis_projected_mesh_to_python of a deep copy of the record.
AxisProjectedMeshContents axis_projected_mesh_copy_to_python(const CfdAxisProjectedMesh& record);

}  // namespace cfd_mesh

}  // namespace quorin::python
