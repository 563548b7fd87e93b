#include "quorin/ibm/background_mesh.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "quorin/parallel.hpp"
#include "quorin/surface/obj.hpp"
#include "quorin/surface/stl.hpp"

namespace quorin {

namespace {

// Marks, in a status vector of a freshly refined forest, the children whose
// box still has to be tested; never left in a finished vector.
constexpr CellStatus STATUS_UNTESTED = 0xFF;

// Old cells per chunk of the carry and test loops: small enough that the
// box tests, which cluster around the surface, spread over the pool.
constexpr std::size_t CARRY_GRAIN = 64;

bool splits(SfcKey key, std::uint8_t flag) { return flag != 0 && key.level() < MAX_LEVEL; }

void region_passes(Forest& forest, const Domain& domain,
                   std::span<const RefinementRegion> regions) {
    if (regions.empty()) return;  // no leaf could be flagged
    for (;;) {
        const std::size_t n = forest.leaves.size();
        const SfcKey* keys = forest.leaves.data();
        const Buffer<std::uint8_t> flags = parallel::map_buffer(n, [&](std::size_t i) {
            return static_cast<std::uint8_t>(
                domain::region_flag_for_leaf(domain, regions, keys[i]));
        });
        if (!parallel::any_of(n, [&](std::size_t i) { return flags[i] != 0; })) return;
        forest.refine_by_flags(flags);
    }
}

}  // namespace

namespace background {

std::optional<std::string> file_name(const std::string& path) {
    // Scan the components from the end: empty ones (doubled or trailing "/")
    // and "." are dropped; what remains last is the file name unless it is "..".
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
        const std::string_view comp(path.data() + begin, end - begin);
        if (!comp.empty() && comp != ".") {
            if (comp == "..") return std::nullopt;
            return std::string(comp);
        }
        if (slash == std::string::npos) break;
        end = slash;
    }
    return std::nullopt;  // only the root, ".", separators, or nothing
}

std::optional<std::string> extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

// A pass that splits nothing (only level-32 leaves flagged) ends the loop:
// every later pass would repeat it unchanged. The statuses of a pass carry
// over to the next for every leaf that was not split, so each pass tests only
// the children made by the one before.
void surface_passes(Forest& forest, const Domain& domain, const IbmMesh& surface,
                    std::uint8_t target_level, const RigidPose& pose) {
    if (target_level == 0) return;
    Buffer<CellStatus> status = flood::initial_cell_status(forest, domain, surface, pose);
    for (unsigned pass = 0; pass < target_level; ++pass) {
        const std::size_t n = forest.leaves.size();
        const SfcKey* keys = forest.leaves.data();
        const Buffer<std::uint8_t> flags = parallel::map_buffer(n, [&](std::size_t i) {
            return static_cast<std::uint8_t>(surface_refine_flag(status[i], keys[i], target_level));
        });
        if (!parallel::any_of(n, [&](std::size_t i) { return flags[i] != 0; })) return;
        if (pass + 1 == target_level) {
            // The last pass: nobody reads the statuses of its children.
            forest.refine_by_flags(flags);
            return;
        }
        status = background::refine_and_mark(forest, domain, pose, surface, status, flags);
        if (forest.leaves.size() == n) return;
    }
}

Buffer<CellStatus> refine_and_mark(Forest& forest, const Domain& domain, const RigidPose& pose,
                                   const IbmMesh& surface, std::span<const CellStatus> status,
                                   std::span<const std::uint8_t> flags) {
    const std::size_t n = forest.leaves.size();
    if (status.size() != n) assert_eq_failed("One status per cell", n, status.size());
    if (flags.size() != n)
        assert_eq_failed("Flags length must match the number of cells", n, flags.size());

    // New positions of the old leaves, per fixed chunk: 8 cells for a split, else 1.
    const std::size_t chunks = (n + CARRY_GRAIN - 1) / CARRY_GRAIN;
    std::vector<std::size_t> offset(chunks + 1, 0);
    const SfcKey* old_keys = forest.leaves.data();
    parallel::for_chunks(n, CARRY_GRAIN, [&](std::size_t b, std::size_t e) {
        std::size_t count = 0;
        for (std::size_t i = b; i != e; ++i) count += splits(old_keys[i], flags[i]) ? 8 : 1;
        offset[b / CARRY_GRAIN + 1] = count;
    });
    for (std::size_t c = 0; c < chunks; ++c) offset[c + 1] += offset[c];
    const std::size_t new_n = offset[chunks];

    Buffer<CellStatus> out(new_n);  // every entry written below
    parallel::for_chunks(n, CARRY_GRAIN, [&](std::size_t b, std::size_t e) {
        CellStatus* dst = out.data() + offset[b / CARRY_GRAIN];
        for (std::size_t i = b; i != e; ++i) {
            if (splits(old_keys[i], flags[i])) {
                std::memset(dst, STATUS_UNTESTED, 8);
                dst += 8;
            } else {
                *dst++ = status[i];
            }
        }
    });

    forest.refine_by_flags(flags);
    if (forest.leaves.size() != new_n) {
        assert_eq_failed("Refined cell count", new_n, forest.leaves.size());
    }

    // The eight children of each split cell, tested against the triangles
    // that meet their parent's box: one search of the hierarchy per parent.
    const SfcKey* keys = forest.leaves.data();
    const flood::PlacedSurface placed(surface, pose);
    parallel::for_chunks(n, CARRY_GRAIN, [&](std::size_t b, std::size_t e) {
        std::vector<std::uint32_t> candidates;
        std::size_t dst = offset[b / CARRY_GRAIN];
        for (std::size_t i = b; i != e; ++i) {
            if (out[dst] != STATUS_UNTESTED) {
                ++dst;
                continue;
            }
            std::memset(out.data() + dst, STATUS_DEFAULT, 8);
            flood::mark_leaves_in(domain, placed, *keys[dst].parent(), keys + dst, 8, out.data() + dst, candidates);
            dst += 8;
        }
    });
    return out;
}

}  // namespace background

