// The result classes and the conversion of the export records into them.
#include "cfd_mesh.hpp"

#include <utility>

#include "conversion.hpp"
#include "quorin/error.hpp"
#include "quorin/export/axis_projected.hpp"
#include "quorin/export/ghost_cell.hpp"

namespace quorin::python {

namespace {

using py::Ref;
using conversion::array1;
using conversion::bool_array;
using conversion::rows_to_array2;

// Attribute reads: the stored object itself, or an int made from the value.
template <class M>
struct MemberOf;
template <class T>
struct MemberOf<Ref T::*> {
    using type = T;
};

template <auto Member>
Ref read_object(const typename MemberOf<decltype(Member)>::type& contents) {
    return Ref::borrow((contents.*Member).get());
}

Ref int_of(std::uint64_t v) {
    PyObject* obj = PyLong_FromUnsignedLongLong(v);
    if (obj == nullptr) internal_error(py::Error::fetch().describe());
    return Ref::steal(obj);
}

template <class T>
Ref read_n_cells(const T& contents) {
    return int_of(contents.n_cells);
}

template <class T>
Ref read_coordinate_type(const T& contents) {
    return int_of(contents.coordinate_type);
}

template <class Class, auto Body>
constexpr PyGetSetDef attribute(const char* name, const char* doc = nullptr) {
    return {name, &Class::template getter<Body>, nullptr, doc, nullptr};
}

// ---- CfdGhostCellMesh ---------------------------------------------------

using G = GhostCellMeshContents;
using GC = GhostCellMeshClass;

PyGetSetDef ghost_cell_attributes[] = {
    attribute<GC, read_n_cells<G>>("n_cells"),
    attribute<GC, read_coordinate_type<G>>("coordinate_type"),
    attribute<GC, read_object<&G::patch_name_to_id>>("patch_name_to_id"),
    attribute<GC, read_object<&G::cell_centers>>("cell_centers"),
    attribute<GC, read_object<&G::cell_sizes>>("cell_sizes"),
    attribute<GC, read_object<&G::internal_faces_owner>>("internal_faces_owner"),
    attribute<GC, read_object<&G::internal_faces_neighbour>>("internal_faces_neighbour"),
    attribute<GC, read_object<&G::internal_faces_axis>>("internal_faces_axis"),
    attribute<GC, read_object<&G::domain_bnd_faces_owner>>("domain_bnd_faces_owner"),
    attribute<GC, read_object<&G::domain_bnd_faces_dir>>("domain_bnd_faces_dir"),
    attribute<GC, read_object<&G::gc_is_fluid>>("gc_is_fluid"),
    attribute<GC, read_object<&G::gc_cell_ids>>("gc_cell_ids"),
    attribute<GC, read_object<&G::gc_bnd_anchor_ids>>("gc_bnd_anchor_ids"),
    attribute<GC, read_object<&G::gc_bnd_patch_ids>>("gc_bnd_patch_ids"),
    attribute<GC, read_object<&G::gc_bnd_intercepts>>("gc_bnd_intercepts"),
    attribute<GC, read_object<&G::gc_image_points>>("gc_image_points"),
    attribute<GC, read_object<&G::gc_interp_stencil_indices>>("gc_interp_stencil_indices"),
    attribute<GC, read_object<&G::gc_interp_stencil_weights>>("gc_interp_stencil_weights"),
    {},
};

// ---- ApIbmFaceData ------------------------------------------------------

using F = ApIbmFaceDataContents;
using FC = ApIbmFaceDataClass;

PyGetSetDef face_data_attributes[] = {
    attribute<FC, read_object<&F::is_immersed_face>>("is_immersed_face"),
    attribute<FC, read_object<&F::dist_owner_to_bnd>>(
        "dist_owner_to_bnd", "Physical owner-center distance to the first boundary hit, possibly zero."),
    attribute<FC, read_object<&F::dist_neighbour_to_bnd>>(
        "dist_neighbour_to_bnd",
        "Physical neighbour-center distance to the first boundary hit, possibly zero."),
    attribute<FC, read_object<&F::owner_near_boundary>>(
        "owner_near_boundary", "Boolean candidates for an owner-cell-center Dirichlet constraint."),
    attribute<FC, read_object<&F::neighbour_near_boundary>>(
        "neighbour_near_boundary",
        "Boolean candidates for a neighbour-cell-center Dirichlet constraint."),
    attribute<FC, read_object<&F::owner_bnd_anchor_id>>("owner_bnd_anchor_id"),
    attribute<FC, read_object<&F::owner_bnd_patch_id>>("owner_bnd_patch_id"),
    attribute<FC, read_object<&F::neighbour_bnd_anchor_id>>("neighbour_bnd_anchor_id"),
    attribute<FC, read_object<&F::neighbour_bnd_patch_id>>("neighbour_bnd_patch_id"),
    {},
};

// ---- CfdAxisProjectedMesh -----------------------------------------------

using A = AxisProjectedMeshContents;
using AC = AxisProjectedMeshClass;

PyGetSetDef axis_projected_attributes[] = {
    attribute<AC, read_n_cells<A>>("n_cells"),
    attribute<AC, read_coordinate_type<A>>("coordinate_type"),
    attribute<AC, read_object<&A::patch_name_to_id>>("patch_name_to_id"),
    attribute<AC, read_object<&A::cell_centers>>("cell_centers"),
    attribute<AC, read_object<&A::cell_sizes>>("cell_sizes"),
    attribute<AC, read_object<&A::internal_faces_owner>>("internal_faces_owner"),
    attribute<AC, read_object<&A::internal_faces_neighbour>>("internal_faces_neighbour"),
    attribute<AC, read_object<&A::internal_faces_axis>>("internal_faces_axis"),
    attribute<AC, read_object<&A::domain_bnd_faces_owner>>("domain_bnd_faces_owner"),
    attribute<AC, read_object<&A::domain_bnd_faces_dir>>("domain_bnd_faces_dir"),
    attribute<AC, read_object<&A::ap>>("ap"),
    {},
};

constexpr const char* FACE_DATA_DOC =
    "Compressed APIBM immersed-boundary face payload.\n"
    "\n"
    "`is_immersed_face` has shape `(N_internal_faces,)`; all other arrays have\n"
    "shape `(N_immersed,)`, in the order of its true entries. Distances are\n"
    "physical cell-center-to-boundary distances, including zero. Boolean\n"
    "near-boundary flags mark Dirichlet-constraint candidates when\n"
    "`d / delta_x <= delta_x / L`, using each side's cell width along the face\n"
    "axis and the largest computational-domain extent `L`. The solver must\n"
    "apply any constraints; the flags leave the distances unchanged.";

}  // namespace

py::ClassDef ghost_cell_mesh_class = {
    "builtins.CfdGhostCellMesh",
    "SoA mesh layout for GCIBM.",
    GhostCellMeshClass::basicsize,
    &py::refusing_constructor,
    &GhostCellMeshClass::dealloc,
    nullptr,
    ghost_cell_attributes,
};

py::ClassDef ap_ibm_face_data_class = {
    "builtins.ApIbmFaceData",
    FACE_DATA_DOC,
    ApIbmFaceDataClass::basicsize,
    &py::refusing_constructor,
    &ApIbmFaceDataClass::dealloc,
    nullptr,
    face_data_attributes,
};

py::ClassDef axis_projected_mesh_class = {
    "builtins.CfdAxisProjectedMesh",
    "SoA mesh layout for APIBM (Axis-Projected Immersed Boundary Method).",
    AxisProjectedMeshClass::basicsize,
    &py::refusing_constructor,
    &AxisProjectedMeshClass::dealloc,
    nullptr,
    axis_projected_attributes,
};

namespace cfd_mesh {

Ref patch_name_to_id_dict(const std::vector<std::string>& patch_names) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) internal_error(py::Error::fetch().describe());
    Ref result = Ref::steal(dict);
    for (std::size_t p = 0; p < patch_names.size(); ++p) {
        const std::string& name = patch_names[p];
        PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                             "replace");
        if (key == nullptr) internal_error(py::Error::fetch().describe());
        Ref key_ref = Ref::steal(key);
        PyObject* value = PyLong_FromUnsignedLongLong(p);
        if (value == nullptr) internal_error(py::Error::fetch().describe());
        Ref value_ref = Ref::steal(value);
        if (PyDict_SetItem(dict, key, value) < 0) {
            PyErr_Clear();
            internal_error("failed to set patch_name_to_id");
        }
    }
    return result;
}

