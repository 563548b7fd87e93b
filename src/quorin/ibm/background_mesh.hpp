// The adaptive background mesh around an immersed body: the surface loaded
// by its file extension (or the placeholder), the base grid of root cells,
// refinement of the cells the surface cuts up to a target level, refinement
// regions, one 2:1 balance and the final uniform passes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

// The build settings a QuorinManager holds: the domain box, the base grid and
// the number of final passes that refine every leaf. Whoever makes one
// guarantees min < max on every axis; the build does not check it again.
struct BuildSettings {
    struct Box {
        Vec3 min;
        Vec3 max;
    };
    Box bbox;
    std::array<std::uint32_t, 3> base_res;  // nx, ny, nz; a zero gives a forest without cells
    std::uint8_t n_leaf_refinement = 3;
};

struct BackgroundMesh {
    Forest forest;
    Domain domain;
    IbmMesh ibm_mesh;
};

// Surface refinement test of one leaf: cut by the surface and coarser than
// the target level.
inline bool surface_refine_flag(CellStatus status, SfcKey key, std::uint8_t target_level) {
    return status == STATUS_INTERSECTED && key.level() < target_level;
}

// Loads the surface at `mesh_path` (none: the placeholder surface) and builds
// the forest around it at `pose`. A missing file, a name without extension,
// an extension other than stl/obj and loader failures return their message.
Expected<BackgroundMesh> build_background_mesh(const BuildSettings& settings,
                                               const std::optional<std::string>& mesh_path,
                                               std::uint8_t target_level,
                                               std::span<const RefinementRegion> regions,
                                               const RigidPose& pose);

// The forest and its domain for a loaded surface; no failure of its own.
std::pair<Forest, Domain> build_amr_forest(const BuildSettings& settings, const IbmMesh& surface,
                                           std::uint8_t target_level,
                                           std::span<const RefinementRegion> regions,
                                           const RigidPose& pose);

namespace background {

// The file name of a path: its last component once empty and "." components
// are dropped; none for "..", ".", the root or an empty path.
std::optional<std::string> file_name(const std::string& path);

// The text after the last "." of a file name; none without a ".", or when the
// only "." leads the name.
std::optional<std::string> extension(const std::string& file_name);

// The surface passes of the build: the cut leaves coarser than
// `target_level` are refined, pass after pass, until none is left or
// `target_level` passes have run.
void surface_passes(Forest& forest, const Domain& domain, const IbmMesh& surface,
                    std::uint8_t target_level, const RigidPose& pose);

// One surface pass after the first: refines the flagged leaves and returns
// the statuses of the new forest. A leaf that is not split keeps its status,
// its box being unchanged; only the new children are tested against the
// posed surface. The result equals a fresh initial_cell_status of the new
// forest whenever `status` equals that of the old one.
Buffer<CellStatus> refine_and_mark(Forest& forest, const Domain& domain, const RigidPose& pose,
                                   const IbmMesh& surface, std::span<const CellStatus> status,
                                   std::span<const std::uint8_t> flags);

}  // namespace background

}  // namespace quorin