std::pair<Forest, Domain> build_amr_forest(const BuildSettings& settings, const IbmMesh& surface,
                                           std::uint8_t target_level,
                                           std::span<const RefinementRegion> regions,
                                           const RigidPose& pose) {
    const auto [nx, ny, nz] = settings.base_res;
    Domain domain(settings.bbox.min, settings.bbox.max, nx, ny, nz);
    Forest forest(nx, ny, nz);

    background::surface_passes(forest, domain, surface, target_level, pose);
    region_passes(forest, domain, regions);
    forest.enforce_2_to_1_balance();
    for (unsigned r = 0; r < settings.n_leaf_refinement; ++r) {
        const Buffer<std::uint8_t> all = parallel::filled<std::uint8_t>(forest.leaves.size(), 1);
        forest.refine_by_flags(all);
    }
    // Every later step searches the finished leaves many times over.
    forest.sample_leaves();
    return {std::move(forest), domain};
}

Expected<BackgroundMesh> build_background_mesh(const BuildSettings& settings,
                                               const std::optional<std::string>& mesh_path,
                                               std::uint8_t target_level,
                                               std::span<const RefinementRegion> regions,
                                               const RigidPose& pose) {
    if (!mesh_path) {
        IbmMesh surface = mesh::placeholder_surface();
        auto [forest, domain] = build_amr_forest(settings, surface, target_level, regions, pose);
        return BackgroundMesh{std::move(forest), domain, std::move(surface)};
    }
    const std::string& path = *mesh_path;

    // stat() would read a path with a NUL byte as the shorter path before it.
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) {
        return Failure{"Mesh file not found: " + path};
    }

    const std::optional<std::string> name = background::file_name(path);
    const std::optional<std::string> ext = name ? background::extension(*name) : std::nullopt;
    if (!ext) return Failure{"Mesh file has no extension. Use .stl or .obj."};

    std::string lower = *ext;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    Expected<IbmMesh> loaded = lower == "stl" ? mesh::load_stl(path)
                               : lower == "obj"
                                   ? mesh::load_obj(path)
                                   : Expected<IbmMesh>(Failure{"Unsupported mesh extension '." +
                                                               lower + "'. Use .stl or .obj."});
    if (!loaded) return Failure{loaded.error()};

    IbmMesh surface = std::move(loaded).value();
    auto [forest, domain] = build_amr_forest(settings, surface, target_level, regions, pose);
    return BackgroundMesh{std::move(forest), domain, std::move(surface)};
}

}  // namespace quorin