GhostCellMeshContents ghost_cell_mesh_to_python(CfdGhostCellMesh record) {
    GhostCellMeshContents c;
    c.patch_name_to_id = patch_name_to_id_dict(record.patch_names);
    c.n_cells = record.n_cells;
    c.coordinate_type = record.coordinate_type;
    c.cell_centers = rows_to_array2(std::move(record.cell_centers));
    c.cell_sizes = rows_to_array2(std::move(record.cell_sizes));
    c.internal_faces_owner = array1(std::move(record.internal_faces_owner));
    c.internal_faces_neighbour = array1(std::move(record.internal_faces_neighbour));
    c.internal_faces_axis = array1(std::move(record.internal_faces_axis));
    c.domain_bnd_faces_owner = array1(std::move(record.domain_bnd_faces_owner));
    c.domain_bnd_faces_dir = array1(std::move(record.domain_bnd_faces_dir));
    c.gc_is_fluid = bool_array(std::move(record.gc_is_fluid));
    c.gc_cell_ids = array1(std::move(record.gc_cell_ids));
    c.gc_bnd_anchor_ids = array1(std::move(record.gc_bnd_anchor_ids));
    c.gc_bnd_patch_ids = array1(std::move(record.gc_bnd_patch_ids));
    c.gc_bnd_intercepts = rows_to_array2(std::move(record.gc_bnd_intercepts));
    c.gc_image_points = rows_to_array2(std::move(record.gc_image_points));
    c.gc_interp_stencil_indices = rows_to_array2(std::move(record.gc_interp_stencil_indices));
    c.gc_interp_stencil_weights = rows_to_array2(std::move(record.gc_interp_stencil_weights));
    return c;
}

