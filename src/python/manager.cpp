// QuorinManager: the one-stop builds from a surface file. An instance holds
// only its build settings; each method loads the surface, builds the
// background mesh under the identity pose, runs its immersed-boundary road
// and returns a new result object, keeping nothing.
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
#include "quorin/export/ghost_cell.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/ibm/gcibm.hpp"

namespace quorin::python {

namespace {

using py::Access;
using py::Ref;

constexpr py::Params<3> NEW{"QuorinManager.__new__()", {"bbox", "base_res", "n_leaf_refinement"}, 2};
constexpr py::Params<4> BUILD_GHOST_CELL{
    "QuorinManager.build_ghost_cell_mesh()",
    {"mesh_path", "target_level", "fluid_seed_point", "refinement_regions"},
    3};
constexpr py::Params<3> BUILD_AXIS_PROJECTED{"QuorinManager.build_axis_projected_mesh()",
                                             {"mesh_path", "target_level", "refinement_regions"}, 2};
constexpr py::Params<3> CREATE_SESSION{"QuorinManager.create_axis_projected_session()",
                                       {"mesh_path", "target_level", "refinement_regions"}, 2};

constexpr std::uint8_t DEFAULT_LEAF_REFINEMENT = 3;

Ref construct(const py::Args<3>& args) {
    const auto bbox = args.get(0, BoundingBoxClass::argument);
    const auto res = args.get(1, py::to_base_res);
    const std::uint8_t n_leaf = args.get_or(2, py::to_u8, DEFAULT_LEAF_REFINEMENT);
    if (!Domain::valid_bounds(bbox->min, bbox->max)) internal_error("Invalid BoundingBox bounds");
    // Keys hold the root-cell index in 26 bits; a larger grid would alias
    // cells of different roots in every later build.
    if (auto err = base_grid_error(res[0], res[1], res[2])) py::raise(PyExc_ValueError, *err);
    QuorinManagerContents contents;
    contents.settings.bbox = {bbox->min, bbox->max};
    contents.settings.base_res = res;
    contents.settings.n_leaf_refinement = n_leaf;
    return QuorinManagerClass::create(std::move(contents));
}

// The ValueError of a failed surface load or flood fill.
[[noreturn]] void value_error(const std::string& message) { py::raise(PyExc_ValueError, message); }

GhostCellMeshContents ghost_cell_pipeline(const BuildSettings& settings,
                                          const std::optional<std::string>& mesh_path,
                                          std::uint8_t target_level, const Vec3& seed,
                                          std::vector<RefinementRegion> regions) {
    // Each intermediate is released as soon as the next step has what it
    // needs: the statuses once the fluid flags exist, the forest and surface
    // once the record is built, before its conversion to arrays.
    CfdGhostCellMesh record = [&] {
        const RigidPose pose = RigidPose::identity();
        Expected<BackgroundMesh> built =
            build_background_mesh(settings, mesh_path, target_level, regions, pose);
        if (!built) value_error(built.error());
        BackgroundMesh& bg = *built;
        std::optional<export_chunks::FaceLayout> layout;
        Buffer<std::uint8_t> is_fluid = [&] {
            Buffer<CellStatus> status =
                flood::initial_cell_status(bg.forest, bg.domain, bg.ibm_mesh, pose);
            Expected<export_chunks::FaceLayout> counted =
                ghost_cell::fill_and_count_faces(bg.forest, bg.domain, status, seed);
            if (!counted) value_error(counted.error());
            layout = std::move(*counted);
            return gcibm::fluid_flags(bg.forest, bg.domain, bg.ibm_mesh, status, seed);
        }();
        return ghost_cell::build_ghost_cell_mesh(bg.forest, bg.domain, bg.ibm_mesh, std::move(is_fluid), *layout);
    }();
    return cfd_mesh::ghost_cell_mesh_to_python(std::move(record));
}

Ref build_ghost_cell_mesh(QuorinManagerContents& manager, const py::Args<4>& args) {
    const std::optional<std::string> path = args.get(0, py::to_path);
    const std::uint8_t target_level = args.get(1, py::to_u8);
    const Vec3 seed = args.get(2, py::to_float3);
    auto regions = args.get_optional(3, py::to_region_sequence);
    GhostCellMeshContents contents = ghost_cell_pipeline(
        manager.settings, path, target_level, seed,
        regions ? std::move(*regions) : std::vector<RefinementRegion>{});
    return GhostCellMeshClass::create(std::move(contents));
}

Ref build_axis_projected_mesh(QuorinManagerContents& manager, const py::Args<3>& args) {
    const std::optional<std::string> path = args.get(0, py::to_path);
    const std::uint8_t target_level = args.get(1, py::to_u8);
    auto given = args.get_optional(2, py::to_region_sequence);
    const std::vector<RefinementRegion> regions =
        given ? std::move(*given) : std::vector<RefinementRegion>{};

    // The forest, surface and statuses are released once the record is
    // built, before its conversion to arrays.
    CfdAxisProjectedMesh record = [&] {
        const RigidPose pose = RigidPose::identity();
        Expected<BackgroundMesh> built =
            build_background_mesh(manager.settings, path, target_level, regions, pose);
        if (!built) value_error(built.error());
        BackgroundMesh& bg = *built;
        const Buffer<CellStatus> status =
            flood::initial_cell_status(bg.forest, bg.domain, bg.ibm_mesh, pose);
        return axis_projected::build_axis_projected_mesh(bg.forest, bg.domain, bg.ibm_mesh,
                                                         status, pose);
    }();
    AxisProjectedMeshContents contents = cfd_mesh::axis_projected_mesh_to_python(std::move(record));
    return AxisProjectedMeshClass::create(std::move(contents));
}

Ref create_session(QuorinManagerContents& manager, const py::Args<3>& args) {
    return create_axis_projected_session(manager.settings, args);
}

PyMethodDef methods[] = {
    QuorinManagerClass::method_entry<BUILD_GHOST_CELL, Access::Shared, build_ghost_cell_mesh>(
        "build_ghost_cell_mesh",
        QUORIN_DOC("build_ghost_cell_mesh($self, mesh_path, target_level, fluid_seed_point, "
                   "refinement_regions=None)",
                   "Loads an STL file and automatically runs BVH construction, AMR, 2:1 balancing,\n"
                   "and inside/outside classification, then returns a CFD-ready mesh.")),
    QuorinManagerClass::method_entry<BUILD_AXIS_PROJECTED, Access::Shared, build_axis_projected_mesh>(
        "build_axis_projected_mesh",
        QUORIN_DOC("build_axis_projected_mesh($self, mesh_path, target_level, refinement_regions=None)",
                   "Builds mesh data for APIBM (one-shot; no session state is retained).")),
    QuorinManagerClass::method_entry<CREATE_SESSION, Access::Shared, create_session>(
        "create_axis_projected_session",
        QUORIN_DOC("create_axis_projected_session($self, mesh_path, target_level, "
                   "refinement_regions=None)",
                   "Creates a stateful APIBM session that retains the forest for moving-boundary "
                   "updates.")),
    {},
};

}  // namespace

py::ClassDef quorin_manager_class = {
    "builtins.QuorinManager",
    QUORIN_DOC("QuorinManager(bbox, base_res, n_leaf_refinement=3)",
               "Use case 1: one-stop manager for generating IBM mesh data."),
    QuorinManagerClass::basicsize,
    &QuorinManagerClass::constructor<NEW, construct>,
    &QuorinManagerClass::dealloc,
    methods,
    nullptr,
};

}  // namespace quorin::python
