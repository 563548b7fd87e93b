// ApibmSession: the axis-projected build kept alive for a moving body. It
// holds the forest, the surface loaded once, the current mesh record and the
// body's absolute pose. update_ib moves the body over the fixed background
// mesh and refreshes only the face payload; remesh rebuilds the background
// mesh around the body at its pose from the stored surface.
//
// Cell statuses are never stored: each operation computes them under the
// pose it holds and drops them before it returns. The record's large arrays
// live on shared pages, so the meshes handed out map them copy-on-write.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "cfd_mesh.hpp"
#include "classes.hpp"
#include "quorin/export/axis_projected.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"
#include "quorin/shared_pages.hpp"

namespace quorin::python {

namespace {

using py::Access;
using py::Ref;

struct SessionContents {
    Forest forest;
    IbmMesh ibm_mesh;
    CfdAxisProjectedMesh mesh;  // describes `forest`, payload under `pose`, when `has_mesh`
    std::vector<RefinementRegion> refinement_regions;
    BuildSettings manager;
    Domain domain;
    RigidPose pose;
    std::uint8_t target_level;
    // False only after a remesh that failed once the new forest was in
    // place: `mesh` is then empty, and each use builds the record first.
    bool has_mesh = true;
    // Where each cell's faces lie in `mesh`, built with it.
    axis_projected::FaceRuns runs;
};

using SessionClass = py::ClassBinding<SessionContents, apibm_session_class>;

constexpr py::Params<3> UPDATE_IB{"ApibmSession.update_ib()",
                                  {"translation", "rotation_quaternion", "warn_outside_refinement"},
                                  0};
constexpr py::Params<5> REMESH{"ApibmSession.remesh()",
                               {"target_level", "refinement_regions", "translation",
                                "rotation_quaternion", "warn_outside_refinement"},
                               0};

constexpr const char* COARSE_BOUNDARY_MESSAGE =
    "Immersed boundary intersects cells below target_level; consider remesh() to restore "
    "refinement near the boundary.";

// A new CfdAxisProjectedMesh object with new arrays copied from the stored
// record (copy-on-write mappings of its shared arrays); the record itself
// stays with the session.
Ref mesh_object(const CfdAxisProjectedMesh& record) {
    return AxisProjectedMeshClass::create(cfd_mesh::axis_projected_mesh_copy_to_python(record));
}

// The record of the session's forest, surface and pose; with `runs`, where
// its faces lie goes there.
CfdAxisProjectedMesh record_for(const SessionContents& s, axis_projected::RecordPages pages,
                                axis_projected::FaceRuns* runs = nullptr) {
    const Buffer<CellStatus> status = flood::initial_cell_status(s.forest, s.domain, s.ibm_mesh, s.pose);
    return axis_projected::build_axis_projected_mesh(s.forest, s.domain, s.ibm_mesh, status, s.pose, pages,
                                                     runs);
}

// The stored record, built first when a failed remesh left none.
void ensure_mesh(SessionContents& s) {
    if (s.has_mesh) return;
    s.mesh = record_for(s, axis_projected::RecordPages::Shared, &s.runs);
    s.has_mesh = true;
}

Ref update_ib(SessionContents& s, const py::Args<3>& args) {
    const auto translation = args.get_optional(0, py::to_float3);
    const auto rotation = args.get_optional(1, py::to_float4);
    const bool warn = args.get_or(2, py::to_bool, true);

    // The pose is taken on only with the payload computed for it, so that an
    // internal error in the refresh leaves pose and payload matching.
    RigidPose pose = s.pose;
    pose.set_absolute(translation, rotation);
    ensure_mesh(s);
    // The old payload is released once the snapshot below is taken: its
    // unmapping, left to the background, holds the process's address space
    // for milliseconds, which the snapshot's mappings would wait for.
    ApIbmFaceData previous;
    {
        const Buffer<CellStatus> status =
            axis_projected::refresh_immersed_faces(s.forest, s.domain, s.ibm_mesh, s.mesh, pose,
                                                   axis_projected::RecordPages::Shared, &previous, &s.runs);
        s.pose = pose;
        warn_coarse_boundary_cells(warn, s.forest.leaves, status, s.target_level);
    }  // statuses released before the record is copied
    return mesh_object(s.mesh);
}

Ref remesh(SessionContents& s, const py::Args<5>& args) {
    const auto target_level = args.get_optional(0, py::to_u8);
    auto regions = args.get_optional(1, py::to_region_sequence);
    const auto translation = args.get_optional(2, py::to_float3);
    const auto rotation = args.get_optional(3, py::to_float4);
    const bool warn = args.get_or(4, py::to_bool, true);

    // The new forest is built aside: a failure there leaves the session as
    // it was. Then the old record goes before the new one is built, so that
    // the two do not take memory at once: the new record's arrays take over
    // the old one's pages (or, where a copy of them is alive, the old pages
    // are returned in the background while the new statuses and face counts
    // are computed). From there on the session holds the new forest and
    // settings, and a failure while its record is built leaves it without a
    // record (each later use builds one) rather than with one that does not
    // match its forest.
    RigidPose pose = s.pose;
    pose.set_absolute(translation, rotation);
    const std::uint8_t level = target_level ? *target_level : s.target_level;
    const std::vector<RefinementRegion>& use_regions = regions ? *regions : s.refinement_regions;

    {
        auto [forest, domain] = build_amr_forest(s.manager, s.ibm_mesh, level, use_regions, pose);
        // The new record takes the old one's pages where no copy of it is
        // alive: no fresh pages to fault, none to give back.
        const SharedPagesReuse reuse;
        s.has_mesh = false;
        s.mesh = CfdAxisProjectedMesh{};
        s.runs = axis_projected::FaceRuns{};
        s.pose = pose;
        s.target_level = level;
        if (regions) s.refinement_regions = std::move(*regions);
        s.forest = std::move(forest);
        s.domain = domain;

        const Buffer<CellStatus> status =
            flood::initial_cell_status(s.forest, s.domain, s.ibm_mesh, pose);
        s.mesh = axis_projected::build_axis_projected_mesh(s.forest, s.domain, s.ibm_mesh, status, pose,
                                                           axis_projected::RecordPages::Shared, &s.runs);
        s.has_mesh = true;

        warn_coarse_boundary_cells(warn, s.forest.leaves, status, s.target_level);
    }  // statuses released before the record is copied
    return mesh_object(s.mesh);
}

Ref read_mesh(const SessionContents& s) {
    // Without a stored record (a failed remesh), a record is built for this
    // read; storing it waits for the next update_ib.
    if (!s.has_mesh) {
        return AxisProjectedMeshClass::create(cfd_mesh::axis_projected_mesh_to_python(
            record_for(s, axis_projected::RecordPages::Ordinary)));
    }
    return mesh_object(s.mesh);
}

Ref read_translation(const SessionContents& s) { return py::float_list(s.pose.translation.data(), 3); }

Ref read_rotation(const SessionContents& s) {
    const double wxyz[4] = {s.pose.rotation[3], s.pose.rotation[0], s.pose.rotation[1],
                            s.pose.rotation[2]};
    return py::float_list(wxyz, 4);
}

PyGetSetDef attributes[] = {
    {"mesh", &SessionClass::getter<read_mesh>, nullptr,
     "Current CFD mesh snapshot (new Python object each call).", nullptr},
    {"translation", &SessionClass::getter<read_translation>, nullptr,
     "Current rigid translation applied to the IBM mesh.", nullptr},
    {"rotation_quaternion", &SessionClass::getter<read_rotation>, nullptr,
     "Current rigid rotation quaternion `[w, x, y, z]`.", nullptr},
    {},
};

PyMethodDef methods[] = {
    SessionClass::method_entry<UPDATE_IB, Access::Exclusive, update_ib>(
        "update_ib",
        QUORIN_DOC("update_ib($self, translation=None, rotation_quaternion=None, "
                   "warn_outside_refinement=True)",
                   "Updates immersed-boundary data only (background mesh topology fixed).\n\n"
                   "`translation` and `rotation_quaternion` set the absolute rigid pose of the IB "
                   "mesh\n(`[w, x, y, z]`). Defaults keep the current pose components when "
                   "omitted.\nBuild the quaternion from an axis and angle with "
                   "`quaternion_from_axis_angle`.")),
    SessionClass::method_entry<REMESH, Access::Exclusive, remesh>(
        "remesh",
        QUORIN_DOC("remesh($self, target_level=None, refinement_regions=None, translation=None, "
                   "rotation_quaternion=None, warn_outside_refinement=True)",
                   "Rebuilds the AMR background mesh and IB payload for the current (or updated) "
                   "pose.")),
    {},
};

}  // namespace

void warn_coarse_boundary_cells(bool enabled, std::span<const SfcKey> leaves,
                                std::span<const CellStatus> status, std::uint8_t target_level) {
    if (!enabled) return;
    const std::size_t n = std::min(leaves.size(), status.size());
    const bool coarse = parallel::any_of(n, [&](std::size_t i) {
        return status[i] == STATUS_INTERSECTED && leaves[i].level() < target_level;
    });
    if (!coarse) return;
    Ref warnings = py::owned(PyImport_ImportModule("warnings"));
    Ref warn = py::owned(PyObject_GetAttrString(warnings.get(), "warn"));
    Ref message = py::owned(PyUnicode_FromString(COARSE_BOUNDARY_MESSAGE));
    py::owned(PyObject_CallFunctionObjArgs(warn.get(), message.get(), PyExc_UserWarning, nullptr));
}

Ref create_axis_projected_session(const BuildSettings& settings, const py::Args<3>& args) {
    const std::optional<std::string> path = args.get(0, py::to_path);
    const std::uint8_t target_level = args.get(1, py::to_u8);
    auto given = args.get_optional(2, py::to_region_sequence);
    std::vector<RefinementRegion> regions =
        given ? std::move(*given) : std::vector<RefinementRegion>{};

    const RigidPose pose = RigidPose::identity();
    Expected<BackgroundMesh> built =
        build_background_mesh(settings, path, target_level, regions, pose);
    if (!built) py::raise(PyExc_ValueError, built.error());
    BackgroundMesh& bg = *built;
    axis_projected::FaceRuns runs;
    CfdAxisProjectedMesh record = [&] {
        const Buffer<CellStatus> status =
            flood::initial_cell_status(bg.forest, bg.domain, bg.ibm_mesh, pose);
        return axis_projected::build_axis_projected_mesh(bg.forest, bg.domain, bg.ibm_mesh, status, pose,
                                                         axis_projected::RecordPages::Shared, &runs);
    }();

    SessionContents session{std::move(bg.forest), std::move(bg.ibm_mesh), std::move(record),
                            std::move(regions),   settings,               bg.domain,
                            pose,                 target_level,           true,
                            std::move(runs)};
    return SessionClass::create(std::move(session));
}

py::ClassDef apibm_session_class = {
    "builtins.ApibmSession",
    "Stateful APIBM session retaining forest + IBM geometry for `update_ib` / `remesh`.",
    SessionClass::basicsize,
    &py::refusing_constructor,
    &SessionClass::dealloc,
    methods,
    attributes,
};

}  // namespace quorin::python
