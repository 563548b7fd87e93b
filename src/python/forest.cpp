// Forest: manual control of an octree forest over a domain box. Python sees
// only the number of cells; the cells change through the mutating methods,
// each holding the object exclusively while it converts and works.
#include <cstdint>
#include <vector>

#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "classes.hpp"
#include "quorin/parallel.hpp"

namespace quorin::python {

namespace {

using py::Access;
using py::Ref;

struct ForestContents {
    Forest forest;
    Domain domain;
};

using ForestClass = py::ClassBinding<ForestContents, forest_class>;

constexpr py::Params<2> NEW{"Forest.__new__()", {"bbox", "base_res"}, 2};
constexpr py::Params<3> REFINE_BY_BBOX{"Forest.refine_by_bbox()", {"min", "max", "target_level"}, 3};
constexpr py::Params<1> REFINE_BY_FLAGS{"Forest.refine_by_flags()", {"flags"}, 1};
constexpr py::Params<1> COARSEN_BY_FLAGS{"Forest.coarsen_by_flags()", {"flags"}, 1};
constexpr py::Params<1> UNIFORM_REFINEMENT{"Forest.uniform_refinement()", {"n_times"}, 1};

Ref construct(const py::Args<2>& args) {
    const auto bbox = args.get(0, BoundingBoxClass::argument);
    const auto res = args.get(1, py::to_base_res);
    if (!Domain::valid_bounds(bbox->min, bbox->max)) internal_error("Invalid BoundingBox bounds");
    // Keys hold the root-cell index in 26 bits; a larger grid would alias
    // cells of different roots.
    if (auto err = base_grid_error(res[0], res[1], res[2])) py::raise(PyExc_ValueError, *err);
    Forest forest(res[0], res[1], res[2]);
    Domain domain(bbox->min, bbox->max, res[0], res[1], res[2]);
    return ForestClass::create(ForestContents{std::move(forest), domain});
}

Ref num_cells(ForestContents& f) { return py::owned(PyLong_FromUnsignedLongLong(f.forest.num_cells())); }

void check_flag_count(const ForestContents& f, const std::vector<std::uint8_t>& flags) {
    if (flags.size() != f.forest.num_cells()) {
        py::raise(PyExc_ValueError, "Flags length must match num_cells");
    }
}

Ref refine_by_flags(ForestContents& f, const py::Args<1>& args) {
    const auto flags = args.get(0, py::to_bool_sequence);
    check_flag_count(f, flags);
    f.forest.refine_by_flags(flags);
    return py::none();
}

Ref coarsen_by_flags(ForestContents& f, const py::Args<1>& args) {
    const auto flags = args.get(0, py::to_bool_sequence);
    check_flag_count(f, flags);
    f.forest.coarsen_by_flags(flags);
    return py::none();
}

// Passes of one level each: every leaf coarser than the target that overlaps
// the box strictly is refined, until none qualifies or the target is reached.
// The box is not validated: on an axis where it is inverted, a leaf qualifies
// when it reaches below the box's max and above its min.
Ref refine_by_bbox(ForestContents& f, const py::Args<3>& args) {
    const Vec3 lo = args.get(0, py::to_float3);
    const Vec3 hi = args.get(1, py::to_float3);
    const std::uint8_t target = args.get(2, py::to_u8);
    if (target == 0) return py::none();
    std::uint8_t passes = 0;
    for (;;) {
        const std::size_t n = f.forest.leaves.size();
        if (n == 0) break;
        ++passes;
        const SfcKey* leaves = f.forest.leaves.data();
        const Domain& domain = f.domain;
        const std::vector<std::uint8_t> flags = parallel::map(n, [&](std::size_t i) -> std::uint8_t {
            const SfcKey key = leaves[i];
            return key.level() < target && domain.cell_overlaps_box(key, lo, hi) ? 1 : 0;
        });
        if (!parallel::any_of(n, [&](std::size_t i) { return flags[i] != 0; })) break;
        f.forest.refine_by_flags(flags);
        if (passes == target) break;
    }
    return py::none();
}

Ref enforce_2_to_1_balance(ForestContents& f) {
    f.forest.enforce_2_to_1_balance();
    return py::none();
}

Ref uniform_refinement(ForestContents& f, const py::Args<1>& args) {
    const std::uint8_t times = args.get(0, py::to_u8);
    for (std::uint8_t t = 0; t < times; ++t) {
        const std::vector<std::uint8_t> flags(f.forest.num_cells(), 1);
        f.forest.refine_by_flags(flags);
    }
    return py::none();
}

PyMethodDef methods[] = {
    ForestClass::noargs_entry<Access::Shared, num_cells>("num_cells", QUORIN_DOC("num_cells($self)", "")),
    ForestClass::method_entry<REFINE_BY_FLAGS, Access::Exclusive, refine_by_flags>(
        "refine_by_flags",
        QUORIN_DOC("refine_by_flags($self, flags)",
                   "Batch-refines cells where the corresponding flag is `true`.")),
    ForestClass::method_entry<COARSEN_BY_FLAGS, Access::Exclusive, coarsen_by_flags>(
        "coarsen_by_flags",
        QUORIN_DOC("coarsen_by_flags($self, flags)",
                   "Batch-coarsens sibling cells where the corresponding flag is `true`.")),
    ForestClass::method_entry<REFINE_BY_BBOX, Access::Exclusive, refine_by_bbox>(
        "refine_by_bbox",
        QUORIN_DOC("refine_by_bbox($self, min, max, target_level)",
                   "Refines cells whose AABB overlaps `[min, max]` until `target_level` "
                   "(refinementRegions-style).")),
    ForestClass::noargs_entry<Access::Exclusive, enforce_2_to_1_balance>(
        "enforce_2_to_1_balance",
        QUORIN_DOC("enforce_2_to_1_balance($self)", "Enforces the 2:1 neighbour-balance constraint.")),
    ForestClass::method_entry<UNIFORM_REFINEMENT, Access::Exclusive, uniform_refinement>(
        "uniform_refinement",
        QUORIN_DOC("uniform_refinement($self, n_times)",
                   "Uniformly refines all cells by the specified number of times.")),
    {},
};

}  // namespace

py::ClassDef forest_class = {
    "builtins.Forest",
    QUORIN_DOC("Forest(bbox, base_res)", "Use case 2: `Forest` wrapper for manual AMR control."),
    ForestClass::basicsize,
    &ForestClass::constructor<NEW, construct>,
    &ForestClass::dealloc,
    methods,
    nullptr,
};

}  // namespace quorin::python