namespace {

// The axis-projected contents of a record given as an rvalue (its vectors
// become the array buffers) or as a const lvalue (they are copied).
template <class Record>
AxisProjectedMeshContents axis_projected_contents(Record&& record) {
    AxisProjectedMeshContents c;
    c.patch_name_to_id = patch_name_to_id_dict(record.patch_names);

    auto&& ap = std::forward<Record>(record).ap;
    using Ap = decltype(ap);
    ApIbmFaceDataContents f;
    f.is_immersed_face = bool_array(std::forward<Ap>(ap).is_immersed_face);
    f.dist_owner_to_bnd = array1(std::forward<Ap>(ap).dist_owner_to_bnd);
    f.dist_neighbour_to_bnd = array1(std::forward<Ap>(ap).dist_neighbour_to_bnd);
    f.owner_near_boundary = bool_array(std::forward<Ap>(ap).owner_near_boundary);
    f.neighbour_near_boundary = bool_array(std::forward<Ap>(ap).neighbour_near_boundary);
    f.owner_bnd_anchor_id = array1(std::forward<Ap>(ap).owner_bnd_anchor_id);
    f.owner_bnd_patch_id = array1(std::forward<Ap>(ap).owner_bnd_patch_id);
    f.neighbour_bnd_anchor_id = array1(std::forward<Ap>(ap).neighbour_bnd_anchor_id);
    f.neighbour_bnd_patch_id = array1(std::forward<Ap>(ap).neighbour_bnd_patch_id);

    c.n_cells = record.n_cells;
    c.coordinate_type = record.coordinate_type;
    c.cell_centers = rows_to_array2(std::forward<Record>(record).cell_centers);
    c.cell_sizes = rows_to_array2(std::forward<Record>(record).cell_sizes);
    c.internal_faces_owner = array1(std::forward<Record>(record).internal_faces_owner);
    c.internal_faces_neighbour = array1(std::forward<Record>(record).internal_faces_neighbour);
    c.internal_faces_axis = array1(std::forward<Record>(record).internal_faces_axis);
    c.domain_bnd_faces_owner = array1(std::forward<Record>(record).domain_bnd_faces_owner);
    c.domain_bnd_faces_dir = array1(std::forward<Record>(record).domain_bnd_faces_dir);

    try {
        c.ap = ApIbmFaceDataClass::create(std::move(f));
    } catch (const py::Error&) {
        PyErr_Clear();
        internal_error("failed to allocate ApIbmFaceData");
    }
    return c;
}

}  // namespace

AxisProjectedMeshContents axis_projected_mesh_to_python(CfdAxisProjectedMesh record) {
    return axis_projected_contents(std::move(record));
}

AxisProjectedMeshContents axis_projected_mesh_copy_to_python(const CfdAxisProjectedMesh& record) {
    return axis_projected_contents(record);
}

}  // namespace cfd_mesh

}  // namespace quorin::python
